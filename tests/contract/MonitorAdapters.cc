#include "contract/MonitorAdapters.h"

#include <chrono>
#include <utility>
#include <vector>

#include "QueueManager/Platform/Text.h"
#include "interaction/InteractionTestSupport.h"
#include "lightweight/LightweightTestSupport.h"
#include "lightweight/MonitorEventBody.h"
#include "lightweight/ObjectTypeMonitorBase.h"
#include "monitor/CacheTestSupport.h"
#include "monitor/MediaTypeEntity.h"
#include "monitor/QmCache.h"
#include "requests/RequestFields.h"

namespace QueueManager::contract {
namespace {

using testing::ServerEntity;

constexpr int kActivationEvent = 0;
constexpr std::chrono::seconds kHeldRequestLimit{20};
constexpr ServerSeconds kAnswerAge = 5;

std::uint32_t ItemOf(int slot) { return kItem + static_cast<std::uint32_t>(slot); }

std::string TagOf(const CQmAttributeMap& attributes,
                  const CQmAttributeName& name = CQmAttributeName(Xan_State)) {
  return W4Os::WideToNarrowLossy(attributes.Query(name).QueryString());
}

CQmAttributeMap Tagged(const std::string& tag,
                       const CQmAttributeName& name = CQmAttributeName(Xan_State)) {
  CQmAttributeMap map;
  map.insert(name, tag);
  return map;
}

// Runs a copy of the hook: the monitor that holds it may go while it runs,
// should a stop return too early.
void Call(const Hook& hook, std::uint32_t item, std::string tag = {}) {
  const Hook copy = hook;
  copy(Delivery{item, std::move(tag)});
}

CEntityId QueueOf(int slot) { return testing::UserQueue(1 + static_cast<std::uint32_t>(slot)); }

W4Notifier::ObjectTypes TypeOf(int slot) {
  return slot == 0 ? W4Notifier::eGenericObject : W4Notifier::eGenericObject2;
}

std::uint32_t ConferenceOf(int slot) {
  return ConferenceKind::kConference + 10 * static_cast<std::uint32_t>(slot);
}

CEntityId MatchEntityOf(int slot) {
  return CEntityId(W4Notifier::eAttributeMatch, slot == 0 ? u"Xan_State=A" : u"Xan_State=B");
}

// Answers carry a server time older than the notifications the test
// publishes after scripting them: the answer was built first.
ServerSeconds AnswerTime() { return LocalUtcSeconds() - kAnswerAge; }

// A queue's answer: the item with `tag`, registering Xan_State.
CMessage AgedQueueAnswer(const CEntityId& queue, std::uint32_t item, const std::string& tag) {
  CMessage message;
  testing::WriteServerTime(message, AnswerTime());
  testing::WriteSection(message, queue, {Xan_State},
                        {.events = {testing::Added(item, Tagged(tag))}});
  return message;
}

// A lightweight activation's answer: the item with `attributes`.
CMessage AgedLightAnswer(const CEntityId& entity, std::uint32_t item, CQmAttributeMap attributes) {
  CMessage message;
  testing::WriteServerTime(message, AnswerTime());
  requests::WriteEntity(message, entity);
  requests::WriteNameList(message, {});
  lightweight::WriteMonitorEventBody(message,
                                     {{testing::EventAdded(item, std::move(attributes))}, 0});
  return message;
}

}  // namespace

// ---- ContractServer ----

ContractServer::ContractServer(W4Notifier::CScriptedServer& server,
                               std::shared_ptr<W4Notifier::CInProcessBus> bus)
    : server_(server), bus_(std::move(bus)) {
  server_.Handle(ServerEntity(), kActivationEvent, [this](const CMessage& request) {
    const CEntityId entity = testing::ReadLoadRequest(request).queue;
    std::lock_guard lock(mutex_);
    const auto it = activations_.find({entity.QueryObjectType(), entity.QueryObjectId()});
    if (it == activations_.end()) return W4Notifier::CScriptedReply::Reject();
    return W4Notifier::CScriptedReply::Respond(it->second);
  });
  server_.HandleType(W4Notifier::eInteractionRequest, testing::kMonitorRequestEvent,
                     [this](const CMessage& request) {
                       std::int32_t count = 0;
                       request >> count;
                       std::vector<testing::Record> records;
                       std::lock_guard lock(mutex_);
                       for (std::uint32_t id = 0; count-- > 0;) {
                         request >> id;
                         const auto it = interactions_.find(id);
                         if (it == interactions_.end()) continue;
                         records.push_back({id, it->second.first, false, false, it->second.second});
                       }
                       return W4Notifier::CScriptedReply::Respond(testing::Records(records));
                     });
  bus_->SetRequestHandler(this);
}

ContractServer::~ContractServer() {
  Release();
  bus_->SetRequestHandler(&server_);
}

void ContractServer::Serve(const CEntityId& entity, CMessage answer) {
  std::lock_guard lock(mutex_);
  activations_[{entity.QueryObjectType(), entity.QueryObjectId()}] = std::move(answer);
}

void ContractServer::AnswerInteraction(std::uint32_t id, CQmAttributeMap attributes,
                                       W4Notifier::ObjectTypes type) {
  std::lock_guard lock(mutex_);
  interactions_[id] = {std::move(attributes), type};
}

void ContractServer::HoldNext(const CEntityId& target, int event) {
  std::lock_guard lock(mutex_);
  holdFor_.emplace(target, event);
}

bool ContractServer::AwaitHeld() {
  std::unique_lock lock(mutex_);
  return heldChanged_.wait_for(lock, kHeldRequestLimit, [this] { return held_.has_value(); });
}

void ContractServer::Release() {
  std::optional<W4Notifier::CInboundRequest> request;
  {
    std::lock_guard lock(mutex_);
    holdFor_.reset();
    request.swap(held_);
  }
  if (request) server_.OnRequest(std::move(*request));
}

void ContractServer::Publish(const CEntityId& entity, int event, const CMessage& body) {
  server_.Publish(entity, event, body);
}

void ContractServer::Settle() { bus_->WaitIdle(); }

void ContractServer::OnRequest(W4Notifier::CInboundRequest request) {
  {
    std::lock_guard lock(mutex_);
    const CMessage& message = request.Message();
    if (holdFor_ && !held_ && message.QueryObjectType() == holdFor_->first.QueryObjectType() &&
        message.QueryObjectId() == holdFor_->first.QueryObjectId() &&
        message.QueryEventId() == holdFor_->second) {
      holdFor_.reset();
      held_.emplace(std::move(request));
      heldChanged_.notify_all();
      return;
    }
  }
  server_.OnRequest(std::move(request));
}

// ---- Queue monitors ----

template <class Base>
void QueueHooks<Base>::AttributesUpdated(const CEntityId&, InteractionId id,
                                         const CQmAttributeMap& attributes) {
  Call(hook_, id.QueryObjectId(), TagOf(attributes));
}
template <class Base>
void QueueHooks<Base>::InteractionAdded(const CEntityId&, InteractionId id,
                                        const CQmAttributeMap& attributes) {
  Call(hook_, id.QueryObjectId(), TagOf(attributes));
}
template <class Base>
void QueueHooks<Base>::InteractionRemoved(const CEntityId&, InteractionId id) {
  Call(hook_, id.QueryObjectId());
}
template <class Base>
void QueueHooks<Base>::StatisticsUpdate(const CEntityId&, const CQmQueueStats&) {
  Call(hook_, 0);
}
template <class Base>
void QueueHooks<Base>::QueueRemoved(const CEntityId&) {
  Call(hook_, 0);
}
template class QueueHooks<CQmQueueMonitor>;
template class QueueHooks<CQmMultiQueueMonitor>;

void QueueKind::Script(ContractServer& server, int slot, const std::string& tag) {
  server.Serve(QueueOf(slot), AgedQueueAnswer(QueueOf(slot), ItemOf(slot), tag));
}

void QueueKind::Activate(Monitor& monitor, int slot, bool synchronous) {
  monitor.Activate(QueueOf(slot), {Xan_State}, synchronous);
}

void QueueKind::Trigger(ContractServer& server, int slot, const std::string& tag) {
  server.Publish(QueueOf(slot), testing::kMonitorQueueEvent,
                 testing::Notification({.events = {testing::Updated(ItemOf(slot), Tagged(tag))}}));
}

void QueueKind::HoldActivation(ContractServer& server, int) {
  server.HoldNext(ServerEntity(), kActivationEvent);
}

std::string QueueKind::CachedTag(int slot) {
  CQmAttributeValue value;
  if (!CQmCache::Instance().QueryAttribute(ItemOf(slot), CQmAttributeName(Xan_State), value)) {
    return {};
  }
  return W4Os::WideToNarrowLossy(value.QueryString());
}

void MultiQueueKind::Activate(Monitor& monitor, int slot, bool synchronous) {
  monitor.Activate(QueueOf(slot), {Xan_State}, synchronous);
}

void MultiQueueKind::Stop(Monitor& monitor) {
  for (const int slot : {0, 1}) monitor.Deactivate(QueueOf(slot));
}

// ---- Media type monitors ----

void MediaTypeKind::Monitor::AttributesUpdated(InteractionId id,
                                               const CQmAttributeMap& attributes) {
  Call(hook_, id.QueryObjectId(), TagOf(attributes));
}
void MediaTypeKind::Monitor::InteractionDeallocated(InteractionId id) {
  Call(hook_, id.QueryObjectId());
}

void MediaTypeKind::Script(ContractServer& server, int slot, const std::string& tag) {
  const CEntityId entity = MediaTypeEntity(TypeOf(slot));
  server.Serve(entity, AgedQueueAnswer(entity, ItemOf(slot), tag));
}

void MediaTypeKind::Activate(Monitor& monitor, int slot, bool synchronous) {
  monitor.Activate(TypeOf(slot), {Xan_State}, synchronous);
}

void MediaTypeKind::Trigger(ContractServer& server, int slot, const std::string& tag) {
  server.Publish(MediaTypeEntity(TypeOf(slot)), testing::kMonitorQueueEvent,
                 testing::Notification({.events = {testing::Updated(ItemOf(slot), Tagged(tag))}}));
}

void TsServerKind::Monitor::AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) {
  Call(hook_, id.QueryObjectId(), TagOf(attributes));
}

void TsServerKind::Activate(Monitor& monitor, int slot, bool) {
  monitor.Activate(TypeOf(slot), {Xan_State});
}

// ---- Interaction monitors ----

void InteractionKind::Monitor::AttributesUpdated(const CEntityId& interaction,
                                                 const CQmAttributeMap& attributes) {
  Call(hook_, interaction.QueryObjectId(), contract::TagOf(attributes));
}
void InteractionKind::Monitor::InteractionDeallocated(const CEntityId& interaction) {
  Call(hook_, interaction.QueryObjectId());
}

void InteractionKind::Script(ContractServer& server, int slot, const std::string& tag) {
  server.AnswerInteraction(ItemOf(slot), Tagged(tag));
}

void InteractionKind::Activate(Monitor& monitor, int slot, bool synchronous) {
  monitor.slot = slot;
  monitor.Activate(ItemOf(slot), {Xan_State}, synchronous);
}

void InteractionKind::Trigger(ContractServer& server, int slot, const std::string& tag) {
  server.Publish(testing::InteractionEntity(ItemOf(slot)), testing::kAttributeNotificationEvent,
                 testing::Records({{ItemOf(slot), Tagged(tag)}}));
}

void InteractionKind::Stop(Monitor& monitor) { monitor.Deactivate(ItemOf(monitor.slot)); }

void InteractionKind::HoldActivation(ContractServer& server, int slot) {
  server.HoldNext(testing::InteractionEntity(ItemOf(slot)), testing::kMonitorRequestEvent);
}

std::string InteractionKind::TagOf(const CQmAttributeValue& value) {
  return W4Os::WideToNarrowLossy(value.QueryString());
}

void ConferenceKind::Monitor::AttributesUpdated(InteractionId, const CEntityId& party,
                                                const CQmAttributeMap& attributes) {
  Call(hook_, party.QueryObjectId(), contract::TagOf(attributes));
}
void ConferenceKind::Monitor::ConferencePartyAdded(InteractionId, const CEntityId& party,
                                                   const CQmAttributeMap& attributes) {
  Call(hook_, party.QueryObjectId(), contract::TagOf(attributes));
}
void ConferenceKind::Monitor::ConferencePartyRemoved(InteractionId, const CEntityId& party) {
  Call(hook_, party.QueryObjectId());
}
void ConferenceKind::Monitor::ConferenceDeallocated(InteractionId) { Call(hook_, 0); }

void ConferenceKind::Script(ContractServer& server, int slot, const std::string& tag) {
  CQmAttributeMap conference;
  conference.insert(CQmAttributeName(Xan_ConferenceMembers),
                    CQmAttributeValue(std::vector<InteractionId>{ItemOf(slot)}));
  server.AnswerInteraction(ConferenceOf(slot), conference, W4Notifier::eConferenceInteraction);
  server.AnswerInteraction(ItemOf(slot), Tagged(tag));
}

void ConferenceKind::Activate(Monitor& monitor, int slot, bool synchronous) {
  monitor.Activate(ConferenceOf(slot), {Xan_State}, synchronous);
}

// ---- Lightweight monitors ----

void LightCallback::Run(const CEntityId& object, const CQmAttributeMap* attributes) const {
  Call(hook_, object.QueryObjectId(), attributes != nullptr ? TagOf(*attributes, tagName_) : "");
}

void ObjectTypeKind::Script(ContractServer& server, int slot, const std::string& tag) {
  const CEntityId entity = ObjectTypeEntity(TypeOf(slot));
  server.Serve(entity, AgedLightAnswer(entity, ItemOf(slot), Tagged(tag)));
}

void ObjectTypeKind::Activate(Monitor& monitor, int slot, bool) {
  monitor.handle.activate(TypeOf(slot), monitor.Callback(), {Xan_State}, false);
}

void ObjectTypeKind::Trigger(ContractServer& server, int slot, const std::string& tag) {
  server.Publish(ObjectTypeEntity(TypeOf(slot)), kActivationEvent,
                 testing::EventNotification({testing::EventUpdated(ItemOf(slot), Tagged(tag))}));
}

void ObjectTypeKind::HoldActivation(ContractServer& server, int) {
  server.HoldNext(ServerEntity(), kActivationEvent);
}

void CachingObjectTypeKind::Activate(Monitor& monitor, int slot, bool) {
  monitor.handle.activate(TypeOf(slot), monitor.Callback(), {Xan_State}, false);
}

std::string CachingObjectTypeKind::CachedTag(const CQmCachingObjectTypeMonitor& handle, int slot) {
  CQmAttributeValue value;
  if (!handle.query_attribute(ItemOf(slot), CQmAttributeName(Xan_State), value)) return {};
  return W4Os::WideToNarrowLossy(value.QueryString());
}

void AttributeKind::Script(ContractServer& server, int slot, const std::string& tag) {
  server.Serve(MatchEntityOf(slot), AgedLightAnswer(MatchEntityOf(slot), ItemOf(slot),
                                                    Tagged(tag, CQmAttributeName(Xan_UserName))));
}

void AttributeKind::Activate(Monitor& monitor, int slot, bool) {
  monitor.handle.activate(CQmAttributeName(Xan_State), CQmAttributeValue(slot == 0 ? u"A" : u"B"),
                          monitor.Callback(), {}, false);
}

void AttributeKind::Trigger(ContractServer& server, int slot, const std::string& tag) {
  server.Publish(MatchEntityOf(slot), kActivationEvent,
                 testing::EventNotification({testing::EventUpdated(
                     ItemOf(slot), Tagged(tag, CQmAttributeName(Xan_UserName)))}));
}

}  // namespace QueueManager::contract
