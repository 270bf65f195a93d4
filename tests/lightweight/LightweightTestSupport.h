#pragma once

// Shared pieces of the lightweight monitor tests: server messages of an
// object type, an application interface that records its calls, and a
// fixture whose scripted server answers every activation.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "QueueManager/AttributeMonitor.h"
#include "QueueManager/CachingObjectTypeMonitor.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/Text.h"
#include "lightweight/MonitorEventBody.h"
#include "monitor/CacheTrace.h"
#include "requests/RequestTestSupport.h"
#include "support/Waits.h"

namespace QueueManager::testing {

// The monitored object type and its objects.
inline constexpr W4Notifier::ObjectTypes kType = W4Notifier::eGenericObject;
inline CEntityId Object(std::uint32_t id) { return CEntityId(kType, id); }

CQmMonitorEvent Event(std::uint32_t id, bool added, bool removed, CQmAttributeMap attributes = {});
inline CQmMonitorEvent EventAdded(std::uint32_t id, CQmAttributeMap attributes = {}) {
  return Event(id, true, false, std::move(attributes));
}
inline CQmMonitorEvent EventUpdated(std::uint32_t id, CQmAttributeMap attributes) {
  return Event(id, false, false, std::move(attributes));
}
inline CQmMonitorEvent EventRemoved(std::uint32_t id) { return Event(id, false, true); }

// A notification: server time, then the body.
CMessage EventNotification(const std::vector<CQmMonitorEvent>& events, std::uint64_t sequence = 0);
// An activation response for `entity`: server time, entity, no names, body.
CMessage ActivationResponse(const CEntityId& entity, const std::vector<CQmMonitorEvent>& events);

// Records the calls of any of the three interfaces as text: "Added 101
// {Xan_State=C}", "Updated 101 {...}", "Removed 101", with " #<sequence>"
// from the light interface and the value after the id from the attribute
// interface ("Added 101 A {...}"). Thread-safe; `hook` runs after each call
// is recorded.
class Recorder : public IQmObjectTypeMonitorInterface,
                 public IQmLightMonitorInterface,
                 public IAttributeMonitor,
                 public WaitableLog {
  using Id = CEntityId;
  using Map = CQmAttributeMap;
  using Value = CQmAttributeValue;
  using Name = CQmAttributeName;
  using Number = std::uint64_t;

 public:
  std::vector<std::string> Log() { return Lines(); }
  std::function<void()> hook;

  void ObjectAdded(const Id& o, const Map& a) override { Record("Added", o, &a); }
  void ObjectRemoved(const Id& o) override { Record("Removed", o); }
  void ObjectUpdated(const Id& o, const Map& a) override { Record("Updated", o, &a); }
  void ObjectAdded(const Id& o, const Map& a, Number n) override { Record("Added", o, &a, n); }
  void ObjectUpdated(const Id& o, const Map& a, Number n) override { Record("Updated", o, &a, n); }
  void ObjectRemoved(const Id& o, Number n) override { Record("Removed", o, nullptr, n); }
  void ObjectAdded(const Id& o, const Name&, const Value& v, const Map& a) override {
    Record("Added", o, &a, {}, &v);
  }
  void ObjectRemoved(const Id& o, const Name&, const Value& v) override {
    Record("Removed", o, nullptr, {}, &v);
  }
  void ObjectUpdated(const Id& o, const Name&, const Value& v, const Map& a) override {
    Record("Updated", o, &a, {}, &v);
  }

 private:
  void Record(const char* kind, const Id& object, const Map* attributes = nullptr,
              std::optional<Number> sequence = {}, const Value* value = nullptr);
};

inline w4core::InterfacePtr<Recorder> NewRecorder() { return w4core::MakeInterface<Recorder>(); }

// Every activation is answered with `initial_`, for whichever entity it
// names.
class LightweightTest : public RequestTest {
 protected:
  void SetUp() override;
  // Publishes a notification of `entity` once the activations so far are
  // answered, and waits until it was delivered.
  void Publish(const CEntityId& entity, const CMessage& message);

  std::vector<CQmMonitorEvent> initial_;
};

}  // namespace QueueManager::testing
