#include "serve/worker_pool.h"

#include "face/task_pool.h"

WorkerPool::WorkerPool(const AnalysisModels& models, int jobs, int queue,
                       std::function<void(int)> on_queue_change)
    : jobs_(jobs), queue_(queue), on_queue_change_(std::move(on_queue_change)) {
  for (int i = 0; i < jobs; ++i) workers_.push_back(std::make_unique<Worker>(models));
  for (auto& worker : workers_) threads_.emplace_back([this, &worker] { work(*worker); });
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopping_ = true;
  }
  ready_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool WorkerPool::submit(Job job) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    // Idle workers take a job at once; beyond them, `queue_` may wait.
    if (static_cast<int>(pending_.size()) + busy_ >= jobs_ + queue_) return false;
    pending_.push_back(std::move(job));
    on_queue_change_(std::max(0, static_cast<int>(pending_.size()) - (jobs_ - busy_)));
  }
  ready_.notify_one();
  return true;
}

void WorkerPool::work(Worker& worker) {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> hold(lock_);
      ready_.wait(hold, [&] { return stopping_ || !pending_.empty(); });
      if (pending_.empty()) return;
      job = std::move(pending_.front());
      pending_.pop_front();
      ++busy_;
      on_queue_change_(std::max(0, static_cast<int>(pending_.size()) - (jobs_ - busy_)));
    }
    {
      const CoreClaim core;
      job(worker);
    }
    std::lock_guard<std::mutex> hold(lock_);
    --busy_;
    on_queue_change_(std::max(0, static_cast<int>(pending_.size()) - (jobs_ - busy_)));
  }
}
