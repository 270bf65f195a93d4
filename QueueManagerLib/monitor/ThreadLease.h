#pragma once

// Scratch objects of the notification path, reused per thread.

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
    std::vector<std::unique_ptr<T>>& pool = Pool();
    if (pool.empty()) {
      item_ = new T;
    } else {
      item_ = pool.back().release();
      pool.pop_back();
    }
  }
  ~ThreadLease() {
    item_->Clear();
    Pool().emplace_back(item_);
  }
  ThreadLease(const ThreadLease&) = delete;
  ThreadLease& operator=(const ThreadLease&) = delete;

  T& operator*() const { return *item_; }
  T* operator->() const { return item_; }

 private:
  static std::vector<std::unique_ptr<T>>& Pool() {
    thread_local std::vector<std::unique_ptr<T>> pool;
    return pool;
  }

  T* item_;
};

}  // namespace QueueManager
