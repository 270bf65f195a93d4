#pragma once

// The implementation behind CQmInteractionMonitor: the notifier's callback
// object, the monitor's tables and its subscriptions.

#include <cstdint>
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
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "monitor/CallbackGate.h"
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
//      thread's callback; never waited for while holding 2 or 3;
//   2. the cache lock (shared with CQmCache): the tables below and the
//      interaction monitor registry;
//   3. the gate's own mutex (a leaf).
// Application callbacks run holding the turn and no lock. A subscription
// stop (which waits for the notifier's delivery to this object) is never
// made while this thread holds the turn: it is left to the end of the
// outermost callback.
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
  // Ends every callback, registry entry and subscription for good; waits for
  // a callback running on another thread. Idempotent; may be called from
  // inside a callback of this monitor.
  void Shutdown() QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());

  // For the registry, under the cache lock: the object type of an
  // interaction that has reported (eObjectTypeNone otherwise), and the value
  // of a monitored name of such an interaction.
  W4Notifier::ObjectTypes ObjectTypeLocked(std::uint32_t id) const
      QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  // `typed`: only for an interaction whose object type is known.
  bool AnswerLocked(std::uint32_t id, const CQmAttributeName& name, CQmAttributeValue& value,
                    bool typed) const QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  // One interaction record of a cache reload (the cache holds its values
  // already). Called without any lock held.
  void ApplyReloadRecord(const InteractionReloadRecord& record)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());

  // Notifier callbacks.
  void OnAsyncResponseSuccess(std::uint32_t requestId, W4Notifier::CMessage& response) override;
  void OnAsyncResponseRejected(std::uint32_t requestId, W4Notifier::CMessage& rejection) override;
  void OnAsyncResponseTimeout(std::uint32_t requestId) override;
  void OnMessageReceived(W4Notifier::CMessage& message) override;
  // Both bases: has the cache reload the watched interactions.
  void OnConnectionRenegotiated() override;

 private:
  // What the monitor knows of one interaction. `generation` tells this entry
  // from a later one for the same id (after Deactivate and Activate).
  // A monitored name with its latest value (empty until one arrived).
  struct Monitored {
    CQmAttributeName name;
    CQmAttributeValue value;
  };
  struct Watched {
    std::uint64_t generation = 0;
    bool reported = false;
    W4Notifier::ObjectTypes type = W4Notifier::eObjectTypeNone;
    // Sorted by name, each name once: one search finds a name and its value.
    std::vector<Monitored> monitored;

    void AddNames(const std::vector<CQmAttributeName>& names);
    Monitored* Find(const CQmAttributeName& name);
    const Monitored* Find(const CQmAttributeName& name) const;
  };

  ~CQmInteractionMonitorGuts() override;

  Watched& EntryLocked(std::uint32_t id) QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  // Processes every record of a response or notification; a deallocation
  // record ends the message; a malformed record drops the rest.
  void ProcessMonitorMessage(W4Notifier::CMessage& message, std::string_view function)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Records the record's object type and monitored values; the generation
  // of the entry, or 0 when the interaction is not watched or the monitor
  // shut down. `changed`: a monitored name came.
  std::uint64_t ApplyRecordLocked(const InteractionReloadRecord& record, bool handToCache,
                                  bool& changed)
      QM_EXCLUSIVE_LOCKS_REQUIRED(CQmCache::Instance().Lock());
  void DeliverUpdate(const InteractionReloadRecord& record, std::uint64_t generation)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void DeliverDeallocation(const W4Notifier::CEntityId& interaction)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Takes the turn for a callback about entry (id, generation); empty when
  // the gate is closed or the entry is gone.
  CallbackGate::Turn EnterFor(std::uint32_t id, std::uint64_t generation)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Gives the turn back; the outermost leave makes the stops left for it.
  void LeaveTurn(CallbackGate::Turn& turn) QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Erases the entry (only the given generation, unless 0) and stops its
  // subscription.
  void Forget(std::uint32_t id, std::uint64_t generation)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  void ReconcileSubscription(const W4Notifier::CEntityId& entity)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());
  // Sends a monitoring request and waits; processes the answer.
  bool SendSynchronously(W4Notifier::CRequestObject&& request)
      QM_LOCKS_EXCLUDED(CQmCache::Instance().Lock());

  CQmCache& cache_;
  const MonitorId id_;
  CQmInteractionMonitor* const owner_;
  CallbackGate gate_;
  std::unordered_map<std::uint32_t, Watched> watched_ QM_GUARDED_BY(CQmCache::Instance().Lock());
  std::uint64_t lastGeneration_ QM_GUARDED_BY(CQmCache::Instance().Lock()) = 0;
  // Keyed by the interaction request entity (30, id).
  SubscriptionBook subscriptions_ QM_GUARDED_BY(CQmCache::Instance().Lock());
  // Stops left to the end of the outermost callback of their thread.
  std::vector<std::pair<std::thread::id, W4Notifier::CEntityId>> deferredStops_
      QM_GUARDED_BY(CQmCache::Instance().Lock());
};

}  // namespace QueueManager
