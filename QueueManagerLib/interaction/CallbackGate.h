#pragma once

// Admits an object's application callbacks one at a time and shuts them off
// for good.

#include <cstdint>
#include <thread>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace QueueManager {

// Thread-safe; owned by the object whose callbacks it admits.
//
// One turn at a time: a thread enters before a callback and leaves after it;
// the thread that holds the turn may enter again (a callback that causes
// another). No lock is held while the turn is held, so a callback may call
// anything; a thread that waits for the turn waits for the other thread's
// callback to end. Once closed nobody enters again and waiters give up.
// The mutex is a leaf lock.
class CallbackGate {
 public:
  // Waits for the turn; false (turn not taken) once the gate is closed.
  bool Enter() QM_LOCKS_EXCLUDED(mutex_);
  // Gives one entry back; true when the turn was handed on (outermost).
  bool Leave() QM_LOCKS_EXCLUDED(mutex_);
  // True when the calling thread holds the turn.
  bool HeldHere() const QM_LOCKS_EXCLUDED(mutex_);
  bool IsOpen() const QM_LOCKS_EXCLUDED(mutex_);
  // When another thread holds the turn, waits until it hands it on.
  void AwaitOtherHolder() QM_LOCKS_EXCLUDED(mutex_);
  // Closes the gate and waits for another thread's callback to end (not for
  // the caller's own). False when it was closed already.
  bool Close() QM_LOCKS_EXCLUDED(mutex_);

 private:
  void AwaitOtherHolderLocked() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  mutable W4Os::Mutex mutex_;
  W4Os::CondVar changed_{&mutex_};
  bool open_ QM_GUARDED_BY(mutex_) = true;
  std::thread::id holder_ QM_GUARDED_BY(mutex_);
  int depth_ QM_GUARDED_BY(mutex_) = 0;
  // Counts turns handed on, so that a waiter does not wait for a later one.
  std::uint64_t turns_ QM_GUARDED_BY(mutex_) = 0;
};

}  // namespace QueueManager
