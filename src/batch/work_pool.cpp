#include "batch/work_pool.h"

WorkPool::WorkPool(int threads, CoreBudget* idle) : idle_(idle) {
  for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

WorkPool::~WorkPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  for (std::thread& t : threads_) t.join();
}

void WorkPool::Submit(std::function<void()> task) {
  if (threads_.empty()) {
    task();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void WorkPool::Work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      if (tasks_.empty() && !stopping_) {
        // Idle while it waits: a running task's save may borrow this core meanwhile.
        if (idle_ != nullptr) idle_->Release();
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (idle_ != nullptr) idle_->Occupy();
      }
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}
