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
constexpr std::string_view kUpdate = "RequestAttributeUpdateCallback";
constexpr std::string_view kDeactivate = "QueueManager::CQmInteractionMonitorGuts::Deactivate";
constexpr std::string_view kRenegotiated =
    "QueueManager::CQmInteractionMonitorGuts::OnConnectionRenegotiated";
constexpr std::string_view kResponse =
    "QueueManager::CQmInteractionMonitorGuts::OnAsyncResponseSuccess";
constexpr std::string_view kRejected =
    "QueueManager::CQmInteractionMonitorGuts::OnAsyncResponseRejected";
constexpr std::string_view kTimeout =
    "QueueManager::CQmInteractionMonitorGuts::OnAsyncResponseTimeout";
constexpr std::string_view kMessage = "QueueManager::CQmInteractionMonitorGuts::OnMessageReceived";

// Notifier callbacks of interaction monitors this thread is inside.
thread_local int t_deliveries = 0;
struct DeliveryScope {
  DeliveryScope() { ++t_deliveries; }
  ~DeliveryScope() { --t_deliveries; }
  DeliveryScope(const DeliveryScope&) = delete;
  DeliveryScope& operator=(const DeliveryScope&) = delete;
};

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

std::span<const CQmAttributeName> CQmInteractionMonitorGuts::Watched::Names() const {
  if (names == nullptr) return {};
  return names->first;
}

void CQmInteractionMonitorGuts::Watched::AddNames(const std::vector<CQmAttributeName>& added,
                                                  NameLists& lists) {
  const std::span<const CQmAttributeName> old = Names();
  std::vector<CQmAttributeName> merged(old.begin(), old.end());
  for (const CQmAttributeName& name : added) {
    const auto at = std::lower_bound(merged.begin(), merged.end(), name);
    if (at == merged.end() || name < *at) merged.insert(at, name);
  }
  if (merged.size() == old.size()) return;
  // Built whole before anything changes: the entry stays as it was if an
  // allocation fails.
  auto grown = std::make_unique<CQmAttributeValue[]>(merged.size());
  NameList& list = *lists.try_emplace(std::move(merged), 0).first;
  ++list.second;
  const std::span<const CQmAttributeName> now = list.first;
  for (std::size_t i = 0, j = 0; i < old.size(); ++i, ++j) {
    while (now[j] < old[i]) ++j;
    grown[j] = std::move(values[i]);
  }
  ReleaseNames(lists);
  names = &list;
  values = std::move(grown);
}

void CQmInteractionMonitorGuts::Watched::ReleaseNames(NameLists& lists) {
  if (names == nullptr) return;
  const auto it = lists.find(names->first);
  if (--it->second == 0) lists.erase(it);
  names = nullptr;
  values.reset();
}

const CQmAttributeValue* CQmInteractionMonitorGuts::Watched::Find(
    const CQmAttributeName& name) const {
  const std::span<const CQmAttributeName> all = Names();
  const auto at = std::lower_bound(all.begin(), all.end(), name);
  if (at == all.end() || name < *at) return nullptr;
  return &values[static_cast<std::size_t>(at - all.begin())];
}

CQmAttributeValue* CQmInteractionMonitorGuts::Watched::Find(const CQmAttributeName& name) {
  return const_cast<CQmAttributeValue*>(std::as_const(*this).Find(name));
}

CQmInteractionMonitorGuts::Watched& CQmInteractionMonitorGuts::EntryLocked(std::uint32_t id) {
  Watched& entry = watched_[id];
  if (entry.generation == 0) entry.generation = ++lastGeneration_;
  return entry;
}

bool CQmInteractionMonitorGuts::MayWaitForDelivery() {
  // A delivery thread (lanes are shared between callback objects) cannot
  // wait for a lane, and a thread inside a callback cannot wait for a lane
  // whose delivery may wait for that callback.
  return t_deliveries == 0 && !InsideCacheDelivery() && !CallbackGate::InsideAnyCallback();
}

void CQmInteractionMonitorGuts::Activate(InteractionId id,
                                         const std::vector<CQmAttributeName>& names,
                                         bool synchronous) {
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kActivate, id.QueryObjectId(), "Activate({},{},{})",
                       id.QueryObjectId(), NamesText(names), synchronous);
  if (!id.IsSet()) return;
  if (!W4Notifier::CNotifierHandle::GetDefaultConnection()) return;
  InteractionRegistry& registry = InteractionRegistry::Instance();
  registry.Install();
  const CEntityId entity = requests::InteractionRequestEntity(id);
  W4Notifier::CRequestObject request = MonitorRequest(entity, {id.QueryObjectId()}, names);
  const std::shared_ptr<Outcome> outcome =
      synchronous && MayWaitForDelivery() ? std::make_shared<Outcome>() : nullptr;
  bool reconcile = false;
  bool queued = false;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    if (!gate_.IsOpen()) return;
    Watched& entry = EntryLocked(id.QueryObjectId());
    entry.AddNames(names, nameLists_);
    if (!entry.registered) {
      registry.AddLocked(id.QueryObjectId(), *this);
      entry.registered = true;
    }
    reconcile = subscriptions_.Want(entity, true);
    if (outcome) handOffs_.Open(id_);
    // The answer is followed by notifications only once the subscription is
    // held: while it is being started (or another thread still stops it),
    // the request waits for it.
    if (reconcile || subscriptions_.IsReconciling(entity)) {
      afterSubscription_[entity].push_back(QueuedRequest{request, outcome, "activation"});
      queued = true;
    }
  }
  if (reconcile) ReconcileSubscription(entity);
  if (!queued) Send(request, outcome, "activation");
  if (outcome) AwaitAndTakeOver(*outcome);
}

void CQmInteractionMonitorGuts::Send(W4Notifier::CRequestObject& request,
                                     const std::shared_ptr<Outcome>& outcome,
                                     std::string_view failure) {
  const std::uint32_t id = request.QueryEntityId().QueryObjectId();
  if (const auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection()) {
    // Held across the send, so that the outcome finds the request recorded.
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    std::uint32_t requestId = 0;
    if (connection->SendAsyncRequest(
            request, this, 0, W4Notifier::CNotifierTimeout::Query(), &requestId,
            W4Notifier::CKeepAlive(W4Util::ObjectPtr<CQmInteractionMonitorGuts>(this))) ==
        W4Notifier::eMsgSuccess) {
      if (outcome) outcomes_[requestId] = outcome;
      return;
    }
  }
  // Traced as each operation has always traced its failures.
  const bool update = failure == kUpdate;
  const std::string_view function = update ? kUpdate : kActivate;
  if (!update) {
    QM_TRACE_INTERACTION(W4Trace::kLevelFailure, function, id, "Async {} failed", failure);
  }
  W4Notifier::CResponseObject response;
  if (request.Send(response, W4Notifier::CNotifierTimeout::Query()) != 0) {
    ProcessMonitorMessage(response, kResponse);
  } else {
    if (update) {
      QM_TRACE_INTERACTION(W4Trace::kLevelFailure, function, id, "failed");
    } else {
      QM_TRACE_INTERACTION(W4Trace::kLevelFailure, function, id, "Sync {} failed", failure);
    }
  }
  if (outcome) outcome->done.Set();
}

void CQmInteractionMonitorGuts::Finish(std::uint32_t requestId) {
  std::shared_ptr<Outcome> outcome;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    const auto it = outcomes_.find(requestId);
    if (it == outcomes_.end()) return;
    outcome = std::move(it->second);
    outcomes_.erase(it);
  }
  outcome->done.Set();
}

void CQmInteractionMonitorGuts::AwaitAndTakeOver(Outcome& outcome) {
  // Bounded: every request sent gets one outcome, at the latest its time-out.
  outcome.done.Wait();
  // One turn for all of them, so that another synchronous call's take-over
  // cannot slip between them.
  const CallbackGate::Turn turn = gate_.Enter();
  handOffs_.Drain(id_, [this](const HandedOff& item) {
    if (item.record.deallocated) {
      MakeDeallocation(item.record.interaction, item.generation);
    } else {
      MakeUpdate(item.record, item.generation);
    }
  });
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
    if (it != watched_.end()) {
      if (it->second.registered) InteractionRegistry::Instance().RemoveLocked(id, *this);
      it->second.ReleaseNames(nameLists_);
      watched_.erase(it);
    }
    reconcile = subscriptions_.Want(entity, false);
  }
  if (reconcile) ReconcileSubscription(entity);
}

void CQmInteractionMonitorGuts::ReconcileSubscription(const CEntityId& entity) {
  SubscriptionBook::Reconcile(entity, *this);
}

void CQmInteractionMonitorGuts::WithSubscriptions(
    const std::function<void(SubscriptionBook&)>& step) {
  W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
  step(subscriptions_);
}

std::shared_ptr<W4Notifier::CNotifierConnection> CQmInteractionMonitorGuts::StartSubscription(
    const CEntityId& entity) {
  auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection();
  const bool held =
      connection && connection->StartNotifications(
                        entity, kAttributeNotificationEvent, this, 0, nullptr,
                        W4Notifier::CKeepAlive(W4Util::ObjectPtr<CQmInteractionMonitorGuts>(this)),
                        u"InteractionMonitor") == W4Notifier::eMsgSuccess;
  return held ? connection : nullptr;
}

void CQmInteractionMonitorGuts::StopSubscription(
    const CEntityId& entity, const std::shared_ptr<W4Notifier::CNotifierConnection>& connection) {
  connection->StopNotifications(entity, kAttributeNotificationEvent, this, 0);
}

void CQmInteractionMonitorGuts::ReconcileLater(const CEntityId& entity) {
  CallbackGate::AfterCallbacks([guts = W4Util::ObjectPtr<CQmInteractionMonitorGuts>(this), entity] {
    guts->ReconcileSubscription(entity);
  });
}

void CQmInteractionMonitorGuts::SubscriptionSettled(const CEntityId& entity) {
  std::vector<QueuedRequest> waiting;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    if (subscriptions_.IsReconciling(entity)) return;
    if (const auto it = afterSubscription_.find(entity); it != afterSubscription_.end()) {
      waiting = std::move(it->second);
      afterSubscription_.erase(it);
    }
  }
  for (QueuedRequest& queued : waiting) Send(queued.request, queued.outcome, queued.failure);
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
  W4Notifier::CRequestObject request = MonitorRequest(target, numbers, names);
  std::shared_ptr<Outcome> outcome;
  if (MayWaitForDelivery()) {
    outcome = std::make_shared<Outcome>();
    handOffs_.Open(id_);
  }
  Send(request, outcome, kUpdate);
  if (outcome) AwaitAndTakeOver(*outcome);
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
  const std::span<const CQmAttributeName> monitored = it->second.Names();
  names.assign(monitored.begin(), monitored.end());
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
  value = *it->second.Find(name);
  return true;
}

void CQmInteractionMonitorGuts::Shutdown() {
  // Whichever thread closes the gate clears up; every one waits here.
  if (!gate_.Close()) return;
  std::vector<std::shared_ptr<W4Notifier::CNotifierConnection>> connections;
  std::vector<QueuedRequest> unsent;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    for (const auto& [id, entry] : watched_) {
      if (entry.registered) InteractionRegistry::Instance().RemoveLocked(id, *this);
    }
    connections = subscriptions_.Connections();
    subscriptions_.Clear();
    watched_.clear();
    nameLists_.clear();
    for (auto& [entity, queued] : afterSubscription_) {
      for (QueuedRequest& request : queued) unsent.push_back(std::move(request));
    }
    afterSubscription_.clear();
  }
  for (const QueuedRequest& request : unsent) {
    if (request.outcome) request.outcome->done.Set();
  }
  if (auto current = W4Notifier::CNotifierHandle::GetDefaultHandle().Connection()) {
    connections.push_back(std::move(current));
  }
  CallbackGate::AfterCallbacks(
      [guts = W4Util::ObjectPtr<CQmInteractionMonitorGuts>(this),
       connections = std::move(connections)] { StopAll(*guts, connections); });
}

void CQmInteractionMonitorGuts::StopAll(
    CQmInteractionMonitorGuts& guts,
    const std::vector<std::shared_ptr<W4Notifier::CNotifierConnection>>& on) {
  for (const auto& connection : on) connection->StopAllMessages(&guts);
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
      generation = ApplyRecordLocked(record, changed);
    }
    if (generation != 0 && (changed || record.alwaysNotify)) DeliverUpdate(record, generation);
  }
}

std::uint64_t CQmInteractionMonitorGuts::ApplyRecordLocked(const InteractionReloadRecord& record,
                                                           bool& changed) {
  if (!gate_.IsOpen()) return 0;
  const std::uint32_t id = record.interaction.QueryObjectId();
  // Only an activated interaction has an entry: a record of one deactivated
  // meanwhile (an answer or notification on its way) must not bring it back.
  const auto it = watched_.find(id);
  if (it == watched_.end() || it->second.deallocated) return 0;
  Watched& entry = it->second;
  entry.reported = true;
  entry.type = record.interaction.QueryObjectType();
  cache_.SetAttributes(InteractionId(id), record.attributes);
  for (const auto& [name, value] : record.attributes) {
    CQmAttributeValue* monitored = entry.Find(name);
    if (monitored == nullptr) continue;
    *monitored = value;
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
  if (!current) turn.Release();
  return turn;
}

void CQmInteractionMonitorGuts::DeliverUpdate(const InteractionReloadRecord& record,
                                              std::uint64_t generation) {
  if (handOffs_.Divert(id_, [&] { return HandedOff{record, generation}; })) return;
  MakeUpdate(record, generation);
}

void CQmInteractionMonitorGuts::MakeUpdate(const InteractionReloadRecord& record,
                                           std::uint64_t generation) {
  const CallbackGate::Turn turn = EnterFor(record.interaction.QueryObjectId(), generation);
  if (!turn) return;
  owner_->AttributesUpdated(record.interaction, record.attributes);
}

void CQmInteractionMonitorGuts::DeliverDeallocation(const CEntityId& interaction) {
  std::uint64_t generation = 0;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    const auto it = watched_.find(interaction.QueryObjectId());
    // Not watched (any more): a repeated deallocation record says nothing new.
    if (!gate_.IsOpen() || it == watched_.end() || it->second.deallocated) return;
    it->second.deallocated = true;
    generation = it->second.generation;
  }
  InteractionReloadRecord record;
  record.interaction = interaction;
  record.deallocated = true;
  if (handOffs_.Divert(id_, [&] { return HandedOff{record, generation}; })) return;
  MakeDeallocation(interaction, generation);
}

void CQmInteractionMonitorGuts::MakeDeallocation(const CEntityId& interaction,
                                                 std::uint64_t generation) {
  // The owner may destroy the monitor inside the callback.
  const W4Util::ObjectPtr<CQmInteractionMonitorGuts> self(this);
  const std::uint32_t id = interaction.QueryObjectId();
  if (const CallbackGate::Turn turn = EnterFor(id, generation)) {
    owner_->InteractionDeallocated(interaction);
  }
  Forget(id, generation);
}

// ---- notifier callbacks ----

void CQmInteractionMonitorGuts::OnAsyncResponseSuccess(std::uint32_t requestId,
                                                       CMessage& response) {
  const DeliveryScope scope;
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kResponse, response.QueryEntityId().QueryObjectId(),
                       "Response received");
  ProcessMonitorMessage(response, kResponse);
  Finish(requestId);
}

void CQmInteractionMonitorGuts::OnMessageReceived(CMessage& message) {
  const DeliveryScope scope;
  QM_TRACE_INTERACTION(W4Trace::kLevelDetail, kMessage, message.QueryEntityId().QueryObjectId(),
                       "Message received");
  ProcessMonitorMessage(message, kMessage);
}

void CQmInteractionMonitorGuts::OnConnectionRenegotiated() {
  const DeliveryScope scope;
  // Asked on this lane, the answers land in order with the notifications
  // that follow them; whatever was missed meanwhile is in them.
  std::vector<std::pair<std::uint32_t, std::vector<CQmAttributeName>>> watched;
  {
    W4Os::CCriticalSectionLock lock(&CQmCache::Instance().Lock());
    if (!gate_.IsOpen()) return;
    for (const auto& [id, entry] : watched_) {
      if (entry.deallocated) continue;
      const std::span<const CQmAttributeName> names = entry.Names();
      watched.emplace_back(id, std::vector<CQmAttributeName>(names.begin(), names.end()));
    }
  }
  std::sort(watched.begin(), watched.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelDetail,
           W4Trace::CContext(kRenegotiated, W4Trace::kMessageTypeNormal, {}, "InteractionMonitor"),
           "Asking again for {} interactions", watched.size());
  for (const auto& [id, names] : watched) {
    W4Notifier::CRequestObject request =
        MonitorRequest(requests::InteractionRequestEntity(InteractionId(id)), {id}, names);
    Send(request, nullptr, "refresh");
  }
}

void CQmInteractionMonitorGuts::OnAsyncResponseRejected(std::uint32_t requestId,
                                                        CMessage& rejection) {
  QM_TRACE_INTERACTION(W4Trace::kLevelFailure, kRejected, rejection.QueryEntityId().QueryObjectId(),
                       "Request rejected");
  Finish(requestId);
}

void CQmInteractionMonitorGuts::OnAsyncResponseTimeout(std::uint32_t requestId) {
  // The interaction is not known here: no context attribute.
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure,
           W4Trace::CContext(kTimeout, W4Trace::kMessageTypeNormal, {}, "InteractionMonitor"),
           "Timeout");
  Finish(requestId);
}

void CQmInteractionMonitorGuts::OnAsyncResponseCancelled(std::uint32_t requestId) {
  Finish(requestId);
}

void CQmInteractionMonitorGuts::OnAsyncResponseConnectionLoss(std::uint32_t requestId) {
  Finish(requestId);
}

}  // namespace QueueManager
