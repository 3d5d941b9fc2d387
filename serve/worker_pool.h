// The analysis workers of faceprobe-serve: a fixed number of threads, each
// with its own Worker, taking jobs from one bounded queue, in order, each
// only once its memory fits in what the jobs in flight leave of the budget
// (small jobs may pass a large one that waits for memory).
// The threads that hand jobs over never wait for one.
#pragma once

#include <condition_variable>
#include <cstdint>
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
  // every worker is busy; the jobs running hold at most `memory_budget`
  // bytes. `on_queue_change` hears the number waiting.
  WorkerPool(const AnalysisModels& models, int jobs, int queue, int64_t memory_budget,
             std::function<void(int)> on_queue_change);
  // Runs every job handed over, then joins the workers.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // False at once, the job dropped, when the queue is full. A job that holds
  // `cost` bytes (no more than the budget) starts once they fit. It runs
  // with a core claimed for its analysis, so that the face search's helpers
  // keep to the cores no worker is using.
  bool submit(Job job, int64_t cost);

 private:
  struct Pending {
    Job job;
    int64_t cost;
  };
  void work(Worker& worker);
  bool startable(size_t& chosen) const;
  void report_queue();

  std::mutex lock_;
  std::condition_variable ready_;
  std::deque<Pending> pending_;
  int busy_ = 0;
  int64_t held_ = 0;  // by the jobs running
  bool stopping_ = false;
  const int jobs_;
  const int queue_;
  const int64_t budget_;
  std::function<void(int)> on_queue_change_;
  std::vector<std::unique_ptr<Worker>> workers_;
  std::vector<std::thread> threads_;
};
