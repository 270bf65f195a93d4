#pragma once

// Which queue subscriptions the cache wants and which it holds.

#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Notifier.h"
#include "monitor/CallbackGate.h"

namespace QueueManager {

// The subscription state of each queue. Starting and stopping a subscription
// must not happen under the cache lock (the notifier's stop waits for a
// running callback, which may wait for that lock), so the cache records here,
// under its lock, what it wants, and one thread at a time per queue (the
// reconciler) makes the notifier calls without the lock until what is held
// matches what is wanted. Another thread that changes its mind meanwhile only
// records it; the reconciler picks it up before it finishes. Each queue is
// therefore subscribed once however often it is activated, and unsubscribed
// once. Not synchronised (guarded by the cache lock).
class SubscriptionBook {
 public:
  // Records whether the queue's subscription is wanted. True when the caller
  // has become the queue's reconciler and must run Reconcile.
  bool Want(const W4Notifier::CEntityId& queue, bool wanted);
  // The reconciler's loop, run by the thread that Want made the queue's
  // reconciler: makes the notifier calls without the owner's lock until what
  // is held matches what is wanted, or a start finds no connection. Then
  // tells the owner that the subscription settled. The owner provides:
  //   WithSubscriptions(step): step(book) under the lock that guards it;
  //   StartSubscription(queue): the connection the subscription was started
  //     on, or null when it was not;
  //   StopSubscription(queue, connection);
  //   ReconcileLater(queue): this loop again once the thread's callbacks are
  //     over;
  //   SubscriptionSettled(queue): what waited for the subscription may go.
  // REQUIRES: the owner's lock is not held.
  template <class Owner>
  static void Reconcile(const W4Notifier::CEntityId& queue, Owner& owner);
  // The reconciler's next notifier call: true to start, false to stop;
  // nothing when held and wanted agree (the caller then stops being the
  // reconciler).
  std::optional<bool> NextStep(const W4Notifier::CEntityId& queue);
  // The reconciler reports what the call achieved: whether the subscription
  // is now held, and on which connection. When it did not reach what was
  // wanted (no connection), the reconciler stops and the next Want retries.
  void Completed(const W4Notifier::CEntityId& queue, bool target, bool held,
                 const std::shared_ptr<W4Notifier::CNotifierConnection>& connection = {});

  bool IsHeld(const W4Notifier::CEntityId& queue) const;
  // True while a reconciler is at work on the queue: whether the
  // subscription is held is not settled yet.
  bool IsReconciling(const W4Notifier::CEntityId& queue) const;
  // The connection a held subscription was made on (stopped there, whatever
  // the default connection is by then); null when none or gone.
  std::shared_ptr<W4Notifier::CNotifierConnection> HeldOn(const W4Notifier::CEntityId& queue) const;
  // Every live connection that holds a subscription.
  std::vector<std::shared_ptr<W4Notifier::CNotifierConnection>> Connections() const;
  // True when some subscription on a single queue (not an all-queues entity)
  // is held.
  bool HoldsSingleQueue() const;
  void Clear() { states_.clear(); }

 private:
  struct State {
    bool wanted = false;
    bool held = false;
    bool reconciling = false;
    std::weak_ptr<W4Notifier::CNotifierConnection> connection;
  };
  void EraseIfIdle(const W4Notifier::CEntityId& queue);

  std::unordered_map<W4Notifier::CEntityId, State> states_;
};

template <class Owner>
void SubscriptionBook::Reconcile(const W4Notifier::CEntityId& queue, Owner& owner) {
  // What one pass decided and did. The steps below capture it and the queue
  // alone, two references, which std::function keeps without allocating.
  struct Pass {
    std::optional<bool> start;
    // A subscription is stopped on the connection it was made on.
    std::shared_ptr<W4Notifier::CNotifierConnection> connection;
    bool held = false;
  };
  while (true) {
    Pass pass;
    owner.WithSubscriptions([&pass, &queue](SubscriptionBook& book) {
      pass.start = book.NextStep(queue);
      if (pass.start && !*pass.start) pass.connection = book.HeldOn(queue);
    });
    if (!pass.start) break;
    if (!*pass.start && CallbackGate::InsideAnyCallback()) {
      // Stopping waits until the notifier's delivery thread is out of the
      // owner; that thread may be waiting for its turn to call the monitor
      // whose callback this thread is in. This thread stays the reconciler.
      owner.ReconcileLater(queue);
      return;
    }
    if (*pass.start) {
      pass.connection = owner.StartSubscription(queue);
    } else if (pass.connection) {
      owner.StopSubscription(queue, pass.connection);
    }
    pass.held = *pass.start && pass.connection != nullptr;
    owner.WithSubscriptions([&pass, &queue](SubscriptionBook& book) {
      book.Completed(queue, *pass.start, pass.held, pass.connection);
    });
    if (pass.held != *pass.start) break;
  }
  owner.SubscriptionSettled(queue);
}

}  // namespace QueueManager
