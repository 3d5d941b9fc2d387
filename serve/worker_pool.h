// The analysis workers of faceprobe-serve: a fixed number of threads, each
// with its own Worker, taking jobs from one bounded queue. The threads that
// hand jobs over never wait for one.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "analysis/photo_analysis.h"

class WorkerPool {
 public:
  using Job = std::function<void(Worker&)>;

  // `jobs` workers over the shared models; at most `queue` jobs wait while
  // every worker is busy. `on_queue_change` hears the number waiting.
  WorkerPool(const AnalysisModels& models, int jobs, int queue,
             std::function<void(int)> on_queue_change);
  // Runs every job handed over, then joins the workers.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // False at once, the job dropped, when the queue is full. A job runs with
  // a core claimed for its analysis, so that the face search's helpers keep
  // to the cores no worker is using.
  bool submit(Job job);

 private:
  void work(Worker& worker);

  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<Job> pending_;
  int busy_ = 0;
  bool stopping_ = false;
  const int jobs_;
  const int queue_;
  std::function<void(int)> on_queue_change_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::thread> threads_;
};
