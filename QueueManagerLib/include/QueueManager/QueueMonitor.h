#pragma once

// Queue monitors: an application derives from CQmQueueMonitor (one queue) or
// CQmMultiQueueMonitor (several queues), overrides the callbacks it needs and
// activates the monitor on a queue with the attribute names to follow.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "QueueManager/QueueStats.h"

namespace QueueManager {

class CQueueMonitorProxy;
class CallbackGate;
class CQmMultiQueueMonitor;

/// Watches one queue through the process-wide monitor cache. Activate,
/// deactivate and query one monitor from one application thread at a time;
/// the monitor's own callbacks may deactivate it meanwhile (its queue and
/// names are guarded by a lock of its own, so the queries stay sound). The
/// library never owns a monitor; the application keeps it alive while it is
/// active.
///
/// Callback lifetime, the same for every monitor of this library:
/// - The callbacks of one monitor run one at a time, on a notifier delivery
///   thread or on the thread of the synchronous call that causes them, with
///   no lock of the library held; a callback may call any operation of the
///   library, this monitor's included, and may stop or destroy the monitor.
/// - Stopping the monitor (its stop operations and its destructor), from any
///   thread and any number of times, returns only once no callback of the
///   monitor runs on another thread and none will start. Inside the monitor's
///   own callback a stop does not wait for that callback, which finishes
///   first; a stop made meanwhile on another thread returns after it.
/// - A stop made inside another monitor's callback waits the same way, unless
///   the callback it waits for is itself waiting, directly or through other
///   threads, for the caller's callback (two monitors stopping each other at
///   once): then it returns at once and the stopped monitor's running
///   callback finishes on its own; do not destroy that monitor before it has.
/// - A derived class whose callbacks use its own members stops the monitor in
///   its destructor, before those members go.
///
/// Each activation is an attachment of its own: after Deactivate() no callback
/// of the old attachment is made, even when the monitor is activated again at
/// once (also from inside its own callback).
///
/// Initial contents: a synchronous activation makes the initial callbacks on
/// the calling thread before it returns; followed by every later change
/// exactly once. Called on the notifier's delivery thread (from inside a
/// monitor callback), it cannot wait for the answer that this very thread has
/// to deliver: it then loads asynchronously, and the initial callbacks follow
/// on the delivery thread once the current callback has returned.
///
/// A load that fails (rejected, timed out, no connection) leaves the monitor
/// attached but waiting for its contents: no live events reach it until a
/// later load succeeds. The cache loads it again after a renegotiated
/// connection, and so does Activate() (same queue) or
/// RequestAttributeUpdateCallback().
///
/// All-queues entity: a monitor activated on (object type, 0xFFFFFFFF) watches
/// every queue of that type. Its initial contents are every section of the
/// server's answer and its live events every notification of a queue of that
/// type, each reported with the real queue's entity; Contains() and
/// QueryContents() answer for all those queues together.
class QM_EXPORT CQmQueueMonitor {
 public:
  CQmQueueMonitor();
  /// Copies the queue and the names; the copy is not attached to the cache
  /// and receives no callbacks.
  CQmQueueMonitor(const CQmQueueMonitor& other);
  /// Detaches this monitor from its queue first (as Deactivate() does), then
  /// copies as the copy constructor does.
  CQmQueueMonitor& operator=(const CQmQueueMonitor& other);
  /// Detaches the monitor from the cache.
  virtual ~CQmQueueMonitor();

  /// Attaches the monitor to `queue` and loads the queue's interactions with
  /// `names`; the initial InteractionAdded and StatisticsUpdate calls are made
  /// before returning when `synchronous` or when the queue is already cached.
  /// Ignored when the queue's object type is 0 or the monitor is active,
  /// except that an active monitor whose load failed is loaded again.
  void Activate(const W4Notifier::CEntityId& queue, const std::vector<CQmAttributeName>& names,
                bool synchronous);
  /// Adds names and reloads the queue for this monitor synchronously. Ignored
  /// when the monitor is not attached (inactive, or a copy).
  ///@{
  void RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names);
  void RequestAttributeUpdateCallback(const CQmAttributeName& name);
  ///@}
  /// Detaches the monitor; no callback follows once it returns.
  void Deactivate();

  /// Whether the interaction is on the queue, and the interactions on it, from the cache.
  ///@{
  bool Contains(InteractionId id) const;
  void QueryContents(std::vector<InteractionId>& contents) const;
  ///@}
  /// Copies the cached statistics; leaves `stats` unchanged for the
  /// all-queues entity or a queue that is not cached.
  void QueryStatistics(CQmQueueStats& stats) const;
  /// The names watched, and whether `name` is one of them.
  ///@{
  void Monitors(std::vector<CQmAttributeName>& names) const;
  bool IsMonitored(const CQmAttributeName& name) const;
  ///@}
  /// REQUIRES: no callback of this monitor deactivates it meanwhile (the
  /// reference is to the monitor's own field).
  const W4Notifier::CEntityId& QueryMonitoredQueue() const QM_NO_THREAD_SAFETY_ANALYSIS {
    return queue_;
  }
  /// The server's clock minus the local clock, in seconds.
  int QueryClockSkew() const;

 protected:
  /// An inner monitor of another public monitor: its callbacks take turns on
  /// `gate` with that monitor's other callbacks.
  explicit CQmQueueMonitor(std::shared_ptr<CallbackGate> gate);
  /// A copy on `gate` (see the copy constructor).
  CQmQueueMonitor(const CQmQueueMonitor& other, std::shared_ptr<CallbackGate> gate);

  /// The callbacks, each for one queue: an interaction's watched attributes changed, an interaction
  /// joined the queue, one left it, the queue's statistics changed, the queue was removed. Each
  /// does nothing unless overridden. An all-queues monitor hears QueueRemoved for each queue of
  /// its type that goes, one removed while the connection was down included: it is told so once
  /// the answer to the reload after the renegotiation no longer lists the queue.
  ///@{
  virtual void AttributesUpdated(const W4Notifier::CEntityId& /*queue*/, InteractionId /*id*/,
                                 const CQmAttributeMap& /*attributes*/) {}
  virtual void InteractionAdded(const W4Notifier::CEntityId& /*queue*/, InteractionId /*id*/,
                                const CQmAttributeMap& /*attributes*/) {}
  virtual void InteractionRemoved(const W4Notifier::CEntityId& /*queue*/, InteractionId /*id*/) {}
  virtual void StatisticsUpdate(const W4Notifier::CEntityId& /*queue*/,
                                const CQmQueueStats& /*stats*/) {}
  virtual void QueueRemoved(const W4Notifier::CEntityId& /*queue*/) {}
  ///@}

 private:
  friend class CQueueMonitorProxy;

  /// The queue, while attached (0 otherwise); false when not attached.
  std::uint64_t Attachment(W4Notifier::CEntityId* queue) const;
  /// Ends the current attachment, if any; gives its id and queue.
  std::uint64_t Detach(W4Notifier::CEntityId& queue);
  /// Detaches, waits for callbacks on other threads, leaves the cache.
  void Stop();

  /// Every callback of this monitor takes its turn here; shared with the
  /// public monitor that owns this one, if any, which also opens and closes
  /// it. A monitor's own gate stays open for its life: the attachment id, not
  /// the gate, tells whether a delivery is still wanted. Set once, at
  /// construction.
  const std::shared_ptr<CallbackGate> gate_;

  /// A leaf lock: held only to read or write the fields below, never across a
  /// call into the cache or the application.
  mutable W4Os::Mutex mutex_;
  W4Notifier::CEntityId queue_ QM_GUARDED_BY(mutex_);
  std::set<CQmAttributeName> names_ QM_GUARDED_BY(mutex_);
  /// The current attachment's id, from Activate() to Deactivate(); 0 while
  /// detached. Copies are never attached.
  std::uint64_t attachment_ QM_GUARDED_BY(mutex_) = 0;
};

/// The inner monitor of one queue of a CQmMultiQueueMonitor: forwards every
/// callback to its owner. Owned by the owner.
class QM_EXPORT CQmMultiQueueMonitorGuts : public CQmQueueMonitor {
 public:
  /// Takes its turns on the owner's gate.
  explicit CQmMultiQueueMonitorGuts(CQmMultiQueueMonitor* owner);
  /// An unattached copy of `other` that belongs to `owner`.
  CQmMultiQueueMonitorGuts(const CQmMultiQueueMonitorGuts& other, CQmMultiQueueMonitor* owner);
  /// A copy always names its owner.
  CQmMultiQueueMonitorGuts(const CQmMultiQueueMonitorGuts&) = delete;
  CQmMultiQueueMonitorGuts& operator=(const CQmMultiQueueMonitorGuts&) = delete;
  ~CQmMultiQueueMonitorGuts() override;

 protected:
  void AttributesUpdated(const W4Notifier::CEntityId& queue, InteractionId id,
                         const CQmAttributeMap& attributes) override;
  void InteractionAdded(const W4Notifier::CEntityId& queue, InteractionId id,
                        const CQmAttributeMap& attributes) override;
  void InteractionRemoved(const W4Notifier::CEntityId& queue, InteractionId id) override;
  void StatisticsUpdate(const W4Notifier::CEntityId& queue, const CQmQueueStats& stats) override;
  void QueueRemoved(const W4Notifier::CEntityId& queue) override;

 private:
  CQmMultiQueueMonitor* owner_;
};

/// Watches several queues, one inner CQmQueueMonitor per queue, which it owns.
/// Activate, deactivate and query it from one application thread at a time
/// (and from its own callbacks); the application owns it. The callbacks of
/// all its queues take turns as those of one monitor.
///
/// Callback lifetime, the same for every monitor of this library:
/// - The callbacks of one monitor run one at a time, on a notifier delivery
///   thread or on the thread of the synchronous call that causes them, with
///   no lock of the library held; a callback may call any operation of the
///   library, this monitor's included, and may stop or destroy the monitor.
/// - Stopping the monitor (its stop operations and its destructor), from any
///   thread and any number of times, returns only once no callback of the
///   monitor runs on another thread and none will start. Inside the monitor's
///   own callback a stop does not wait for that callback, which finishes
///   first; a stop made meanwhile on another thread returns after it.
/// - A stop made inside another monitor's callback waits the same way, unless
///   the callback it waits for is itself waiting, directly or through other
///   threads, for the caller's callback (two monitors stopping each other at
///   once): then it returns at once and the stopped monitor's running
///   callback finishes on its own; do not destroy that monitor before it has.
/// - A derived class whose callbacks use its own members stops the monitor in
///   its destructor, before those members go.
/// Deactivate(queue) is the stop of one queue's callbacks; the destructor
/// stops them all.
class QM_EXPORT CQmMultiQueueMonitor {
 public:
  CQmMultiQueueMonitor();
  /// A copy holds unattached copies of the inner monitors: it can answer
  /// queries but receives no callbacks.
  CQmMultiQueueMonitor(const CQmMultiQueueMonitor& other);
  /// Copies as the copy constructor does.
  ///@{
  CQmMultiQueueMonitor& operator=(const CQmMultiQueueMonitor& other);
  ///@}
  /// Stops every callback, then deactivates and destroys every inner monitor.
  virtual ~CQmMultiQueueMonitor();

  /// A new queue gets a new inner monitor activated with (queue, names,
  /// synchronous); a queue already watched gets the names added as by
  /// RequestAttributeUpdateCallback. Ignored when the object type is 0.
  void Activate(const W4Notifier::CEntityId& queue, const std::vector<CQmAttributeName>& names,
                bool synchronous);
  /// Adds names for one watched queue, as the inner monitor's RequestAttributeUpdateCallback does;
  /// Deactivate(queue) stops that queue's callbacks and forgets it.
  ///@{
  void RequestAttributeUpdateCallback(const W4Notifier::CEntityId& queue,
                                      const std::vector<CQmAttributeName>& names);
  void RequestAttributeUpdateCallback(const W4Notifier::CEntityId& queue,
                                      const CQmAttributeName& name);
  void Deactivate(const W4Notifier::CEntityId& queue);
  ///@}

  /// All zero for a queue that is not watched.
  void QueryStatistics(const W4Notifier::CEntityId& queue, CQmQueueStats& stats) const;
  /// The queues watched, and the server's clock minus the local clock in seconds.
  ///@{
  void QueryMonitoredQueues(std::vector<W4Notifier::CEntityId>& queues) const;
  int QueryClockSkew() const;
  ///@}

 protected:
  friend class CQmMultiQueueMonitorGuts;

  /// The callbacks of every watched queue, as CQmQueueMonitor's; each does nothing unless
  /// overridden.
  ///@{
  virtual void AttributesUpdated(const W4Notifier::CEntityId& /*queue*/, InteractionId /*id*/,
                                 const CQmAttributeMap& /*attributes*/) {}
  virtual void InteractionAdded(const W4Notifier::CEntityId& /*queue*/, InteractionId /*id*/,
                                const CQmAttributeMap& /*attributes*/) {}
  virtual void InteractionRemoved(const W4Notifier::CEntityId& /*queue*/, InteractionId /*id*/) {}
  virtual void StatisticsUpdate(const W4Notifier::CEntityId& /*queue*/,
                                const CQmQueueStats& /*stats*/) {}
  virtual void QueueRemoved(const W4Notifier::CEntityId& /*queue*/) {}
  ///@}

 private:
  using Inner = std::shared_ptr<CQmMultiQueueMonitorGuts>;
  /// The queue's inner monitor, or null.
  Inner Find(const W4Notifier::CEntityId& queue) const QM_LOCKS_EXCLUDED(mutex_);

  /// The turns of every inner monitor's callbacks: opened at construction,
  /// closed by the destructor.
  const std::shared_ptr<CallbackGate> gate_;
  /// A leaf lock over the map: never held while an inner monitor is called,
  /// so that a callback may deactivate its own queue while the application
  /// thread works on the map.
  mutable W4Os::Mutex mutex_;
  std::map<W4Notifier::CEntityId, Inner> monitors_ QM_GUARDED_BY(mutex_);
};

/// The server's clock minus the local clock, in seconds, as estimated from the
/// time stamps of the server's messages.
QM_EXPORT int QueryClockSkew();
/// Subscribes to the server's clock notifications and asks it for its time,
/// once per process (a call without a default connection leaves it to a
/// later call).
QM_EXPORT void RequestClockSkewUpdates();

}  // namespace QueueManager
