#pragma once

// Counts the queued work of a bus and its connections, so that tests can wait
// until everything queued has run.

#include <cstdint>

#include "QueueManager/Platform/Sync.h"

namespace W4Notifier::detail {

// Thread-safe.
class WorkCounter {
 public:
  void Add(std::int64_t n = 1) {
    W4Os::MutexLock lock(&mutex_);
    outstanding_ += n;
  }
  void Done(std::int64_t n = 1) {
    W4Os::MutexLock lock(&mutex_);
    outstanding_ -= n;
    if (outstanding_ == 0) idle_.SignalAll();
  }
  void WaitIdle() {
    W4Os::MutexLock lock(&mutex_);
    while (outstanding_ != 0) idle_.Wait();
  }

 private:
  W4Os::Mutex mutex_;
  W4Os::CondVar idle_{&mutex_};
  std::int64_t outstanding_ QM_GUARDED_BY(mutex_) = 0;
};

}  // namespace W4Notifier::detail
