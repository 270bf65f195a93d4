#pragma once

// The emulated server's state: queues, interactions and what each client
// asked for, with the queue events that every change produces. Not
// thread-safe: the emulator guards one instance with its state lock.

#include <cstdint>
#include <map>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Alerting.h"
#include "QueueManager/AttributeMap.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/DateTime.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Simulation.h"
#include "StayBook.h"

namespace QueueManager::Emulator {

using W4Notifier::CEntityId;
using W4Notifier::ObjectTypes;

// One interaction event of a queue body.
struct ServerQueueEvent {
  CEntityId interaction;
  bool added = false;
  bool removed = false;
  CQmAttributeMap attributes;
};

// What one change did to one queue: published as one notification.
struct QueueChange {
  CEntityId queue;
  bool removed = false;
  std::vector<ServerQueueEvent> events;
  // A view's notification carries the sequence number of the client write
  // it echoes (0 for none) where a queue's carries its own count.
  std::uint64_t writeSequence = 0;
};

// One record of an interaction's own notification: the watched attributes
// that changed, or its deallocation.
struct ServerInteractionRecord {
  CEntityId interaction;  // its own object type and id
  bool deallocated = false;
  CQmAttributeMap attributes;
};

// The queue changes of one operation, in the order the queues were touched,
// and the interaction records, in the order they were made. Not thread-safe;
// owned by the operation that fills it.
class Changes {
 public:
  QueueChange& For(const CEntityId& queue);
  const std::vector<QueueChange>& All() const { return changes_; }
  void Record(ServerInteractionRecord record) { records_.push_back(std::move(record)); }
  const std::vector<ServerInteractionRecord>& Records() const { return records_; }
  // Other notifications, sent after the records.
  void Notify(W4Notifier::CMessage message) { notifications_.push_back(std::move(message)); }
  const std::vector<W4Notifier::CMessage>& Notifications() const { return notifications_; }
  // The request's reply is held under `ticket` until an outcome names it.
  void Hold(std::uint64_t ticket) { held_ = ticket; }
  std::optional<std::uint64_t> Held() const { return held_; }
  void Conclude(AlertOutcome outcome) { outcomes_.push_back(outcome); }
  const std::vector<AlertOutcome>& Outcomes() const { return outcomes_; }

 private:
  std::vector<QueueChange> changes_;
  std::vector<ServerInteractionRecord> records_;
  std::vector<W4Notifier::CMessage> notifications_;
  std::optional<std::uint64_t> held_;
  std::vector<AlertOutcome> outcomes_;
};

// The server's state of one queue.
struct ServerQueue {
  std::vector<std::uint32_t> members;  // in the order they joined
  // The live counts of the members by media type, kept as they join, leave
  // and change state, so that a notification costs nothing per member.
  std::map<ObjectTypes, QueueCounts> counts;
  std::uint64_t sequence = 0;        // of the last notification published
  std::uint32_t countToday = 0;      // interactions that joined it
  std::uint32_t abandonedToday = 0;  // left it while still alerting
  StayBook stays;                    // of the members, and of those that left
};

// A view is an entity that behaves like a queue towards its monitors but
// whose members the server derives from the interactions themselves: the
// media type entity (object type 125, named by the notifier's name of an
// interaction object type) holds every interaction of that type; the
// attribute match entity (object type 80, named "<attribute>=<value>") every
// interaction whose attribute has that value, or for an empty value every one
// that has the attribute with any value. Both are recognised by their object
// ids alone, the hashes of those names. A view exists from its first
// activation or reload on and is never removed.
bool IsViewType(ObjectTypes type);
inline bool IsView(const CEntityId& entity) {
  return entity.IsSet() && IsViewType(entity.QueryObjectType()) &&
         entity.QueryObjectId() != W4Notifier::kAllObjects;
}

// How the server's clock stands to the real one, in its time headers.
struct ServerClock {
  std::int64_t offsetSeconds = 0;  // added to the real time
  bool invalid = false;            // headers carry a time before 1601 (no time)
  // The drift: seconds gained per real second since `driftSince`, on top of
  // the `drifted` seconds gained before.
  double driftPerSecond = 0;
  double drifted = 0;
  Clock::time_point driftSince = W4Os::SteadyNow();
  // The seconds the drift has added by `now`.
  double DriftAt(Clock::time_point now) const {
    return drifted + driftPerSecond * std::chrono::duration<double>(now - driftSince).count();
  }
};

struct ClientRecord {
  std::vector<CQmAttributeName> deactivationNames;
  std::vector<CQmAttributeName> statServerNames;
  bool twoRecordStatistics = false;
};

// The statistics state class of an Xan_State value.
enum class eStateClass : std::uint8_t {
  kAlerting,
  kConnected,
  kDisconnected,
  kHeld,
  kMessaging,
  kSystem
};
eStateClass ClassifyState(const CQmAttributeValue& state);
// Adds each of the six counts of `from` to `to`.
void AddCounts(QueueCounts& to, const QueueCounts& from);

// Queues, interactions and clients. Not thread-safe (the emulator's state
// lock guards it); owns everything it holds.
class ServerState {
 public:
  // ---- queues ----
  const ServerQueue* FindQueue(const CEntityId& queue) const;
  ServerQueue* FindQueue(const CEntityId& queue);
  // In order of creation.
  std::vector<CEntityId> QueuesOfType(ObjectTypes type) const;
  // Calls `visit` with the record of each queue of `type`, in order of
  // creation, without gathering them first.
  template <class Visit>
  void ForEachQueueOfType(ObjectTypes type, Visit visit) const {
    for (const CEntityId& queue : queueOrder_) {
      if (queue.QueryObjectType() != type) continue;
      if (const ServerQueue* record = FindQueue(queue)) visit(*record);
    }
  }
  bool CreateQueue(const CEntityId& queue, Changes& changes);
  // Takes every interaction off it first; false when it did not exist.
  bool RemoveQueue(const CEntityId& queue, Changes& changes);
  QueueCounts Counts(const CEntityId& queue) const;
  std::map<ObjectTypes, QueueCounts> CountsByType(const CEntityId& queue) const;

  // ---- interactions ----
  const InteractionState* FindInteraction(std::uint32_t id) const;
  // REQUIRES: id is not in use and not 0 or 0xFFFFFFFF.
  // It is on no queue yet; the views it belongs to report it added.
  void AddInteraction(std::uint32_t id, ObjectTypes type, const CQmAttributeMap& attributes,
                      Changes& changes);
  // The next free id, counting up from the last one handed out.
  std::uint32_t NextFreeId();
  // NextFreeId counts up from `id` next. REQUIRES: id is neither 0 nor 0xFFFFFFFF.
  void SetNextId(std::uint32_t id) { lastId_ = id - 1; }
  // Hands out `count` consecutive ids above every id handed out or in use;
  // the first of them, or nullopt when they would not fit below 0xFFFFFFFF.
  std::optional<std::uint32_t> ReserveIds(std::uint32_t count);
  // Stores `attributes`; the queues that hold it report the monitored ones
  // that changed, and its own notification the watched ones that changed.
  // False when there is no interaction `id`.
  bool SetAttributes(std::uint32_t id, const CQmAttributeMap& attributes, Changes& changes);
  // Both do nothing for a pair that is already (or not) in place.
  void Join(std::uint32_t id, const CEntityId& queue, Changes& changes);
  void Leave(std::uint32_t id, const CEntityId& queue, Changes& changes);
  // Takes it off its queues and out of every conference member list, then
  // records its deallocation: the last record published for it.
  void RemoveInteraction(std::uint32_t id, Changes& changes);
  std::vector<std::uint32_t> InteractionsOfType(ObjectTypes type) const;
  // Keeps `notification` with the interaction (the last
  // InteractionState::kForwardedKept); false when it does not exist.
  bool Forward(std::uint32_t id, const W4Notifier::CMessage& notification);
  // The names that any client asked to have reported on deactivation.
  std::vector<CQmAttributeName> DeactivationNames() const;

  // ---- views (Views.cc) ----
  // The queue or view of `entity`, for what both answer alike (contents,
  // statistics, sequence numbers).
  const ServerQueue* FindRecord(const CEntityId& entity) const;
  ServerQueue* FindRecord(const CEntityId& entity);
  // Makes `view` known with the interactions that belong to it now; nothing
  // to publish (its activation answers the contents).
  // REQUIRES: IsView(view).
  void OpenView(const CEntityId& view);
  // Brings every view up to date with interaction `id` after `changed` was
  // stored (all its attributes for a new one): it joins, leaves or reports
  // the monitored names that changed.
  void UpdateViews(std::uint32_t id, const CQmAttributeMap& changed, Changes& changes);
  // Echoes a client's sequenced write of `written` to `id` once on `view`,
  // tagged with `sequence`, when the interaction belongs to it.
  void EchoWrite(std::uint32_t id, const CEntityId& view, std::uint64_t sequence,
                 const CQmAttributeMap& written, Changes& changes);

  // ---- stays (Stays.cc) ----
  // The server's clock in whole seconds (the real time moved by its offset,
  // also while its headers carry no time), at `at` or now.
  std::int64_t NowSeconds(W4Os::CW4DateTime at) const;
  std::int64_t NowSeconds() const;
  // The time statistics of `entity` (a queue, a view or the all-queues
  // entity of a type, which sums its type's queues and keeps their longest)
  // at `now`, in the seconds of NowSeconds.
  StayTotals Stays(const CEntityId& entity, std::int64_t now) const;

  // ---- monitoring ----
  // Adds names to those reported for queues of `type`; returns all of them.
  const std::vector<CQmAttributeName>& RegisterNames(ObjectTypes type,
                                                     const std::vector<CQmAttributeName>& names);
  const std::vector<CQmAttributeName>& MonitoredNames(ObjectTypes type) const;
  // The monitored attributes of `id` for queues of `type`.
  CQmAttributeMap MonitoredAttributes(std::uint32_t id, ObjectTypes type) const;

  // Adds `names` to those of `id` that `client` watches (one activation).
  // The interaction's notification reports a change of a name that any
  // client watches: notifications go to every subscriber alike.
  void Watch(std::uint16_t client, std::uint32_t id, const std::vector<CQmAttributeName>& names);
  std::vector<CQmAttributeName> WatchedNames(std::uint16_t client, std::uint32_t id) const;

  // The sequence number of the last notification of `queue` (a single queue
  // or the all-queues entity of a type), and the one the next one carries.
  std::uint64_t Sequence(const CEntityId& queue) const;
  std::uint64_t NextSequence(const CEntityId& queue);

  // Every queue lists exactly the interactions that list it, each once, and
  // its counts and stays are those of its members.
  bool IsConsistent() const;

  // ---- alerting (see Alerting.h) ----
  std::map<std::uint32_t, Alerting>& Alertings() { return alertings_; }
  const std::map<std::uint32_t, Alerting>& Alertings() const { return alertings_; }
  std::uint64_t NextTicket() { return ++lastTicket_; }

  ServerClock& Clock() { return clock_; }
  const ServerClock& Clock() const { return clock_; }

  ClientRecord& Client(std::uint16_t handle) { return clients_[handle]; }
  const ClientRecord* FindClient(std::uint16_t handle) const;

 private:
  InteractionState* Find(std::uint32_t id);
  // The record's counts, counted afresh from its members.
  std::map<ObjectTypes, QueueCounts> RecountByType(const ServerQueue& record) const;
  // Only the names monitored for queues of `type`.
  CQmAttributeMap Monitored(const CQmAttributeMap& attributes, ObjectTypes type) const;
  CQmAttributeMap Monitored(CQmAttributeMap&& attributes, ObjectTypes type) const;
  bool AllMonitored(const CQmAttributeMap& attributes, ObjectTypes type) const;
  CQmAttributeMap MonitoredPart(const CQmAttributeMap& attributes, ObjectTypes type) const;
  // Only the names that some client watches on `id`.
  CQmAttributeMap Watched(std::uint32_t id, const CQmAttributeMap& attributes) const;
  // Takes `id` out of the member list of every interaction that lists it.
  void LeaveConferences(std::uint32_t id, Changes& changes);

  // A member's stay begins or ends on `record`, and with it its share of
  // the record's counts.
  void BeginStay(ServerQueue& record, const InteractionState& interaction);
  void EndStay(ServerQueue& record, std::uint32_t id);
  void CountMember(ServerQueue& record, const InteractionState& interaction);
  void UncountMember(ServerQueue& record, const InteractionState& interaction);
  // Moves the interaction's share of the counts of every record it is on
  // from the state class `before` to `after`.
  void Recount(const InteractionState& interaction, eStateClass before, eStateClass after);
  // Every member has one stay, which knows whether it is disconnected, and
  // the record's sums are those of its stays.
  bool HasItsMembersStays(const ServerQueue& record) const;
  // Every stay of `id` has now seen it connected.
  void MarkConnected(std::uint32_t id);
  // Whether interaction `interaction` belongs to `view`.
  static bool BelongsTo(const InteractionState& interaction, const CEntityId& view);
  void LeaveViews(std::uint32_t id, Changes& changes);

  std::vector<CEntityId> queueOrder_;
  std::unordered_map<CEntityId, ServerQueue> queues_;
  std::map<CEntityId, ServerQueue> views_;
  // Looked up on every change; where their order matters, their ids are sorted.
  std::unordered_map<std::uint32_t, InteractionState> interactions_;
  std::map<ObjectTypes, std::vector<CQmAttributeName>> monitoredNames_;
  std::map<std::uint16_t, ClientRecord> clients_;
  // Interaction id, then client, then the names it watches there.
  std::map<std::uint32_t, std::map<std::uint16_t, std::vector<CQmAttributeName>>> watched_;
  std::map<ObjectTypes, std::uint64_t> allQueuesSequence_;
  std::uint32_t lastId_ = 0;
  std::map<std::uint32_t, Alerting> alertings_;  // by interaction
  std::uint64_t lastTicket_ = 0;
  ServerClock clock_;
};

}  // namespace QueueManager::Emulator
