// The analysis workers of faceprobe-serve and the bounded wait for one.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "batch/photo_analysis.h"
#include "face/task_pool.h"

class WorkerPool {
 public:
  // `jobs` workers over the shared models; at most `queue` requests wait for
  // one. `on_queue_change` hears the number waiting whenever it changes.
  WorkerPool(const BatchModels& models, int jobs, int queue,
             std::function<void(int)> on_queue_change);

  // A free worker, after waiting for one if need be; nullptr at once when
  // `queue` requests are waiting already.
  Worker* acquire();
  void release(Worker* worker);

 private:
  std::mutex lock_;
  std::condition_variable freed_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<Worker*> free_;
  const int queue_;
  int waiting_ = 0;
  std::function<void(int)> on_queue_change_;
};

// Holds a worker of the pool, and a core for its analysis, for a scope: a
// request's face search uses the other cores only while no worker does.
class HeldWorker {
 public:
  explicit HeldWorker(WorkerPool& pool) : pool_(pool), worker_(pool.acquire()) {}
  ~HeldWorker() {
    if (worker_) pool_.release(worker_);
  }
  HeldWorker(const HeldWorker&) = delete;
  HeldWorker& operator=(const HeldWorker&) = delete;
  Worker* get() const { return worker_; }

 private:
  WorkerPool& pool_;
  Worker* worker_;
  CoreClaim core_;
};
