// Helper threads the process shares, so that one image's face search can
// use the cores that no analysis is using: all of them after the first for a
// single photo, none while every batch or service worker is busy.
#pragma once

#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>

// Tasks spawned together and waited for together. The thread that waits
// runs the group's tasks itself; helpers join in while cores are free, so a
// group finishes even when no helper ever does.
class TaskGroup {
 public:
  TaskGroup() = default;
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  ~TaskGroup();

  // May be called from within one of the group's tasks.
  void spawn(std::function<void()> task);
  // Returns when every task has run, rethrowing the first exception one
  // raised. Tasks not yet started when one fails are skipped.
  void wait();

 private:
  friend struct TaskPool;
  void run_one(std::function<void()>& task);

  std::deque<std::function<void()>> tasks_;
  int running_ = 0;
  bool waited_ = false;
  std::exception_ptr failure_;
  std::condition_variable settled_;
};

// True when a helper could start a task now: some core is held by no
// analysis and used by no helper.
bool core_free();

// Held by a thread while it analyses photos: helpers only run tasks on the
// cores that no holder is using.
class CoreClaim {
 public:
  CoreClaim();
  ~CoreClaim();
  CoreClaim(const CoreClaim&) = delete;
  CoreClaim& operator=(const CoreClaim&) = delete;
};
