#pragma once

// The process-wide queue monitoring cache (library-internal).
//
// Where CQmCache is written:
//   QmCache.cc        construction and shutdown, activation, deactivation,
//                     loading, subscriptions, and the outcomes of requests
//                     (OnAsyncResponse*);
//   CacheMessages.cc  notifications (OnMessageReceived) and load answers:
//                     queue bodies decoded and applied. CacheMessages.h: the
//                     all-queues callback object and a body's route;
//   CacheUpdates.cc   table changes under the lock, and their callbacks
//                     made after it (FinishBatch);
//   CacheReload.cc    the reload after a renegotiation (OnConnectionRenegotiated);
//   CacheQueries.cc   queries, attribute sets, the store, the test hooks;
//   CacheHolds.cc     queues held for a TS server monitor;
//   CacheClock.cc     the clock skew service.
// Its parts, each with a header: LoadBook (the load protocol: which monitor
// awaits which load, and its rules), SubscriptionBook, CacheTables,
// HandOffs, CallbackBatch, ClockSkew.
//
// Lock order, outermost first; no code takes them in another order:
//   1. the cache lock, CQmCache::lock_ (re-entrant; exposed as Lock() for the
//      interaction monitors, which share it): every table of the cache, the
//      load book, the subscription book, the clock skew filter and the
//      interaction monitor store;
//   2. a queue record's own lock (QueueRecord, taken inside the cache lock
//      while its monitor list changes), or the proxy lock
//      (CQueueMonitorProxy, which never takes the cache lock).
// Leaf locks, taken with or without the above and never holding another:
// the hand-off lock (HandOffs), a synchronous load's wait lock, a monitor's
// own field lock, the registry lock of the media type monitors.
// Before the cache lock, never held while waiting: a TS server monitor's own
// lock (CQmTsServerMonitorImpl).
//
// No monitor callback, and no notifier call that may wait for a callback or
// a server (StopNotifications, StartNotifications, synchronous requests),
// runs while the cache lock is held (an asynchronous send does, so that its
// outcome finds the request recorded): changes are applied under the lock,
// the callbacks they cause are collected in a CallbackBatch, and they are
// made after the lock is released, on the same thread and in the same order.
//
// Ordering: a queue's notifications and the answers to its loads reach the
// cache through one callback object (the cache itself for single queues,
// AllQueuesCallback for all-queues entities), which the notifier calls in
// the order the server sent them. Every load is therefore sent
// asynchronously to that object and applied on its delivery thread, in
// order with the live events: the tables always follow the server's order,
// and a monitor sees what its snapshot holds and every event after it, once.
// A synchronous activation waits for its answer and takes its callbacks over
// from the delivery thread through HandOffs, making them while the answer is
// still being applied.
//
// Big answers: a load answer (checked whole first) and each queue of a
// reload are decoded and applied in slices of a few hundred interactions,
// the lock let go between slices and the callbacks of a slice made before
// the next one, so that other threads' queries and other queues' work wait
// for one slice at most. The order above holds, since the queue's
// notifications wait on the delivery thread until the whole answer was
// applied. What a query sees meanwhile: the answer applied in its order up
// to the current slice (every interaction a callback has reported is there,
// with its values; later ones not yet), and the members the answer no longer
// lists until after its last slice. A reload's section cut short leaves its
// queue awaiting another reload.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "QueueManager/QueueStats.h"
#include "monitor/CacheMessages.h"
#include "monitor/CacheTables.h"
#include "monitor/CallbackBatch.h"
#include "monitor/ClockSkew.h"
#include "monitor/HandOffs.h"
#include "monitor/InteractionMonitorStore.h"
#include "monitor/LoadBook.h"
#include "monitor/MessageReaders.h"
#include "monitor/MonitorId.h"
#include "monitor/SubscriptionBook.h"

namespace QueueManager {

// The one monitor cache of the process: subscribes to the notifications of
// every watched queue, loads and keeps the queues' interactions, attributes
// and statistics, and calls the monitors back through CQueueMonitorProxy.
// Thread-safe: every operation takes the cache lock inside unless it says
// otherwise. Built on first use; destroyed at exit. Never owns a monitor.
class CQmCache final : public W4Notifier::IAsyncResponseCallback,
                       public W4Notifier::IMessageCallback {
 public:
  static CQmCache& Instance();
  // False before the cache is built and after it was destroyed (monitors
  // destroyed at exit check it before detaching).
  static bool Exists();

  // Attaches `monitor` to `queue` and loads the queue: asynchronously when
  // asked and the queue was not cached, otherwise synchronously, making the
  // initial callbacks before returning.
  // With kNoMonitor the queue is loaded for its holder alone (HoldQueue):
  // nothing is attached, nobody is called back, `subscribe` is ignored, and a
  // synchronous load returns once the answer was applied.
  // REQUIRES: `monitor` is registered with CQueueMonitorProxy, or is
  // kNoMonitor and the queue is held (otherwise nothing is loaded).
  void ActivateMonitor(const W4Notifier::CEntityId& queue, MonitorId monitor,
                       const std::vector<CQmAttributeName>& names, bool addingAttributes,
                       bool synchronous, bool subscribe) QM_LOCKS_EXCLUDED(lock_);
  // Loads a monitor again whose load failed (with every name it monitors);
  // nothing for another monitor.
  void RetryFailedLoad(MonitorId monitor, bool synchronous) QM_LOCKS_EXCLUDED(lock_);
  // Detaches `monitor`; with the last monitor the queue leaves the cache and
  // its subscription stops.
  // REQUIRES: CQueueMonitorProxy::Deactivate(monitor) has returned.
  void DeactivateMonitor(const W4Notifier::CEntityId& queue, MonitorId monitor)
      QM_LOCKS_EXCLUDED(lock_);

  // Keeps `queue` cached for a holder that receives the queue's notifications
  // itself rather than through a monitor (a TS server monitor's private
  // inbox) and applies them with ApplyHeldQueueEventLocked. A queue stays
  // cached while it is held or has monitors. Holds are counted.
  void HoldQueue(const W4Notifier::CEntityId& queue) QM_LOCKS_EXCLUDED(lock_);
  // Loads a held queue for its holder, as ActivateMonitor does with
  // kNoMonitor. The cache keeps `settled` until the answer was applied or the
  // load failed, and then lets go of it (possibly under the cache lock): a
  // load made on a delivery thread is answered after this returns.
  void LoadHeldQueue(const W4Notifier::CEntityId& queue, const std::vector<CQmAttributeName>& names,
                     bool addingAttributes, bool synchronous, std::shared_ptr<void> settled)
      QM_LOCKS_EXCLUDED(lock_);
  // Ends one hold; with the last hold of a queue without monitors the queue
  // leaves the cache.
  void ReleaseQueue(const W4Notifier::CEntityId& queue) QM_LOCKS_EXCLUDED(lock_);
  // Whether the holder is to apply a body of a held queue that it received
  // (message `sequence`, 0 when unnumbered) with ApplyHeldQueueEventLocked.
  // The queue's table follows one order even when monitors of the cache
  // watch it too, through the cache's own subscription, which brings the
  // same notifications: while the queue has monitors only that subscription
  // applies them; otherwise the holder does, skipping a numbered body that
  // the subscription applied before it ended (or that a later one
  // overtook).
  bool TakeHeldBodyLocked(const W4Notifier::CEntityId& queue, std::uint64_t sequence)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Applies an interaction event of a held queue that its holder received:
  // the interaction joins or leaves the queue (leaving the cache when no
  // other queue holds it), the event's names are registered for the queue's
  // object type and its values stored. No monitor is called back. Ignored
  // once the queue is no longer held.
  // REQUIRES: the holder takes the cache lock around a whole batch of events.
  void ApplyHeldQueueEventLocked(const W4Notifier::CEntityId& queue, const QueueEvent& event)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);

  // Empties `ids`, then fills it; true when the queue is cached.
  bool QueryQueueContents(const W4Notifier::CEntityId& queue, std::vector<InteractionId>& ids);
  bool IsInteractionInQueue(const W4Notifier::CEntityId& queue, InteractionId id);
  // Copy the cached record; false (record unchanged) when the queue is not
  // cached.
  bool QueryStatistics(const W4Notifier::CEntityId& queue, CQmQueueStats& stats);
  bool QueryStatistics(const W4Notifier::CEntityId& queue, CQmQueueStats2& stats);
  // True when the cache answers definitively: the cached value, or an empty
  // value when the interaction is monitored for the name but has no value
  // for it; otherwise the interaction monitors are asked.
  bool QueryAttribute(InteractionId id, const CQmAttributeName& name, CQmAttributeValue& value);
  // Presizes `values` to one empty value per name; true when every name was
  // found.
  bool QueryAttributes(InteractionId id, const std::vector<CQmAttributeName>& names,
                       std::vector<CQmAttributeValue>& values);
  // Stores the value when the interaction is monitored for the name; true
  // when the stored value changed.
  bool SetAttribute(InteractionId id, const CQmAttributeName& name, const CQmAttributeValue& value);
  void SetAttributes(InteractionId id, const CQmAttributeMap& attributes);
  // (object type, id, 0) of a cached interaction, or an empty entity.
  W4Notifier::CEntityId QueryUnderlyingEntityId(InteractionId id);

  // The server's clock minus the local clock, in seconds. Lock-free.
  int QueryClockSkew() const { return clockSkew_.load(std::memory_order_relaxed); }
  // Subscribes to the server's clock notifications and asks for its time,
  // once per process (a call without a default connection leaves it to a
  // later call).
  void RequestClockSkewUpdates() QM_LOCKS_EXCLUDED(lock_);

  // Reloads after a renegotiated connection for the holders of queues,
  // which the connection tells when the cache holds no subscription (and so
  // is not told itself). Nothing while a reload is on its way.
  void ReloadForUnsubscribedWatchers() QM_LOCKS_EXCLUDED(lock_);

  // Installs (or, with null, removes) the interaction monitors' store.
  // REQUIRES: the store outlives its installation and any reload that is
  // delivering to it.
  void SetInteractionMonitorStore(IInteractionMonitorStore* store) QM_LOCKS_EXCLUDED(lock_);

  // The cache lock, for library code that shares it.
  W4Os::CCriticalSection& Lock() QM_RETURN_CAPABILITY(lock_) { return lock_; }

  // For tests: sizes of the tables, and whether a queue's subscription is
  // held.
  std::size_t CachedQueueCount();
  std::size_t CachedInteractionCount();
  std::size_t PendingMonitorCount();
  bool IsSubscribed(const W4Notifier::CEntityId& queue);
  // For tests only: forgets every table, pending monitor, subscription
  // record, outstanding request, the clock skew state and its once-flag, so
  // that each test starts from an empty cache. Makes no notifier call.
  void ResetForTesting() QM_LOCKS_EXCLUDED(lock_);

  // IAsyncResponseCallback.
  void OnAsyncResponseSuccess(std::uint32_t requestId, W4Notifier::CMessage& response) override;
  void OnAsyncResponseRejected(std::uint32_t requestId, W4Notifier::CMessage& rejection) override;
  void OnAsyncResponseTimeout(std::uint32_t requestId) override;
  void OnAsyncResponseCancelled(std::uint32_t requestId) override;
  void OnAsyncResponseConnectionLoss(std::uint32_t requestId) override;
  // Both bases: reloads the cache after a renegotiated connection.
  void OnConnectionRenegotiated() override;
  // IMessageCallback: queue notifications and the server's clock.
  void OnMessageReceived(W4Notifier::CMessage& message) override;

 private:
  friend class AllQueuesCallback;

  CQmCache();
  ~CQmCache() override;

  // Activation, loading, subscriptions, request outcomes (QmCache.cc).
  void TraceActivation(const W4Notifier::CEntityId& queue, MonitorId monitor,
                       const std::vector<CQmAttributeName>& names, bool addingAttributes,
                       bool synchronous) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  bool IsHeldLocked(const W4Notifier::CEntityId& queue) const QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // `requester` is the monitor whose activation asked for the load, `load`
  // the number the book gave it. `settled`: see LoadHeldQueue.
  // `registeredToo`: the names registered already are asked for too.
  void LoadQueue(const W4Notifier::CEntityId& queue, const std::vector<CQmAttributeName>& names,
                 bool addingAttributes, bool synchronous, MonitorId requester,
                 std::uint64_t load = 0, std::shared_ptr<void> settled = nullptr,
                 bool registeredToo = false) QM_LOCKS_EXCLUDED(lock_);
  void SendDeferredLoads(std::vector<LoadBook::DeferredLoad> loads) QM_LOCKS_EXCLUDED(lock_);
  // Clears the monitored-name registry when the default connection is not
  // the one whose server it describes.
  void ForgetNamesOfAnotherConnection() QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Sends the load to the queue's callback object; false when it was not
  // sent.
  bool SendLoad(const W4Notifier::CMessage& request, const LoadBook::Request& record)
      QM_LOCKS_EXCLUDED(lock_);
  void LoadFailed(const LoadBook::Request& request, const char* why) QM_LOCKS_EXCLUDED(lock_);
  // The activating thread of a synchronous load: makes the requester's
  // callbacks as they are handed over until the load has finished.
  // REQUIRES: `record` has a waiter.
  void AwaitSyncLoad(const LoadBook::Request& record) QM_LOCKS_EXCLUDED(lock_);
  // Ends the wait of a synchronous load (nothing for another load).
  void FinishSyncLoad(const LoadBook::Request& record, bool success) QM_LOCKS_EXCLUDED(lock_);
  // The reconcile loop's side of the cache (see SubscriptionBook::Reconcile).
  friend class SubscriptionBook;
  void ReconcileSubscription(const W4Notifier::CEntityId& queue) QM_LOCKS_EXCLUDED(lock_);
  void WithSubscriptions(const std::function<void(SubscriptionBook&)>& step)
      QM_LOCKS_EXCLUDED(lock_);
  std::shared_ptr<W4Notifier::CNotifierConnection> StartSubscription(
      const W4Notifier::CEntityId& queue) QM_LOCKS_EXCLUDED(lock_);
  void StopSubscription(const W4Notifier::CEntityId& queue,
                        const std::shared_ptr<W4Notifier::CNotifierConnection>& connection)
      QM_LOCKS_EXCLUDED(lock_);
  void ReconcileLater(const W4Notifier::CEntityId& queue);
  void SubscriptionSettled(const W4Notifier::CEntityId& queue) QM_LOCKS_EXCLUDED(lock_);
  W4Notifier::IMessageCallback* SubscriberFor(const W4Notifier::CEntityId& queue);
  W4Notifier::IAsyncResponseCallback* ResponderFor(const W4Notifier::CEntityId& queue);
  // `timedOut`: the server may answer it when asked again.
  void RequestFailed(std::uint32_t requestId, int level, const char* what, bool timedOut = false)
      QM_LOCKS_EXCLUDED(lock_);
  void RetryFailedLoads() QM_LOCKS_EXCLUDED(lock_);
  void ShutDown() QM_LOCKS_EXCLUDED(lock_);

  // Table changes under the lock (CacheUpdates.cc).
  // Opens a group in `batch` with the monitors to call for a body of `route`.
  CallbackBatch::Group GetMonitors(const BodyRoute& route, CallbackBatch& batch)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  void QueueRemovedLocked(const W4Notifier::CEntityId& queue, bool viaAllQueues,
                          CallbackBatch& batch) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  void DropQueueLocked(const W4Notifier::CEntityId& queue, bool viaAllQueues, CallbackBatch& batch)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // The queue's subscription is no longer wanted; `batch` stops it.
  void UnsubscribeLocked(const W4Notifier::CEntityId& queue, CallbackBatch& batch)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // The interaction joins the queue (when `added`); the event's names are
  // registered for the queue's type and its values stored.
  void StoreEventLocked(const W4Notifier::CEntityId& queue, QueueRecord& record,
                        const QueueEvent& event, bool added) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  void RemoveFromQueueLocked(const W4Notifier::CEntityId& queue, QueueRecord& record,
                             std::uint32_t id) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Drops the interaction when no cached queue holds it any more.
  void ForgetIfUnqueuedLocked(std::uint32_t id) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // An answer lists, for each interaction, the value of every one of `names`
  // that the server holds: a cached value of a name it leaves out is emptied.
  void DropUnconfirmedLocked(const QueueEvent& event, const std::vector<CQmAttributeName>& names)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // `store`: false when the event's values were stored already. `added`:
  // whether the event counts as the interaction's addition, when that is not
  // what the server marked (the event itself is not copied to say so: its
  // callbacks refer to it).
  void ApplyEventLocked(const BodyRoute& route, const QueueEvent& event, CallbackBatch& batch,
                        bool store = true, std::optional<bool> added = std::nullopt)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  bool SetAttributeLocked(std::uint32_t id, const CQmAttributeName& name,
                          const CQmAttributeValue& value) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  bool QueryAttributeLocked(std::uint32_t id, const CQmAttributeName& name,
                            CQmAttributeValue& value) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  void FeedClockLocked(ServerSeconds serverTime) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Makes the batch's callbacks, reconciles its subscriptions, hands its
  // interaction records to the store, then drops its departed interactions.
  void FinishBatch(CallbackBatch& batch) QM_LOCKS_EXCLUDED(lock_);

  // Responses and notifications (CacheMessages.cc). Each throws
  // W4Notifier::CException on malformed input; the callers catch.
  void ReadServerTime(W4Notifier::CMessage& message) QM_LOCKS_EXCLUDED(lock_);
  // A notification's server time, fed to the clock under the first lock that
  // its body takes.
  class PendingClock;  // CacheMessages.cc
  // Feeds the clock's time unless fed already (nothing when null).
  void FeedPendingClockLocked(PendingClock* clock) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  void FeedPendingClock(PendingClock& clock) QM_LOCKS_EXCLUDED(lock_);
  // Starts fetching the record of the interaction of `event` (its head read).
  void PrepareEventLocked(const QueueEvent& event) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // `viaAllQueues`: received through the all-queues subscription of the
  // message's type.
  void ProcessNotification(W4Notifier::CMessage& message, bool viaAllQueues)
      QM_LOCKS_EXCLUDED(lock_);
  // Applies the answer to a load; false when it was malformed.
  bool ProcessMonitorResponse(W4Notifier::CMessage& response, const LoadBook::Request& request)
      QM_LOCKS_EXCLUDED(lock_);
  // Applies one queue's section of a load answer; returns the queue.
  W4Notifier::CEntityId ProcessMonitorSection(W4Notifier::CMessage& response,
                                              const LoadBook::Request& request)
      QM_LOCKS_EXCLUDED(lock_);
  // After a whole answer for the all-queues entity `all`, which lists every
  // queue of its type there is: the child records of queues it did not list
  // are of queues removed unseen (while the connection was down), and go.
  void DropUnlistedChildren(const W4Notifier::CEntityId& all,
                            const std::unordered_set<std::uint32_t>& listed)
      QM_LOCKS_EXCLUDED(lock_);
  // `clock`, when given, is fed under the body's first lock.
  void ProcessQueueBody(const BodyRoute& route, W4Notifier::CMessage& message,
                        PendingClock* clock = nullptr) QM_LOCKS_EXCLUDED(lock_);
  // Records the sequence number of a queue body for its record and judges it
  // (JudgeSequence). A load answer sets the number whatever it is.
  eSequenceVerdict TakeSequence(const BodyRoute& route, std::uint64_t sequence, PendingClock* clock)
      QM_LOCKS_EXCLUDED(lock_);
  // Applies a queue body read whole: the statistics (when given), the
  // events, and the second statistics record that `stats2` holds next (when
  // given).
  void ApplyQueueBody(const BodyRoute& route, const CQmQueueStats* stats,
                      std::span<const QueueEvent> events, W4Notifier::CMessage* stats2)
      QM_LOCKS_EXCLUDED(lock_);
  // Reads and applies the rest of a load answer's body (`count` events and
  // the trailer) in slices, releasing the lock between them; whole contents
  // also settle the record's membership, telling its live monitors of each
  // difference (the members the answer leaves out go after the last slice).
  // REQUIRES: the whole answer was checked (CheckMonitorResponse).
  void ApplyAnswerBody(const BodyRoute& route, W4Notifier::CMessage& message,
                       const CQmQueueStats* stats, std::uint32_t count, PendingClock* clock)
      QM_LOCKS_EXCLUDED(lock_);
  // One event of a load answer. `leftovers`, when whole contents settle the
  // membership: the members not listed so far; an event of another
  // interaction adds it for the live monitors.
  void ApplyAnswerEventLocked(const BodyRoute& route, const QueueEvent& event,
                              std::unordered_set<std::uint32_t>* leftovers, CallbackBatch& batch)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Reads past a second statistics record.
  static void SkipStatistics2(W4Notifier::CMessage& message);
  void ProcessStatistics2(const BodyRoute& route, W4Notifier::CMessage& message)
      QM_LOCKS_EXCLUDED(lock_);
  void ProcessMonitorEvent(const BodyRoute& route, const QueueEvent& event)
      QM_LOCKS_EXCLUDED(lock_);
  void RegisterNamesLocked(W4Notifier::ObjectTypes type, const std::vector<CQmAttributeName>& names)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);

  // Reload after a renegotiated connection (CacheReload.cc).
  void RequestReload() QM_LOCKS_EXCLUDED(lock_);
  void RequestReloadLocked(const std::shared_ptr<W4Notifier::CNotifierConnection>& connection)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Loads every all-queues entity with monitors again whole, with their
  // names, for no monitor of its own; `subscribedToo`: those whose
  // subscription is held too.
  void ReloadAllQueuesRecords(bool subscribedToo) QM_LOCKS_EXCLUDED(lock_);
  void ProcessCacheReload(W4Notifier::CMessage& response) QM_LOCKS_EXCLUDED(lock_);
  // Asks again for a reload that timed out or whose answer was cut short,
  // while some record still awaits it and kReloadAttempts allow.
  void RetryReload() QM_LOCKS_EXCLUDED(lock_);
  // Loads every monitor's queue again for its names, after a server forgot
  // them (namesForgotten_).
  void AskForNamesAgain() QM_LOCKS_EXCLUDED(lock_);
  // One section of a reload answer: a queue's, or an interaction's record.
  void ReloadSection(W4Notifier::CMessage& response) QM_LOCKS_EXCLUDED(lock_);
  void ReloadQueue(const W4Notifier::CEntityId& queue, W4Notifier::CMessage& response)
      QM_LOCKS_EXCLUDED(lock_);
  // A queue's own record in its reload section (children of an all-queues
  // entity are loaded again on that entity's callback object).
  struct ReloadedRecord {
    // Cached when the section began.
    bool loaded = false;
    // Its members the server has not listed so far.
    std::unordered_set<std::uint32_t> leftovers;
  };
  void StartReloadLocked(const W4Notifier::CEntityId& queue,
                         const std::optional<CQmQueueStats>& stats, ReloadedRecord& record,
                         CallbackBatch& batch) QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Reconciles the record with one event the server listed.
  void ReloadEventLocked(const W4Notifier::CEntityId& queue, const QueueEvent& event,
                         ReloadedRecord& record, CallbackBatch& batch)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);
  // Removes the members an answer did not list; the removal events are kept
  // in `removals` until the batch was finished.
  void RemoveLeftoversLocked(const BodyRoute& route,
                             const std::unordered_set<std::uint32_t>& leftovers,
                             std::deque<QueueEvent>& removals, CallbackBatch& batch)
      QM_EXCLUSIVE_LOCKS_REQUIRED(lock_);

  // Clock (CacheClock.cc).
  bool StartClockSkewUpdates() QM_LOCKS_EXCLUDED(lock_);

  mutable W4Os::CCriticalSection lock_;
  std::atomic<int> clockSkew_{0};
  CClockSkewFilter clockFilter_ QM_GUARDED_BY(lock_);
  // The pending monitors, the requests in flight and the deferred loads.
  LoadBook loads_ QM_GUARDED_BY(lock_);
  // A reload answer showed that the server forgot the monitored names.
  bool namesForgotten_ QM_GUARDED_BY(lock_) = false;
  // The reloads asked for since the last renegotiation or settled reload.
  int reloadAttempts_ QM_GUARDED_BY(lock_) = 0;
  CacheTables tables_ QM_GUARDED_BY(lock_);
  // The connection whose server sends the names of the monitored-name
  // registry: what one server was asked for, another one does not know. A
  // weak reference keeps the connection's identity unique while it is held
  // (an address alone could be reused by a later connection).
  std::weak_ptr<W4Notifier::CNotifierConnection> namesConnection_ QM_GUARDED_BY(lock_);
  SubscriptionBook subscriptions_ QM_GUARDED_BY(lock_);
  // The held queues (HoldQueue) and how often each is held.
  std::unordered_map<W4Notifier::CEntityId, int> holds_ QM_GUARDED_BY(lock_);
  HandOffs handOffs_;
  bool clockSubscribed_ QM_GUARDED_BY(lock_) = false;
  IInteractionMonitorStore* store_ QM_GUARDED_BY(lock_) = nullptr;
  // 0 idle, 1 a request is running, 2 done.
  std::atomic<int> clockSkewRequest_{0};
  AllQueuesCallback allQueuesCallback_{*this};
};

// Marks the calling thread, for its lifetime, as inside a notifier callback
// of the cache: a delivery thread that must not wait for another delivery.
class CacheDeliveryScope {
 public:
  CacheDeliveryScope();
  ~CacheDeliveryScope();
  CacheDeliveryScope(const CacheDeliveryScope&) = delete;
  CacheDeliveryScope& operator=(const CacheDeliveryScope&) = delete;
};
bool InsideCacheDelivery();

// The Queue Manager server entity (29, 0xFFFFFFFF), and the numbers of the
// cache's requests to it: a queue's load (also its notifications' number)
// and the reload.
const W4Notifier::CEntityId& QueueManagerServerEntity();
inline constexpr int kMonitorQueueEvent = 0;
inline constexpr int kCacheReloadEvent = 2;

}  // namespace QueueManager
