#pragma once

// Scratch objects of the notification path, reused per thread, and usable
// from destructors that run after the thread's own are gone.

#include <memory>
#include <vector>

namespace QueueManager {

// Borrows a cleared T from the calling thread's pool and returns it, cleared
// (T::Clear()), on destruction, so that the notification path does not
// allocate once warm. Leases nest (a callback may cause more cache work on
// the same thread), each getting its own object. Not synchronised: a lease
// belongs to the thread that made it.
template <class T>
class ThreadLease {
 public:
  ThreadLease() {
    Pool* pool = LivePool();
    if (pool == nullptr || pool->items.empty()) {
      item_ = new T;
    } else {
      item_ = pool->items.back().release();
      pool->items.pop_back();
    }
  }
  ~ThreadLease() {
    Pool* pool = LivePool();
    if (pool == nullptr) {
      delete item_;
      return;
    }
    item_->Clear();
    pool->items.emplace_back(item_);
  }
  ThreadLease(const ThreadLease&) = delete;
  ThreadLease& operator=(const ThreadLease&) = delete;

  T& operator*() const { return *item_; }
  T* operator->() const { return item_; }

 private:
  struct Pool {
    Pool() = default;
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;
    ~Pool() { Gone() = true; }
    std::vector<std::unique_ptr<T>> items;
  };
  // Trivially destructible, so still readable once the thread's pool is
  // destroyed: a monitor stopped by a later thread-exit or exit-time
  // destructor then leases objects of its own.
  static bool& Gone() {
    thread_local bool gone = false;
    return gone;
  }
  static Pool* LivePool() {
    if (Gone()) return nullptr;
    thread_local Pool pool;
    return &pool;
  }

  T* item_;
};

// The calling thread's scratch T, kept for reuse. Once the thread's own is
// destroyed (by thread-exit and exit-time destructors that still reach the
// cache), a process-wide one that is never destroyed stands in.
// REQUIRES: the users of one T are serialised by a lock of theirs (the cache
// lock), which also guards the stand-in.
template <class T>
class ThreadScratch {
 public:
  static T& Get() {
    if (!gone_) {
      thread_local Holder holder;
      if (!gone_) return holder.item;
    }
    static T* const standIn = new T;
    return *standIn;
  }

 private:
  struct Holder {
    Holder() = default;
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    ~Holder() { gone_ = true; }
    T item;
  };
  static inline thread_local bool gone_ = false;
};

}  // namespace QueueManager
