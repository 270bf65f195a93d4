#include "lightweight/LightweightTestSupport.h"

#include <fmt/format.h>

#include "QueueManager/Platform/Text.h"
#include "monitor/CacheTrace.h"
#include "requests/RequestFields.h"

namespace QueueManager::testing {
namespace {

std::string Id(const CEntityId& object) { return std::to_string(object.QueryObjectId()); }

std::string Text(const CQmAttributeValue& value) {
  return W4Os::WideToNarrowLossy(value.QueryString());
}

}  // namespace

CQmMonitorEvent EventAdded(std::uint32_t id, CQmAttributeMap attributes) {
  CQmMonitorEvent event(Object(id));
  event.added = true;
  event.attributes = std::move(attributes);
  return event;
}

CQmMonitorEvent EventUpdated(std::uint32_t id, CQmAttributeMap attributes) {
  CQmMonitorEvent event(Object(id));
  event.attributes = std::move(attributes);
  return event;
}

CQmMonitorEvent EventRemoved(std::uint32_t id) {
  CQmMonitorEvent event(Object(id));
  event.removed = true;
  return event;
}

CMessage EventNotification(const std::vector<CQmMonitorEvent>& events, std::uint64_t sequence) {
  CMessage message;
  WriteServerTime(message, LocalUtcSeconds());
  lightweight::WriteMonitorEventBody(message, {events, sequence});
  return message;
}

CMessage ActivationResponse(const CEntityId& entity, const std::vector<CQmMonitorEvent>& events) {
  CMessage message;
  WriteServerTime(message, LocalUtcSeconds());
  requests::WriteEntity(message, entity);
  requests::WriteNameList(message, {});
  lightweight::WriteMonitorEventBody(message, {events, 0});
  return message;
}

std::vector<std::string> CallLog::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void CallLog::Record(std::string entry) {
  {
    std::lock_guard lock(mutex_);
    log_.push_back(std::move(entry));
  }
  if (hook) hook();
}

void RecordingTypeCallback::ObjectAdded(const CEntityId& object,
                                        const CQmAttributeMap& attributes) {
  Record(fmt::format("Added {} {}", Id(object), MapText(attributes)));
}

void RecordingTypeCallback::ObjectRemoved(const CEntityId& object) {
  Record("Removed " + Id(object));
}

void RecordingTypeCallback::ObjectUpdated(const CEntityId& object,
                                          const CQmAttributeMap& attributes) {
  Record(fmt::format("Updated {} {}", Id(object), MapText(attributes)));
}

void RecordingLightCallback::ObjectAdded(const CEntityId& object, const CQmAttributeMap& attributes,
                                         std::uint64_t sequence) {
  Record(fmt::format("Added {} {} #{}", Id(object), MapText(attributes), sequence));
}

void RecordingLightCallback::ObjectUpdated(const CEntityId& object,
                                           const CQmAttributeMap& attributes,
                                           std::uint64_t sequence) {
  Record(fmt::format("Updated {} {} #{}", Id(object), MapText(attributes), sequence));
}

void RecordingLightCallback::ObjectRemoved(const CEntityId& object, std::uint64_t sequence) {
  Record(fmt::format("Removed {} #{}", Id(object), sequence));
}

void RecordingAttributeCallback::ObjectAdded(const CEntityId& object, const CQmAttributeName&,
                                             const CQmAttributeValue& value,
                                             const CQmAttributeMap& attributes) {
  Record(fmt::format("Added {} {} {}", Id(object), Text(value), MapText(attributes)));
}

void RecordingAttributeCallback::ObjectRemoved(const CEntityId& object, const CQmAttributeName&,
                                               const CQmAttributeValue& value) {
  Record(fmt::format("Removed {} {}", Id(object), Text(value)));
}

void RecordingAttributeCallback::ObjectUpdated(const CEntityId& object, const CQmAttributeName&,
                                               const CQmAttributeValue& value,
                                               const CQmAttributeMap& attributes) {
  Record(fmt::format("Updated {} {} {}", Id(object), Text(value), MapText(attributes)));
}

void LightweightTest::SetUp() {
  RequestTest::SetUp();
  server_->Handle(ServerEntity(), 0, [this](const CMessage& request) {
    bool adding = true;
    request >> adding;
    return W4Notifier::CScriptedReply::Respond(
        ActivationResponse(requests::ReadEntity(request), initial_));
  });
}

void LightweightTest::Publish(const CEntityId& entity, const CMessage& message) {
  server_->WaitIdle();  // activations answered first: earlier notifications are dropped
  server_->Publish(entity, 0, message);
  server_->WaitIdle();
}

std::vector<CEntityId> LightweightTest::ActivatedEntities() const {
  server_->WaitIdle();
  std::vector<CEntityId> entities;
  for (const CMessage& request : server_->RequestsTo(ServerEntity(), 0)) {
    bool adding = true;
    request >> adding;
    entities.push_back(requests::ReadEntity(request));
  }
  return entities;
}

}  // namespace QueueManager::testing
