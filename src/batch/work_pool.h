// A fixed set of worker threads that run submitted tasks in submission order of start.
// With no threads at all, Submit runs the task at once on the caller's thread. The workers
// keep a count of the cores they leave idle, from which a task may borrow helper threads.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/core_budget.h"

class WorkPool {
 public:
  // Starts threads workers; 0 makes every Submit run its task inline. A worker waiting for a
  // task counts as an idle core in idle (may be null), one running a task as a taken one.
  explicit WorkPool(int threads, CoreBudget* idle = nullptr);
  // Runs every task still queued, then joins the workers.
  ~WorkPool();
  WorkPool(const WorkPool&) = delete;
  WorkPool& operator=(const WorkPool&) = delete;

  void Submit(std::function<void()> task);

 private:
  void Work();

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  bool stopping_ = false;
  CoreBudget* idle_;
  std::vector<std::thread> threads_;
};
