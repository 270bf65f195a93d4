#include "lightweight/LightweightTestSupport.h"

#include <fmt/format.h>

#include "requests/RequestFields.h"

namespace QueueManager::testing {

CQmMonitorEvent Event(std::uint32_t id, bool added, bool removed, CQmAttributeMap attributes) {
  CQmMonitorEvent event(Object(id));
  event.added = added;
  event.removed = removed;
  event.attributes = std::move(attributes);
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

void Recorder::Record(const char* kind, const Id& object, const Map* attributes,
                      std::optional<Number> sequence, const Value* value) {
  std::string line = fmt::format("{} {}", kind, object.QueryObjectId());
  if (value != nullptr) line += " " + W4Os::WideToNarrowLossy(value->QueryString());
  if (attributes != nullptr) line += " " + MapText(*attributes);
  if (sequence) line += fmt::format(" #{}", *sequence);
  Add(std::move(line));
  if (hook) hook();
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
  server_->WaitIdle();  // earlier notifications are dropped
  server_->Publish(entity, 0, message);
  server_->WaitIdle();
}

}  // namespace QueueManager::testing
