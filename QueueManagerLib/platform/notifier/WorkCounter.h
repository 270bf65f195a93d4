#pragma once

// Counts the queued work of a bus and its connections, so that tests can wait
// until everything queued has run.

#include <atomic>
#include <cstdint>

#include "QueueManager/Platform/Sync.h"

namespace W4Notifier::detail {

// Thread-safe. Every queued message adds and removes one, from the threads
// that publish and deliver at once: the count is atomic, and the lock is
// taken only where the count reaches zero and a waiter may need waking.
class WorkCounter {
 public:
  void Add(std::int64_t n = 1) { outstanding_.fetch_add(n, std::memory_order_relaxed); }
  void Done(std::int64_t n = 1) {
    // acq_rel: what the work did happens before a waiter's return.
    if (outstanding_.fetch_sub(n, std::memory_order_acq_rel) != n) return;
    // Taken between the waiter's check and its wait, or before the check:
    // the waiter either sees zero or is waiting when the signal comes.
    W4Os::MutexLock lock(&mutex_);
    idle_.SignalAll();
  }
  void WaitIdle() {
    W4Os::MutexLock lock(&mutex_);
    while (outstanding_.load(std::memory_order_acquire) != 0) idle_.Wait();
  }

 private:
  W4Os::Mutex mutex_;
  W4Os::CondVar idle_{&mutex_};
  std::atomic<std::int64_t> outstanding_{0};
};

}  // namespace W4Notifier::detail
