#include "lightweight/LightweightTestSupport.h"

#include <fmt/format.h>

#include "requests/RequestFields.h"

namespace QueueManager::testing {
namespace {

CQmMonitorEvent Event(std::uint32_t id, bool added, bool removed, CQmAttributeMap attributes) {
  CQmMonitorEvent event(Object(id));
  event.added = added;
  event.removed = removed;
  event.attributes = std::move(attributes);
  return event;
}

}  // namespace

CQmMonitorEvent EventAdded(std::uint32_t id, CQmAttributeMap attributes) {
  return Event(id, true, false, std::move(attributes));
}

CQmMonitorEvent EventUpdated(std::uint32_t id, CQmAttributeMap attributes) {
  return Event(id, false, false, std::move(attributes));
}

CQmMonitorEvent EventRemoved(std::uint32_t id) { return Event(id, false, true, {}); }

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

std::vector<std::string> Recorder::Log() const {
  std::lock_guard lock(mutex_);
  return log_;
}

void Recorder::Record(const char* kind, const CEntityId& object, const std::string& rest) {
  {
    std::lock_guard lock(mutex_);
    log_.push_back(fmt::format("{} {}{}", kind, object.QueryObjectId(), rest));
  }
  if (hook) hook();
}

void LightweightTest::SetUp() {
  RequestTest::SetUp();
  release_.set_value();
  released_ = release_.get_future().share();
  server_->Handle(ServerEntity(), 0, [this](const CMessage& request) {
    std::shared_future<void> released;
    {
      std::lock_guard lock(mutex_);
      released = released_;
    }
    released.wait();
    bool adding = true;
    request >> adding;
    return W4Notifier::CScriptedReply::Respond(
        ActivationResponse(requests::ReadEntity(request), initial_));
  });
}

void LightweightTest::HoldAnswers() {
  std::lock_guard lock(mutex_);
  release_ = std::promise<void>();
  released_ = release_.get_future().share();
}

void LightweightTest::Publish(const CEntityId& entity, const CMessage& message) {
  server_->WaitIdle();  // earlier notifications are dropped
  server_->Publish(entity, 0, message);
  server_->WaitIdle();
}

}  // namespace QueueManager::testing
