#pragma once

// Locks and events of the operating system layer, annotated for clang's
// thread-safety analysis.
//
// - W4Os::Mutex / MutexLock / CondVar: a plain (non-re-entrant) mutex for the
//   library's internal state.
// - W4Os::CCriticalSection / CCriticalSectionLock: a re-entrant critical
//   section, as the Queue Manager cache lock requires (a thread that holds it
//   may take it again).
// - W4Os::CEvent: a manual- or auto-reset event with timed waits.
//
// Each of them is a scheduling point of a simulation (Simulation.h) while one
// runs: the simulated ownership comes first, the real lock after it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <type_traits>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/Simulation.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace W4Os {

namespace detail {
/// A try-lock of `real` that the simulation sees as well.
template <class RealMutex>
bool TryLockOf(const void* lock, RealMutex& real) {
  if (Simulating()) {
    switch (SimAcquire(lock, std::is_same_v<RealMutex, std::recursive_mutex>, /*tryOnly=*/true)) {
      case SimLock::kBusy:
        return false;
      case SimLock::kAcquired:
        if (real.try_lock()) return true;
        SimRelease(lock);
        return false;
      case SimLock::kNotSimulated:
        break;
    }
  }
  return real.try_lock();
}
}  // namespace detail

/// A non-re-entrant mutex. Thread-safe; not copyable.
class QM_CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() QM_ACQUIRE() {
    if (detail::Simulating()) detail::SimAcquire(this, /*recursive=*/false, /*tryOnly=*/false);
    mutex_.lock();
  }
  void Unlock() QM_RELEASE() {
    mutex_.unlock();
    if (detail::Simulating()) detail::SimRelease(this);
  }
  bool TryLock() QM_TRY_ACQUIRE(true) { return detail::TryLockOf(this, mutex_); }
  // Tells the analysis that the caller holds the mutex (no run-time check).
  void AssertHeld() QM_ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mutex_;
};

/// Holds a Mutex for the lifetime of the object.
class QM_SCOPED_CAPABILITY MutexLock {
 public:
  /// Locks `mutex` until the lock is destroyed.
  ///@{
  explicit MutexLock(Mutex* mutex) QM_ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
  ///@}
  ~MutexLock() QM_RELEASE() { mutex_->Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

/// Condition variable bound to one Mutex. Thread-safe.
/// REQUIRES: every Wait* is called with the bound mutex held.
/// The waits carry no lock annotation: the analysis names the bound mutex
/// `cv.mutex_`, which never matches the caller's name for the same mutex, so
/// an annotation would reject every correct caller.
class CondVar {
 public:
  /// A condition variable of `mutex`, which every wait holds.
  ///@{
  explicit CondVar(Mutex* mutex) : mutex_(mutex) {}
  ///@}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  /// Waits for a signal. REQUIRES: the mutex is held; it is released while waiting and held again
  /// on return. Wakes spuriously now and then, as any condition variable.
  ///@{
  void Wait() {
    if (detail::Simulating() && detail::SimWait(this, mutex_, mutex_->mutex_, nullptr) >= 0) return;
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }
  ///@}
  /// Returns false when the deadline passed without a signal.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline) {
    if (detail::Simulating())
      if (const int signalled = detail::SimWait(this, mutex_, mutex_->mutex_, &deadline);
          signalled >= 0)
        return signalled == 1;
    std::unique_lock<std::mutex> lock(mutex_->mutex_, std::adopt_lock);
    const bool signalled = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  /// Wakes one waiter, or all of them.
  ///@{
  void Signal() {
    if (detail::Simulating()) detail::SimSignal(this, /*all=*/false);
    cv_.notify_one();
  }
  void SignalAll() {
    if (detail::Simulating()) detail::SimSignal(this, /*all=*/true);
    cv_.notify_all();
  }
  ///@}

 private:
  Mutex* const mutex_;
  std::condition_variable cv_;
};

/// A re-entrant critical section: the owning thread may enter it again, and
/// must leave it as often as it entered. Thread-safe; not copyable.
class QM_CAPABILITY("critical section") CCriticalSection {
 public:
  CCriticalSection() = default;
  CCriticalSection(const CCriticalSection&) = delete;
  CCriticalSection& operator=(const CCriticalSection&) = delete;

  void Enter() QM_ACQUIRE() {
    if (detail::Simulating()) detail::SimAcquire(this, /*recursive=*/true, /*tryOnly=*/false);
    mutex_.lock();
  }
  void Leave() QM_RELEASE() {
    mutex_.unlock();
    if (detail::Simulating()) detail::SimRelease(this);
  }
  bool TryEnter() QM_TRY_ACQUIRE(true) { return detail::TryLockOf(this, mutex_); }
  void AssertHeld() QM_ASSERT_CAPABILITY(this) {}

 private:
  std::recursive_mutex mutex_;
};

/// Holds a CCriticalSection for the lifetime of the object; `Unlock` leaves it
/// early (for "copy under the lock, unlock, act").
class QM_SCOPED_CAPABILITY CCriticalSectionLock {
 public:
  /// Enters `section` until the lock is destroyed or unlocked.
  ///@{
  explicit CCriticalSectionLock(CCriticalSection* section) QM_ACQUIRE(section) : section_(section) {
    section_->Enter();
  }
  ///@}
  ~CCriticalSectionLock() QM_RELEASE() {
    if (held_) section_->Leave();
  }
  /// Leaves the section before the lock is destroyed. REQUIRES: not called twice.
  ///@{
  void Unlock() QM_RELEASE() {
    section_->Leave();
    held_ = false;
  }
  ///@}
  CCriticalSectionLock(const CCriticalSectionLock&) = delete;
  CCriticalSectionLock& operator=(const CCriticalSectionLock&) = delete;

 private:
  CCriticalSection* const section_;
  bool held_ = true;
};

/// Wait time meaning "no limit".
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

/// A signalled/non-signalled event. A manual-reset event stays signalled until
/// Reset; an auto-reset event releases one waiter and resets itself.
/// Thread-safe; not copyable.
class QM_EXPORT CEvent {
 public:
  /// An auto-reset event unless `manualReset`, not signalled unless `initiallySignalled`.
  ///@{
  explicit CEvent(bool manualReset = false, bool initiallySignalled = false);
  ///@}
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;

  /// Signals the event, or takes the signal back.
  ///@{
  void Set();
  void Reset();
  ///@}
  /// Waits up to `timeoutMs` milliseconds (kInfinite: no limit). Returns true
  /// when the event was signalled.
  bool Wait(std::uint32_t timeoutMs = kInfinite);

 private:
  const bool manualReset_;
  Mutex mutex_;
  CondVar cv_{&mutex_};
  bool signalled_ QM_GUARDED_BY(mutex_);
};

}  // namespace W4Os
