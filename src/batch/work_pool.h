// A fixed set of worker threads that run submitted tasks in submission order of start.
// With no threads at all, Submit runs the task at once on the caller's thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class WorkPool {
 public:
  // Starts threads workers; 0 makes every Submit run its task inline.
  explicit WorkPool(int threads);
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
  std::vector<std::thread> threads_;
};
