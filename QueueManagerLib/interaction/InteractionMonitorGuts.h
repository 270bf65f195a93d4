#pragma once

// The implementation behind CQmInteractionMonitor: the notifier's callback
// object, the monitor's tables and its subscriptions.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/InteractionMonitor.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/RefCount.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "monitor/CallbackGate.h"
#include "monitor/HandOffQueue.h"
#include "monitor/InteractionMonitorStore.h"
#include "monitor/MonitorId.h"
#include "monitor/QmCache.h"
#include "monitor/SubscriptionBook.h"

namespace QueueManager {

// Thread-safe; a counted object, held by its public monitor, by the
// interaction monitor registry while it watches an interaction, and by the
// notifier for each subscription and pending request, so that a late
// callback always finds it; after Shutdown() such a callback does nothing.
//
// Locks, outermost first (the only order any code of this unit takes them):
//   1. the callback turn (gate_): not a lock, but a wait for another
//      thread's callback; never waited for while holding 2 to 4;
//   2. the cache lock (shared with CQmCache): the tables below and the
//      interaction monitor registry;
//   3. the hand-off lock (handOffs_, a leaf);
//   4. the gate's own mutex (a leaf).
// Application callbacks run holding the turn and no lock.
//
// Order: every answer and notification reaches this object on its notifier
// lane, in the server's order, and is applied there; a synchronous call
// sends its request to this object too and waits for the outcome, taking
// the callbacks over through handOffs_.
//
// A notifier stop (which waits for the notifier's delivery to this object)
// is never made while the thread is inside any monitor's callback: that
// delivery may be waiting, through turns, for this thread. It is left to the
// end of the thread's outermost callback (CallbackGate::AfterCallbacks).
// The counted base comes first, so that the counted object and the
// implementation share one address.
class CQmInteractionMonitorGuts final : public W4Util::RefCountBase,
                                        public W4Notifier::IAsyncResponseCallback,
                                        public W4Notifier::IMessageCallback {
 public:
  explicit CQmInteractionMonitorGuts(CQmInteractionMonitor& owner);

  MonitorId Id() const { return id_; }

  void Activate(InteractionId id, const std::vector<CQmAttributeName>& names, bool synchronous)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void Deactivate(InteractionId id) QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  bool IsMonitored(InteractionId id) const QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void QueryMonitoredInteractions(std::vector<InteractionId>& ids) const
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void Monitors(InteractionId id, std::vector<CQmAttributeName>& names) const
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  CQmAttributeValue QueryAttribute(InteractionId id, const CQmAttributeName& name) const
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Ends every callback, registry entry and subscription for good; every
  // call waits for a callback running on another thread (see CallbackGate).
  // May be called from inside a callback of this monitor.
  void Shutdown() QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());

  // For the registry, under the cache lock: the object type of an
  // interaction that has reported (eObjectTypeNone otherwise), and the value
  // of a monitored name of such an interaction.
  W4Notifier::ObjectTypes ObjectTypeLocked(std::uint32_t id) const
      QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  // `typed`: only for an interaction whose object type is known.
  bool AnswerLocked(std::uint32_t id, const CQmAttributeName& name, CQmAttributeValue& value,
                    bool typed) const QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());

  // Notifier callbacks.
  void OnAsyncResponseSuccess(std::uint32_t requestId, W4Notifier::CMessage& response) override;
  void OnAsyncResponseRejected(std::uint32_t requestId, W4Notifier::CMessage& rejection) override;
  void OnAsyncResponseTimeout(std::uint32_t requestId) override;
  void OnAsyncResponseCancelled(std::uint32_t requestId) override;
  void OnAsyncResponseConnectionLoss(std::uint32_t requestId) override;
  void OnMessageReceived(W4Notifier::CMessage& message) override;
  // Both bases: asks for the watched interactions again, on this lane.
  void OnConnectionRenegotiated() override;

 private:
  // The sorted monitored names of interactions, each list held once per
  // monitor and shared by every interaction that monitors those names (an
  // application watches its interactions for the same few names): an entry
  // then costs a pointer and its values rather than copies of the names.
  // The mapped count is the list's users; a list goes with its last user.
  using NameLists = std::map<std::vector<CQmAttributeName>, std::size_t>;
  using NameList = NameLists::value_type;
  // What the monitor knows of one interaction. `generation` tells this entry
  // from a later one for the same id (after Deactivate and Activate): a
  // callback held back for the earlier one must not reach the later one.
  struct Watched {
    std::uint64_t generation = 0;
    bool reported = false;
    // A deallocation record came; its callback may still be on its way.
    bool deallocated = false;
    // In the interaction monitor registry.
    bool registered = false;
    W4Notifier::ObjectTypes type = W4Notifier::eObjectTypeNone;
    // Sorted, each name once; null while there is none. values[i] is the
    // latest value of names->first[i], empty until one arrived.
    const NameList* names = nullptr;
    std::unique_ptr<CQmAttributeValue[]> values;

    std::span<const CQmAttributeName> Names() const;
    void AddNames(const std::vector<CQmAttributeName>& added, NameLists& lists);
    // Gives the entry's list back; the entry is left without names.
    void ReleaseNames(NameLists& lists);
    CQmAttributeValue* Find(const CQmAttributeName& name);
    const CQmAttributeValue* Find(const CQmAttributeName& name) const;
  };
  // The outcome of a request that a synchronous call waits for.
  struct Outcome {
    W4Os::CEvent done{true};
  };
  // A request that waits for its entity's subscription to be held.
  struct QueuedRequest {
    W4Notifier::CRequestObject request;
    std::shared_ptr<Outcome> outcome;
    std::string_view failure;  // what failed, for the trace
  };
  // A callback held back for the thread of a synchronous call.
  struct HandedOff {
    InteractionReloadRecord record;
    std::uint64_t generation = 0;
  };
  ~CQmInteractionMonitorGuts() override;

  Watched& EntryLocked(std::uint32_t id) QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  // True when this thread may wait for an answer on a notifier lane.
  static bool MayWaitForDelivery();
  // Sends to this object; the outcome (if any) is told once the answer was
  // applied. The last resort, without a connection or when the send fails,
  // is a synchronous request answered on this thread.
  void Send(W4Notifier::CRequestObject& request, const std::shared_ptr<Outcome>& outcome,
            std::string_view failure) QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void Finish(std::uint32_t requestId) QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Waits for the outcome, then makes the callbacks held back meanwhile.
  void AwaitAndTakeOver(Outcome& outcome) QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Processes every record of a response or notification; a deallocation
  // record ends the message; a malformed record drops the rest.
  void ProcessMonitorMessage(W4Notifier::CMessage& message, std::string_view function)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Records the record's object type and monitored values; the generation
  // of the entry, or 0 when the interaction is not watched or the monitor
  // shut down. `changed`: a monitored name came.
  std::uint64_t ApplyRecordLocked(const InteractionReloadRecord& record, bool& changed)
      QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  // Hands the callback over or makes it.
  void DeliverUpdate(const InteractionReloadRecord& record, std::uint64_t generation)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void DeliverDeallocation(const W4Notifier::CEntityId& interaction)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void MakeUpdate(const InteractionReloadRecord& record, std::uint64_t generation)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void MakeDeallocation(const W4Notifier::CEntityId& interaction, std::uint64_t generation)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // The turn for a callback about entry (id, generation); empty when the
  // gate is closed or the entry is gone.
  CallbackGate::Turn EnterFor(std::uint32_t id, std::uint64_t generation)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Erases the entry (only the given generation, unless 0) and stops its
  // subscription.
  void Forget(std::uint32_t id, std::uint64_t generation)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Brings the entity's subscription to what is wanted, then sends the
  // requests that waited for it.
  void ReconcileSubscription(const W4Notifier::CEntityId& entity)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // The reconcile loop's side of the monitor (see SubscriptionBook::Reconcile).
  friend class SubscriptionBook;
  void WithSubscriptions(const std::function<void(SubscriptionBook&)>& step)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  std::shared_ptr<W4Notifier::CNotifierConnection> StartSubscription(
      const W4Notifier::CEntityId& entity) QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void StopSubscription(const W4Notifier::CEntityId& entity,
                        const std::shared_ptr<W4Notifier::CNotifierConnection>& connection)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void ReconcileLater(const W4Notifier::CEntityId& entity);
  void SubscriptionSettled(const W4Notifier::CEntityId& entity)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  static void StopAll(CQmInteractionMonitorGuts& guts,
                      const std::vector<std::shared_ptr<W4Notifier::CNotifierConnection>>& on);

  CQmCache& cache_;
  const MonitorId id_;
  CQmInteractionMonitor* const owner_;
  CallbackGate gate_;
  HandOffQueue<MonitorId, HandedOff> handOffs_;
  std::unordered_map<std::uint32_t, Watched> watched_ QM_GUARDED_BY(CQmCache::Instance().Lock());
  NameLists nameLists_ QM_GUARDED_BY(CQmCache::Instance().Lock());
  std::uint64_t lastGeneration_ QM_GUARDED_BY(CQmCache::Instance().Lock()) = 0;
  // Keyed by the interaction request entity (30, id).
  SubscriptionBook subscriptions_ QM_GUARDED_BY(CQmCache::Instance().Lock());
  std::unordered_map<W4Notifier::CEntityId, std::vector<QueuedRequest>> afterSubscription_
      QM_GUARDED_BY(CQmCache::Instance().Lock());
  // Requests in flight whose outcome a synchronous call waits for.
  std::unordered_map<std::uint32_t, std::shared_ptr<Outcome>> outcomes_
      QM_GUARDED_BY(CQmCache::Instance().Lock());
};

}  // namespace QueueManager
