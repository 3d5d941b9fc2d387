#include "face/task_pool.h"

#include <sched.h>

#include <algorithm>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

struct TaskPool {
  std::mutex mutex;
  std::condition_variable work;      // helpers wait here for a task and a free core
  std::vector<TaskGroup*> groups;    // groups whose tasks may still wait
  const int cores = usable_cores();  // this process may run on
  int claimed = 0;                   // cores held by analysing threads
  int helping = 0;                   // helpers running a task now
  int helpers = 0;                   // helper threads started

  // Never destroyed: helpers wait on it until the process ends.
  static TaskPool& shared() {
    static TaskPool* pool = new TaskPool;
    return *pool;
  }

  // The processors this process may run on (a Slurm job's or taskset's
  // share), not all the machine's.
  static int usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  }

  TaskGroup* next_group() const {
    for (TaskGroup* group : groups) {
      if (!group->tasks_.empty()) return group;
    }
    return nullptr;
  }

  // Called with the mutex held. A machine that cannot start a thread still
  // finishes every group: its waiter runs the tasks.
  void start_helpers() {
    while (helpers < cores - 1) {
      try {
        std::thread([this] { help(); }).detach();
      } catch (const std::system_error&) {
        return;
      }
      ++helpers;
    }
  }

  void help() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      TaskGroup* group = nullptr;
      work.wait(lock, [&] { return helping < cores - claimed && (group = next_group()); });
      std::function<void()> task = std::move(group->tasks_.front());
      group->tasks_.pop_front();
      ++group->running_;
      ++helping;
      lock.unlock();
      group->run_one(task);
      lock.lock();
      --helping;
      if (--group->running_ == 0 && group->tasks_.empty()) group->settled_.notify_all();
    }
  }
};

void TaskGroup::spawn(std::function<void()> task) {
  TaskPool& pool = TaskPool::shared();
  std::lock_guard<std::mutex> lock(pool.mutex);
  if (failure_) return;
  waited_ = false;
  tasks_.push_back(std::move(task));
  if (std::find(pool.groups.begin(), pool.groups.end(), this) == pool.groups.end()) {
    pool.groups.push_back(this);
  }
  pool.start_helpers();
  pool.work.notify_one();
  settled_.notify_all();
}

void TaskGroup::run_one(std::function<void()>& task) {
  try {
    task();
  } catch (...) {
    std::lock_guard<std::mutex> lock(TaskPool::shared().mutex);
    if (!failure_) failure_ = std::current_exception();
    tasks_.clear();
  }
}

void TaskGroup::wait() {
  TaskPool& pool = TaskPool::shared();
  std::unique_lock<std::mutex> lock(pool.mutex);
  for (;;) {
    if (!tasks_.empty()) {
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      ++running_;
      lock.unlock();
      run_one(task);
      lock.lock();
      --running_;
    } else if (running_ == 0) {
      break;
    } else {
      settled_.wait(lock);
    }
  }
  pool.groups.erase(std::remove(pool.groups.begin(), pool.groups.end(), this),
                    pool.groups.end());
  waited_ = true;
  std::exception_ptr failure = failure_;
  lock.unlock();
  if (failure) std::rethrow_exception(failure);
}

TaskGroup::~TaskGroup() {
  if (waited_) return;
  try {
    wait();
  } catch (...) {
    // Only an unwinding caller leaves a group unwaited; its own exception
    // is the one that matters.
  }
}

bool core_free() {
  TaskPool& pool = TaskPool::shared();
  std::lock_guard<std::mutex> lock(pool.mutex);
  pool.start_helpers();
  return pool.helpers > 0 && pool.helping < pool.cores - pool.claimed;
}

CoreClaim::CoreClaim() {
  TaskPool& pool = TaskPool::shared();
  std::lock_guard<std::mutex> lock(pool.mutex);
  ++pool.claimed;
}

CoreClaim::~CoreClaim() {
  TaskPool& pool = TaskPool::shared();
  std::lock_guard<std::mutex> lock(pool.mutex);
  --pool.claimed;
  pool.work.notify_all();
}
