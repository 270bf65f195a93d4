#pragma once

// A reader/writer lock annotated for clang's thread-safety analysis.

#include <shared_mutex>

#include "QueueManager/Platform/ThreadAnnotations.h"

namespace W4Clnt {

// Many readers or one writer. Thread-safe; not copyable.
class QM_CAPABILITY("shared mutex") CSharedMutex {
 public:
  CSharedMutex() = default;
  CSharedMutex(const CSharedMutex&) = delete;
  CSharedMutex& operator=(const CSharedMutex&) = delete;

  void Lock() QM_ACQUIRE() { mutex_.lock(); }
  void Unlock() QM_RELEASE() { mutex_.unlock(); }
  void LockShared() QM_THREAD_ANNOTATION(acquire_shared_capability()) { mutex_.lock_shared(); }
  void UnlockShared() QM_THREAD_ANNOTATION(release_shared_capability()) { mutex_.unlock_shared(); }

 private:
  std::shared_mutex mutex_;
};

// Holds a CSharedMutex exclusively for the lifetime of the object.
class QM_SCOPED_CAPABILITY CWriteLock {
 public:
  explicit CWriteLock(CSharedMutex* mutex) QM_ACQUIRE(mutex) : mutex_(mutex) { mutex_->Lock(); }
  ~CWriteLock() QM_RELEASE() { mutex_->Unlock(); }
  CWriteLock(const CWriteLock&) = delete;
  CWriteLock& operator=(const CWriteLock&) = delete;

 private:
  CSharedMutex* const mutex_;
};

// Holds a CSharedMutex shared for the lifetime of the object.
class QM_SCOPED_CAPABILITY CReadLock {
 public:
  explicit CReadLock(CSharedMutex* mutex) QM_THREAD_ANNOTATION(acquire_shared_capability(mutex))
      : mutex_(mutex) {
    mutex_->LockShared();
  }
  ~CReadLock() QM_RELEASE() { mutex_->UnlockShared(); }
  CReadLock(const CReadLock&) = delete;
  CReadLock& operator=(const CReadLock&) = delete;

 private:
  CSharedMutex* const mutex_;
};

}  // namespace W4Clnt
