#pragma once

// Callbacks held back while a synchronous call waits for its answer on a
// notifier delivery thread, so that the calling thread makes them, in order.

#include <atomic>
#include <deque>
#include <unordered_map>
#include <utility>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace QueueManager {

// A synchronous call's answer is applied on the notifier's delivery thread,
// in order with the notifications of its callback object, but its callbacks
// belong to the calling thread. While a hand-off is open for a key, every
// callback for it, the answer's and the later ones, is queued here in
// delivery order instead of being made; the calling thread drains the queue
// and closes the hand-off once it finds it empty, after which callbacks are
// made directly again. So the callbacks come in delivery order, each once.
//
// Thread-safe. Its lock is a leaf: no other lock is taken, and no callback
// made, while it is held.
template <class Key, class Item>
class HandOffQueue {
 public:
  void Open(const Key& key) QM_LOCKS_EXCLUDED(mutex_) {
    W4Os::MutexLock lock(&mutex_);
    if (open_.try_emplace(key).second) openCount_.fetch_add(1, std::memory_order_acq_rel);
  }

  // Nothing more is to be queued for `key` but what follows the answer: a
  // thread in DrainUntilFinished delivers what is queued and closes.
  void Finish(const Key& key) QM_LOCKS_EXCLUDED(mutex_) {
    W4Os::MutexLock lock(&mutex_);
    const auto it = open_.find(key);
    if (it != open_.end()) it->second.finished = true;
    changed_.SignalAll();
  }

  // Queues make() when a hand-off is open for `key`; false when the callback
  // is to be made directly.
  template <class Make>
  bool Divert(const Key& key, Make&& make) QM_LOCKS_EXCLUDED(mutex_) {
    if (openCount_.load(std::memory_order_acquire) == 0) return false;
    W4Os::MutexLock lock(&mutex_);
    const auto it = open_.find(key);
    if (it == open_.end()) return false;
    std::deque<Item>& items = it->second.items;
    items.push_back(std::forward<Make>(make)());
    // A drainer waits only on an empty queue: waking it for every item of a
    // big load would cost a futex call each.
    if (items.size() == 1) changed_.SignalAll();
    return true;
  }

  // Calls deliver(item) for the queued items in order until none is left,
  // then closes. Nothing when no hand-off is open for `key`.
  // REQUIRES: no lock that deliver() or a diverting thread takes is held.
  template <class Deliver>
  void Drain(const Key& key, Deliver&& deliver) QM_LOCKS_EXCLUDED(mutex_) {
    DrainWhile(key, deliver, false);
  }
  // As Drain, but while the hand-off is not finished (Finish) an empty queue
  // is waited on rather than closed.
  template <class Deliver>
  void DrainUntilFinished(const Key& key, Deliver&& deliver) QM_LOCKS_EXCLUDED(mutex_) {
    DrainWhile(key, deliver, true);
  }

 private:
  struct Entry {
    std::deque<Item> items;
    bool finished = false;
  };

  template <class Deliver>
  void DrainWhile(const Key& key, Deliver& deliver, bool untilFinished) QM_LOCKS_EXCLUDED(mutex_) {
    while (true) {
      std::deque<Item> batch;
      {
        W4Os::MutexLock lock(&mutex_);
        auto it = open_.find(key);
        while (untilFinished && it != open_.end() && it->second.items.empty() &&
               !it->second.finished) {
          changed_.Wait();
          it = open_.find(key);
        }
        if (it == open_.end()) return;
        if (it->second.items.empty()) {
          // Closed under the lock that Divert takes: an item is either
          // queued before this point, and delivered by this loop, or made
          // directly after it.
          open_.erase(it);
          openCount_.fetch_sub(1, std::memory_order_acq_rel);
          changed_.SignalAll();  // another thread may wait for it
          return;
        }
        batch.swap(it->second.items);
      }
      for (Item& item : batch) deliver(item);
    }
  }

  W4Os::Mutex mutex_;
  W4Os::CondVar changed_{&mutex_};
  std::unordered_map<Key, Entry> open_ QM_GUARDED_BY(mutex_);
  // The number of open hand-offs: deliveries look no further while it is 0.
  std::atomic<int> openCount_{0};
};

}  // namespace QueueManager
