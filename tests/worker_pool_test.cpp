// faceprobe-serve's worker pool: the memory budget decides when a job starts.
#include "serve/worker_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support.h"

namespace {

// Jobs of given costs under a budget of 100 on two workers: each records its
// start and holds its memory until released.
class Jobs {
 public:
  explicit Jobs(WorkerPool& pool) : pool_(pool) {}
  void submit(const std::string& name, int64_t cost) {
    auto release = std::make_shared<std::promise<void>>();
    releases_[name] = release;
    ASSERT_TRUE(pool_.submit(
        [this, name, done = release->get_future().share()](Worker&) {
          {
            std::lock_guard<std::mutex> hold(lock_);
            started_ += name;
          }
          done.wait();
        },
        cost));
  }
  void release(const std::string& name) { releases_.at(name)->set_value(); }
  // What has started once `count` jobs have, waiting up to 10 s.
  std::string started(size_t count) {
    for (int i = 0; i < 1000; ++i) {
      {
        std::lock_guard<std::mutex> hold(lock_);
        if (started_.size() >= count) return started_;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> hold(lock_);
    return started_;
  }

 private:
  WorkerPool& pool_;
  std::mutex lock_;
  std::string started_;
  std::map<std::string, std::shared_ptr<std::promise<void>>> releases_;
};

TEST(WorkerPool, JobsStartWhenTheirMemoryFitsAndSmallOnesPassALargeOne) {
  std::unique_ptr<AnalysisModels> models;
  std::string error;
  ASSERT_TRUE(load_analysis_models(fs::path(FACEPROBE_BIN).parent_path().string(), models, error))
      << error;
  WorkerPool pool(*models, 2, 8, 100, [](int) {});
  Jobs jobs(pool);
  jobs.submit("A", 80);
  EXPECT_EQ(jobs.started(1), "A");
  jobs.submit("B", 50);  // the first waiting: 80 + 50 do not fit
  jobs.submit("D", 30);  // fits, but more than a worker's share of the 50 B leaves
  jobs.submit("C", 10);  // fits and is small: passes B
  EXPECT_EQ(jobs.started(2), "AC");
  jobs.release("C");
  jobs.release("A");  // B's memory is free: B, then D beside it
  EXPECT_EQ(jobs.started(4), "ACBD");
  jobs.release("B");
  jobs.release("D");
  jobs.submit("E", 500);  // more than the budget: held to it, and runs alone
  EXPECT_EQ(jobs.started(5), "ACBDE");
  jobs.release("E");
}

}  // namespace
