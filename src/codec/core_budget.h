// The cores of a run that no worker is using, shared between the workers that run whole
// conversions and the saves that would like a helper thread. A worker always takes its core;
// a save borrows one only while a worker sits idle, and gives it back as soon as a worker
// needs it again, so that helpers never slow down a batch that already keeps every core busy.
#pragma once

#include <atomic>

class CoreBudget {
 public:
  CoreBudget() = default;
  CoreBudget(const CoreBudget&) = delete;
  CoreBudget& operator=(const CoreBudget&) = delete;

  // Returns true after taking one idle core for a helper; false when no core is idle.
  bool TryBorrow() {
    int idle = idle_.load(std::memory_order_relaxed);
    while (idle > 0) {
      if (idle_.compare_exchange_weak(idle, idle - 1, std::memory_order_acq_rel)) return true;
    }
    return false;
  }
  // Gives back one core: a helper's that TryBorrow took, or a worker's that now waits.
  void Release() { idle_.fetch_add(1, std::memory_order_acq_rel); }
  // Takes a core for a worker that starts a task, whether or not one is idle.
  void Occupy() { idle_.fetch_sub(1, std::memory_order_acq_rel); }
  // Returns true when more cores are taken than the run has: a helper should give its back.
  bool Overcommitted() const { return idle_.load(std::memory_order_acquire) < 0; }
  // Returns true when a core is idle at the moment (TryBorrow may still fail).
  bool AnyIdle() const { return idle_.load(std::memory_order_acquire) > 0; }

 private:
  std::atomic<int> idle_{0};
};
