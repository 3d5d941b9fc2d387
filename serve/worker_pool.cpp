#include "serve/worker_pool.h"

#include "face/task_pool.h"

WorkerPool::WorkerPool(const AnalysisModels& models, int jobs, int queue, int64_t memory_budget,
                       std::function<void(int)> on_queue_change)
    : jobs_(jobs),
      queue_(queue),
      budget_(memory_budget),
      on_queue_change_(std::move(on_queue_change)) {
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

// The jobs waiting beyond the idle workers (called with the lock held).
void WorkerPool::report_queue() {
  on_queue_change_(std::max(0, static_cast<int>(pending_.size()) - (jobs_ - busy_)));
}

// The first job waiting starts once its memory is free. While it waits for
// memory, a job behind it may start if it fits and is small: at most a
// worker's share of what the first leaves of the budget, so that the small
// ones running together never keep the first from its memory once the
// larger ones before it end, and a large photo holds no small one back.
bool WorkerPool::startable(size_t& chosen) const {
  if (pending_.empty()) return false;
  const int64_t first = pending_.front().cost;
  for (size_t i = 0; i < pending_.size(); ++i) {
    const int64_t cost = pending_[i].cost;
    if (held_ + cost > budget_) continue;
    if (i == 0 || cost <= (budget_ - first) / jobs_) {
      chosen = i;
      return true;
    }
  }
  return false;
}

bool WorkerPool::submit(Job job, int64_t cost) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    // Idle workers take a job at once; beyond them, `queue_` may wait.
    if (static_cast<int>(pending_.size()) + busy_ >= jobs_ + queue_) return false;
    pending_.push_back({std::move(job), std::min(cost, budget_)});
    report_queue();
  }
  ready_.notify_all();
  return true;
}

void WorkerPool::work(Worker& worker) {
  for (;;) {
    Pending next;
    {
      std::unique_lock<std::mutex> hold(lock_);
      size_t chosen = 0;
      ready_.wait(hold, [&] { return (stopping_ && pending_.empty()) || startable(chosen); });
      if (pending_.empty()) return;
      next = std::move(pending_[chosen]);
      pending_.erase(pending_.begin() + static_cast<std::ptrdiff_t>(chosen));
      ++busy_;
      held_ += next.cost;
      report_queue();
    }
    {
      const CoreClaim core;
      next.job(worker);
    }
    std::lock_guard<std::mutex> hold(lock_);
    --busy_;
    held_ -= next.cost;
    report_queue();
    ready_.notify_all();
  }
}
