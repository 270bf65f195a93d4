#include "interaction/InteractionMonitorGuts.h"

#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <thread>
#include <utility>

#include "QueueManager/AttributeRequests.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "interaction/InteractionRegistry.h"
#include "interaction/InteractionTrace.h"
#include "monitor/CacheTrace.h"
#include "monitor/MessageReaders.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

// Event 8 asks for attribute values; event 7 carries their changes.
constexpr int kMonitorRequestEvent = 8;
constexpr int kAttributeNotificationEvent = 7;

constexpr std::string_view kActivate = "QueueManager::CQmInteractionMonitorGuts::Activate";
constexpr std::string_view kDeactivate = "QueueManager::CQmInteractionMonitorGuts::Deactivate";
constexpr std::string_view kReload = "QueueManager::CQmInteractionMonitorGuts::ReloadCache";
constexpr std::string_view kResponse =
    "QueueManager::CQmInteractionMonitorGuts::OnAsyncResponseSuccess";
constexpr std::string_view kRejected =
    "QueueManager::CQmInteractionMonitorGuts::OnAsyncResponseRejected";
constexpr std::string_view kTimeout =
    "QueueManager::CQmInteractionMonitorGuts::OnAsyncResponseTimeout";
constexpr std::string_view kMessage = "QueueManager::CQmInteractionMonitorGuts::OnMessageReceived";

W4Notifier::CRequestObject MonitorRequest(const CEntityId& target,
                                          const std::vector<std::uint32_t>& ids,
                                          const std::vector<CQmAttributeName>& names) {
  W4Notifier::CRequestObject request(target, kMonitorRequestEvent);
  request << static_cast<std::int32_t>(ids.size());
  for (const std::uint32_t id : ids) request << id;
  requests::WriteNameList(request, names);
  return request;
}

}  // namespace

CQmInteractionMonitorGuts::CQmInteractionMonitorGuts(CQmInteractionMonitor& owner)
    : cache_(CQmCache::Instance()), id_(NewMonitorId()), owner_(&owner) {
  gate_.Open();
}

CQmInteractionMonitorGuts::~CQmInteractionMonitorGuts() = default;

void CQmInteractionMonitorGuts::Watched::AddNames(const std::vector<CQmAttributeName>& names) {
  for (const CQmAttributeName& name : names) {
    const auto at = std::lower_bound(
        monitored.begin(), monitored.end(), name,
        [](const Monitored& entry, const CQmAttributeName& key) { return entry.name < key; });
    if (at == monitored.end() || name < at->name) monitored.insert(at, Monitored{name, {}});
  }
}

const CQmInteractionMonitorGuts::Monitored* CQmInteractionMonitorGuts::Watched::Find(
    const CQmAttributeName& name) const {
  const auto at = std::lower_bound(
      monitored.begin(), monitored.end(), name,
      [](const Monitored& entry, const CQmAttributeName& key) { return entry.name < key; });
  return at != monitored.end() && !(name < at->name) ? &*at : nullptr;
}

CQmInteractionMonitorGuts::Monitored* CQmInteractionMonitorGuts::Watched::Find(
    const CQmAttributeName& name) {
  return const_cast<Monitored*>(std::as_const(*this).Find(name));
}

CQmInteractionMonitorGuts::Watched& CQmInteractionMonitorGuts::EntryLocked(std::uint32_t id) {
  Watched& entry = watched_[id];
  if (entry.generation == 0) entry.generation = ++lastGeneration_;
  return entry;
}

void CQmInteractionMonitorGuts::Activate(InteractionId id,
                                         const std::vector<CQmAttributeName>& names,
                                         bool synchronous) {
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kActivate, id.QueryObjectId(), "Activate({},{},{})",
                       id.QueryObjectId(), NamesText(names), synchronous);
  if (!id.IsSet()) return;
  const auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection();
  if (!connection) return;
  InteractionRegistry& registry = InteractionRegistry::Instance();
  registry.Install();
  const CEntityId entity = requests::InteractionRequestEntity(id);
  bool reconcile = false;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    if (!gate_.IsOpen()) return;
    EntryLocked(id.QueryObjectId()).AddNames(names);
    registry.AddLocked(id.QueryObjectId(), *this);
    reconcile = subscriptions_.Want(entity, true);
  }
  if (reconcile) ReconcileSubscription(entity);
  W4Notifier::CRequestObject request = MonitorRequest(entity, {id.QueryObjectId()}, names);
  if (!synchronous) {
    const W4Notifier::eMsgCode sent = connection->SendAsyncRequest(
        request, this, 0, W4Notifier::CNotifierTimeout::Query(), nullptr,
        W4Notifier::CKeepAlive(W4Util::ObjectPtr<CQmInteractionMonitorGuts>(this)));
    if (sent == W4Notifier::eMsgSuccess) return;
    QM_TRACE_INTERACTION(W4Trace::kLevelFailure, kActivate, id.QueryObjectId(),
                         "Async activation failed");
  }
  if (!SendSynchronously(std::move(request))) {
    QM_TRACE_INTERACTION(W4Trace::kLevelFailure, kActivate, id.QueryObjectId(),
                         "Sync activation failed");
  }
}

bool CQmInteractionMonitorGuts::SendSynchronously(W4Notifier::CRequestObject&& request) {
  W4Notifier::CResponseObject response;
  if (request.Send(response, W4Notifier::CNotifierTimeout::Query()) == 0) return false;
  ProcessMonitorMessage(response, kResponse);
  return true;
}

void CQmInteractionMonitorGuts::Deactivate(InteractionId id) {
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kDeactivate, id.QueryObjectId(),
                       "Deactivate monitor");
  Forget(id.QueryObjectId(), 0);
  // A callback about `id` that another thread is making ends before this
  // returns; later ones find the entry gone.
  gate_.Quiesce();
}

void CQmInteractionMonitorGuts::Forget(std::uint32_t id, std::uint64_t generation) {
  const CEntityId entity = requests::InteractionRequestEntity(InteractionId(id));
  bool reconcile = false;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    const auto it = watched_.find(id);
    if (generation != 0 && (it == watched_.end() || it->second.generation != generation)) return;
    if (it != watched_.end()) watched_.erase(it);
    InteractionRegistry::Instance().RemoveLocked(id, id_);
    reconcile = subscriptions_.Want(entity, false);
  }
  if (reconcile) ReconcileSubscription(entity);
}

void CQmInteractionMonitorGuts::ReconcileSubscription(const CEntityId& entity) {
  while (true) {
    std::optional<bool> start;
    std::shared_ptr<W4Notifier::CNotifierConnection> connection;
    {
      W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
      start = subscriptions_.NextStep(entity);
      if (!start) return;
      if (!*start && gate_.HeldHere()) {
        // The stop waits for the notifier's delivery to this object, which
        // may be waiting for this thread's turn: it is made when the turn
        // ends. This thread stays the entity's reconciler meanwhile.
        deferredStops_.emplace_back(std::this_thread::get_id(), entity);
        return;
      }
      if (!*start) connection = subscriptions_.HeldOn(entity);
    }
    bool held = false;
    if (*start) {
      connection = W4Notifier::CNotifierHandle::GetDefaultConnection();
      held = connection &&
             connection->StartNotifications(
                 entity, kAttributeNotificationEvent, this, 0, nullptr,
                 W4Notifier::CKeepAlive(W4Util::ObjectPtr<CQmInteractionMonitorGuts>(this)),
                 u"InteractionMonitor") == W4Notifier::eMsgSuccess;
    } else if (connection) {
      connection->StopNotifications(entity, kAttributeNotificationEvent, this, 0);
    }
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    subscriptions_.Completed(entity, *start, held, connection);
  }
}

void CQmInteractionMonitorGuts::RequestAttributeUpdateCallback(
    const std::vector<CQmAttributeName>& names) {
  std::vector<InteractionId> ids;
  QueryMonitoredInteractions(ids);
  if (ids.empty()) return;
  // Addressed by the first interaction's object type.
  const CEntityId target(W4Notifier::eInteractionRequest,
                         static_cast<std::uint32_t>(ids.front().QueryObjectType()), 0);
  std::vector<std::uint32_t> numbers;
  numbers.reserve(ids.size());
  for (const InteractionId id : ids) numbers.push_back(id.QueryObjectId());
  if (!SendSynchronously(MonitorRequest(target, numbers, names))) {
    QM_TRACE_INTERACTION(W4Trace::kLevelFailure, "RequestAttributeUpdateCallback",
                         ids.front().QueryObjectId(), "failed");
  }
}

bool CQmInteractionMonitorGuts::IsMonitored(InteractionId id) const {
  W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
  const auto it = watched_.find(id.QueryObjectId());
  return it != watched_.end() && it->second.reported;
}

void CQmInteractionMonitorGuts::QueryMonitoredInteractions(std::vector<InteractionId>& ids) const {
  ids.clear();
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    for (const auto& [id, entry] : watched_) {
      if (entry.reported) ids.emplace_back(id);
    }
  }
  std::sort(ids.begin(), ids.end());
}

void CQmInteractionMonitorGuts::Monitors(InteractionId id,
                                         std::vector<CQmAttributeName>& names) const {
  names.clear();
  W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
  const auto it = watched_.find(id.QueryObjectId());
  if (it == watched_.end()) return;
  for (const Monitored& monitored : it->second.monitored) names.push_back(monitored.name);
}

CQmAttributeValue CQmInteractionMonitorGuts::QueryAttribute(InteractionId id,
                                                            const CQmAttributeName& name) const {
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    CQmAttributeValue value;
    if (AnswerLocked(id.QueryObjectId(), name, value, false)) return value;
  }
  return QueueManager::QueryAttribute(id, name);
}

W4Notifier::ObjectTypes CQmInteractionMonitorGuts::ObjectTypeLocked(std::uint32_t id) const {
  const auto it = watched_.find(id);
  return it != watched_.end() && it->second.reported ? it->second.type
                                                     : W4Notifier::eObjectTypeNone;
}

bool CQmInteractionMonitorGuts::AnswerLocked(std::uint32_t id, const CQmAttributeName& name,
                                             CQmAttributeValue& value, bool typed) const {
  const auto it = watched_.find(id);
  if (it == watched_.end() || !it->second.reported ||
      (typed && it->second.type == W4Notifier::eObjectTypeNone) ||
      it->second.Find(name) == nullptr) {
    return false;
  }
  value = it->second.Find(name)->value;
  return true;
}

void CQmInteractionMonitorGuts::Shutdown() {
  const bool first = gate_.IsOpen();
  gate_.Close();
  if (!first) return;
  std::vector<std::shared_ptr<W4Notifier::CNotifierConnection>> connections;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    InteractionRegistry::Instance().RemoveAllLocked(id_);
    connections = subscriptions_.Connections();
    subscriptions_.Clear();
    deferredStops_.clear();
    watched_.clear();
  }
  if (auto current = W4Notifier::CNotifierHandle::GetDefaultHandle().Connection()) {
    connections.push_back(std::move(current));
  }
  for (const auto& connection : connections) connection->StopAllMessages(this);
}

// ---- records ----

void CQmInteractionMonitorGuts::ProcessMonitorMessage(CMessage& message,
                                                      std::string_view function) {
  // The owner may destroy the monitor inside a callback.
  const W4Util::ObjectPtr<CQmInteractionMonitorGuts> self(this);
  while (!message.IsAtEndOfData()) {
    InteractionReloadRecord record;
    try {
      record = ReadInteractionRecord(message);
    } catch (const std::exception& error) {
      QM_TRACE_INTERACTION(W4Trace::kLevelFailure, function,
                           message.QueryEntityId().QueryObjectId(),
                           "Malformed record, rest of message dropped: {}", error.what());
      return;
    }
    const std::uint32_t id = record.interaction.QueryObjectId();
    QM_TRACE_INTERACTION(W4Trace::kLevelDetail, function, id, "Record {} notify={} dealloc={} {}",
                         ScopedName(record.interaction), record.alwaysNotify, record.deallocated,
                         MapText(record.attributes));
    if (record.deallocated) {
      DeliverDeallocation(record.interaction);
      return;
    }
    bool changed = false;
    std::uint64_t generation = 0;
    {
      W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
      generation = ApplyRecordLocked(record, true, changed);
    }
    if (generation != 0 && (changed || record.alwaysNotify)) DeliverUpdate(record, generation);
  }
}

std::uint64_t CQmInteractionMonitorGuts::ApplyRecordLocked(const InteractionReloadRecord& record,
                                                           bool handToCache, bool& changed) {
  if (!gate_.IsOpen()) return 0;
  const std::uint32_t id = record.interaction.QueryObjectId();
  // Only an activated interaction has an entry: a record of one deactivated
  // meanwhile (an answer or notification on its way) must not bring it back.
  const auto it = watched_.find(id);
  if (it == watched_.end()) return 0;
  Watched& entry = it->second;
  entry.reported = true;
  entry.type = record.interaction.QueryObjectType();
  if (handToCache) cache_.SetAttributes(InteractionId(id), record.attributes);
  for (const auto& [name, value] : record.attributes) {
    Monitored* monitored = entry.Find(name);
    if (monitored == nullptr) continue;
    monitored->value = value;
    changed = true;
  }
  return entry.generation;
}

CallbackGate::Turn CQmInteractionMonitorGuts::EnterFor(std::uint32_t id, std::uint64_t generation) {
  CallbackGate::Turn turn = gate_.Enter();
  if (!turn) return turn;
  bool current = false;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    const auto it = watched_.find(id);
    current = it != watched_.end() && it->second.generation == generation;
  }
  if (!current) LeaveTurn(turn);
  return turn;
}

void CQmInteractionMonitorGuts::LeaveTurn(CallbackGate::Turn& turn) {
  turn.Release();
  if (gate_.HeldHere()) return;
  std::vector<CEntityId> stops;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    const std::thread::id self = std::this_thread::get_id();
    for (auto it = deferredStops_.begin(); it != deferredStops_.end();) {
      if (it->first != self) {
        ++it;
        continue;
      }
      stops.push_back(it->second);
      it = deferredStops_.erase(it);
    }
  }
  for (const CEntityId& entity : stops) ReconcileSubscription(entity);
}

void CQmInteractionMonitorGuts::DeliverUpdate(const InteractionReloadRecord& record,
                                              std::uint64_t generation) {
  CallbackGate::Turn turn = EnterFor(record.interaction.QueryObjectId(), generation);
  if (!turn) return;
  struct Leave {
    CQmInteractionMonitorGuts* guts;
    CallbackGate::Turn& turn;
    ~Leave() { guts->LeaveTurn(turn); }
  } leave{this, turn};
  owner_->AttributesUpdated(record.interaction, record.attributes);
}

void CQmInteractionMonitorGuts::DeliverDeallocation(const CEntityId& interaction) {
  const W4Util::ObjectPtr<CQmInteractionMonitorGuts> self(this);
  const std::uint32_t id = interaction.QueryObjectId();
  std::uint64_t generation = 0;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    const auto it = watched_.find(id);
    // Not watched (any more): a repeated deallocation record says nothing new.
    if (!gate_.IsOpen() || it == watched_.end()) return;
    generation = it->second.generation;
  }
  if (CallbackGate::Turn turn = EnterFor(id, generation)) {
    struct Leave {
      CQmInteractionMonitorGuts* guts;
      CallbackGate::Turn& turn;
      ~Leave() { guts->LeaveTurn(turn); }
    } leave{this, turn};
    owner_->InteractionDeallocated(interaction);
  }
  if (gate_.IsOpen()) Forget(id, generation);
}

void CQmInteractionMonitorGuts::ApplyReloadRecord(const InteractionReloadRecord& record) {
  const std::uint32_t id = record.interaction.QueryObjectId();
  if (record.deallocated) {
    QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kReload, id, "Interaction deallocated for {}", id);
    DeliverDeallocation(record.interaction);
    return;
  }
  bool changed = false;
  std::uint64_t generation = 0;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    generation = ApplyRecordLocked(record, false, changed);
  }
  if (generation == 0) return;
  if (!changed) {
    QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kReload, id, "No attribute changes for {}", id);
    return;
  }
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kReload, id, "AttributesUpdated for {}", id);
  DeliverUpdate(record, generation);
}

// ---- notifier callbacks ----

void CQmInteractionMonitorGuts::OnAsyncResponseSuccess(std::uint32_t /*requestId*/,
                                                       CMessage& response) {
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kResponse, response.QueryEntityId().QueryObjectId(),
                       "Response received");
  ProcessMonitorMessage(response, kResponse);
}

void CQmInteractionMonitorGuts::OnMessageReceived(CMessage& message) {
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kMessage, message.QueryEntityId().QueryObjectId(),
                       "Message received");
  ProcessMonitorMessage(message, kMessage);
}

void CQmInteractionMonitorGuts::OnConnectionRenegotiated() {
  if (gate_.IsOpen()) cache_.ReloadForInteractionMonitors();
}

void CQmInteractionMonitorGuts::OnAsyncResponseRejected(std::uint32_t /*requestId*/,
                                                        CMessage& rejection) {
  QM_TRACE_INTERACTION(W4Trace::kLevelFailure, kRejected, rejection.QueryEntityId().QueryObjectId(),
                       "Request rejected");
}

void CQmInteractionMonitorGuts::OnAsyncResponseTimeout(std::uint32_t /*requestId*/) {
  // The interaction is not known here: no context attribute.
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure,
           W4Trace::CContext(kTimeout, W4Trace::kMessageTypeNormal, {}, "InteractionMonitor"),
           "Timeout");
}

}  // namespace QueueManager
