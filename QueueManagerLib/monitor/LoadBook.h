#pragma once

// The cache's load protocol: which monitor awaits which load, which request
// answers it, and which loads wait for a subscription.

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "monitor/MonitorId.h"

namespace QueueManager {

// The loads of the monitor cache and their rules. Not synchronised: the
// cache keeps it as a member guarded by the cache lock; it makes no notifier
// call and calls nobody back, so the cache decides here under its lock and
// acts on the answers after releasing it. Owns its records; never a monitor.
//
// The rules:
// - A monitor is pending while it waits for its initial contents: its load is
//   in flight (kAwaiting), or failed and waits for a retry (kFailed). Pending
//   monitors receive no live events.
// - A live monitor that asks for more names (kAdding) keeps receiving live
//   events while the answer is on its way: withheld, the additions and
//   removals in that window would be lost to it, since the answer carries
//   only the new names' values.
// - Every load is numbered. An answer to a load superseded while it was on
//   its way gives its monitor no callbacks; a failure of one leaves the
//   monitor to the later load.
// - Whole contents serve only the monitor that awaits that very load; more
//   names serve a live monitor, whichever of its requests brought them.
// - A failed load of more names leaves the monitor live (its earlier
//   contents still hold); a failed load of whole contents leaves it pending
//   until a later load succeeds.
// - Once an answer's contents are being delivered the monitor is as good as
//   live: more names asked for meanwhile do not supersede that load.
class LoadBook {
 public:
  enum class LoadState : std::uint8_t { kAwaiting, kFailed, kAdding };
  struct PendingLoad {
    LoadState state = LoadState::kAwaiting;
    W4Notifier::CEntityId queue;
    std::uint64_t load = 0;
    // The answer to `load` is being applied: its callbacks are under way.
    bool delivering = false;
  };
  // Which load an answer belongs to: the monitor that asked, the load's
  // number and whether it asked for more names only. No monitor for a live
  // notification or a reload.
  struct Ticket {
    MonitorId monitor = 0;
    std::uint64_t load = 0;
    bool adding = false;
    bool asked = false;  // an answer to a request of this process
  };
  // The activating thread of a synchronous load waits here for its outcome.
  // Thread-safe (a leaf lock of its own); shared by the request's record and
  // the waiting thread.
  struct SyncWait {
    W4Os::Mutex mutex;
    W4Os::CondVar done{&mutex};
    bool finished QM_GUARDED_BY(mutex) = false;
    bool succeeded QM_GUARDED_BY(mutex) = false;
    void Finish(bool success);
    bool Wait();
  };
  // An asynchronous request in flight, remembered with the connection it was
  // sent on: the queue and monitor of a load (an empty entity and no monitor
  // for a reload).
  struct Request {
    W4Notifier::CEntityId queue;
    MonitorId requester = 0;
    std::weak_ptr<W4Notifier::CNotifierConnection> connection;
    std::shared_ptr<SyncWait> waiter;
    std::uint64_t load = 0;
    bool adding = false;
    // A holder's token, let go with the last copy of this record.
    std::shared_ptr<void> settled;
    bool reload = false;
    Ticket ToTicket() const { return Ticket{requester, load, adding, queue.IsSet()}; }
  };
  // A load that waits for its queue's subscription to settle, so that no
  // change after the server's answer can fall into a gap between stopping
  // and starting the subscription again.
  struct DeferredLoad {
    W4Notifier::CMessage request;
    Request record;
  };
  // What an activation is to ask for.
  struct Activation {
    std::uint64_t load = 0;
    // Only more names: the monitor stays live meanwhile.
    bool adding = false;
    // The load asks for every name the monitor watches, not only the new ones.
    bool allNames = false;
  };

  // `monitor` activates on `queue`. `attach` attaches it to the queue's
  // record and returns true when it was not attached before; it is called
  // only for a monitor that is not pending.
  template <class Attach>
  Activation Activate(MonitorId monitor, const W4Notifier::CEntityId& queue, bool addingAttributes,
                      Attach&& attach) {
    const PendingLoad* pending = Find(monitor);
    if (addingAttributes && pending != nullptr && pending->delivering) {
      // Its contents are being delivered: their load stays the one it
      // awaits, and the answer with more names comes after them.
      return Activation{NextLoad(), true, false};
    }
    const bool live =
        pending == nullptr ? !std::forward<Attach>(attach)() : pending->state == LoadState::kAdding;
    return Record(monitor, queue, addingAttributes, pending, live);
  }
  // Numbers a retry of the monitor's failed load; nothing when its load has
  // not failed. The retry asks for whole contents.
  std::optional<std::pair<W4Notifier::CEntityId, std::uint64_t>> Retry(MonitorId monitor);
  std::vector<MonitorId> FailedMonitors() const;
  // The load of `ticket` failed (see the rules).
  void Failed(const Ticket& ticket);
  // The answer of `ticket` starts being applied.
  void Delivering(const Ticket& ticket);
  // The answer of `ticket` was applied: its monitor is live from now on,
  // even when the server answered with sections of other queues only.
  void Answered(const Ticket& ticket);
  // The monitor is detached, or its queue is gone.
  void Forget(MonitorId monitor) { pending_.erase(monitor); }

  // True when `ticket` answers the monitor's latest load, which has not
  // failed: the monitor's wait ends with it.
  bool AnswersCurrentLoad(const Ticket& ticket) const;
  // True when the answer of `ticket` calls its monitor back.
  bool Serves(const Ticket& ticket) const;
  // True when the monitor receives live events.
  bool IsLive(MonitorId monitor) const;
  bool AnyPending() const { return !pending_.empty(); }
  std::size_t PendingCount() const { return pending_.size(); }

  // Requests in flight, by request id.
  void Sent(std::uint32_t requestId, Request request) {
    requests_.insert_or_assign(requestId, std::move(request));
  }
  // The record of a request, left in the book: the cache's destruction waits
  // until every answer was applied.
  std::optional<Request> Look(std::uint32_t requestId) const;
  std::optional<Request> Take(std::uint32_t requestId);
  bool AnyRequest() const { return !requests_.empty(); }
  // Every request in flight with the live connection it was sent on.
  std::vector<std::pair<std::uint32_t, std::shared_ptr<W4Notifier::CNotifierConnection>>>
  RequestsInFlight() const;
  bool ReloadInFlight() const;

  void Defer(const W4Notifier::CEntityId& queue, DeferredLoad load) {
    deferred_[queue].push_back(std::move(load));
  }
  std::vector<DeferredLoad> TakeDeferred(const W4Notifier::CEntityId& queue);

  // Forgets the pending monitors and the requests in flight. Deferred loads
  // stay: their reconciler sends them, and a synchronous one is waited for.
  void Clear();

 private:
  const PendingLoad* Find(MonitorId monitor) const;
  std::uint64_t NextLoad() { return ++lastLoad_; }
  Activation Record(MonitorId monitor, const W4Notifier::CEntityId& queue, bool addingAttributes,
                    const PendingLoad* pending, bool live);

  std::unordered_map<MonitorId, PendingLoad> pending_;
  std::uint64_t lastLoad_ = 0;
  std::unordered_map<std::uint32_t, Request> requests_;
  std::unordered_map<W4Notifier::CEntityId, std::vector<DeferredLoad>> deferred_;
};

}  // namespace QueueManager
