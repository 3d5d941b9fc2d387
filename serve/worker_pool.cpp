#include "serve/worker_pool.h"

WorkerPool::WorkerPool(const BatchModels& models, int jobs, int queue,
                       std::function<void(int)> on_queue_change)
    : queue_(queue), on_queue_change_(std::move(on_queue_change)) {
  for (int i = 0; i < jobs; ++i) {
    workers_.push_back(std::make_unique<Worker>(models));
    free_.push_back(workers_.back().get());
  }
}

Worker* WorkerPool::acquire() {
  std::unique_lock<std::mutex> hold(lock_);
  if (free_.empty()) {
    if (waiting_ >= queue_) return nullptr;
    on_queue_change_(++waiting_);
    freed_.wait(hold, [&] { return !free_.empty(); });
    on_queue_change_(--waiting_);
  }
  Worker* worker = free_.back();
  free_.pop_back();
  return worker;
}

void WorkerPool::release(Worker* worker) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    free_.push_back(worker);
  }
  freed_.notify_one();
}
