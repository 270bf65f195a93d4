#pragma once

// Shared pieces of the lightweight monitor tests: server messages of an
// object type, an application interface that records its calls, and a
// fixture whose scripted server answers every activation.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <cstdint>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "QueueManager/AttributeMonitor.h"
#include "QueueManager/CachingObjectTypeMonitor.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/Text.h"
#include "lightweight/MonitorEventBody.h"
#include "monitor/CacheTrace.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {

// The monitored object type and its objects.
inline constexpr W4Notifier::ObjectTypes kType = W4Notifier::eGenericObject;
inline CEntityId Object(std::uint32_t id) { return CEntityId(kType, id); }

CQmMonitorEvent EventAdded(std::uint32_t id, CQmAttributeMap attributes = {});
CQmMonitorEvent EventUpdated(std::uint32_t id, CQmAttributeMap attributes);
CQmMonitorEvent EventRemoved(std::uint32_t id);

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
                 public IAttributeMonitor {
 public:
  std::vector<std::string> Log() const;
  std::function<void()> hook;

  void ObjectAdded(const CEntityId& object, const CQmAttributeMap& attributes) override {
    Record("Added", object, " " + MapText(attributes));
  }
  void ObjectRemoved(const CEntityId& object) override { Record("Removed", object, ""); }
  void ObjectUpdated(const CEntityId& object, const CQmAttributeMap& attributes) override {
    Record("Updated", object, " " + MapText(attributes));
  }
  void ObjectAdded(const CEntityId& object, const CQmAttributeMap& attributes,
                   std::uint64_t sequence) override {
    Record("Added", object, fmt::format(" {} #{}", MapText(attributes), sequence));
  }
  void ObjectUpdated(const CEntityId& object, const CQmAttributeMap& attributes,
                     std::uint64_t sequence) override {
    Record("Updated", object, fmt::format(" {} #{}", MapText(attributes), sequence));
  }
  void ObjectRemoved(const CEntityId& object, std::uint64_t sequence) override {
    Record("Removed", object, fmt::format(" #{}", sequence));
  }
  void ObjectAdded(const CEntityId& object, const CQmAttributeName&, const CQmAttributeValue& value,
                   const CQmAttributeMap& attributes) override {
    Record("Added", object, fmt::format(" {} {}", Text(value), MapText(attributes)));
  }
  void ObjectRemoved(const CEntityId& object, const CQmAttributeName&,
                     const CQmAttributeValue& value) override {
    Record("Removed", object, " " + Text(value));
  }
  void ObjectUpdated(const CEntityId& object, const CQmAttributeName&,
                     const CQmAttributeValue& value, const CQmAttributeMap& attributes) override {
    Record("Updated", object, fmt::format(" {} {}", Text(value), MapText(attributes)));
  }

 private:
  static std::string Text(const CQmAttributeValue& value) {
    return W4Os::WideToNarrowLossy(value.QueryString());
  }
  void Record(const char* kind, const CEntityId& object, const std::string& rest);
  mutable std::mutex mutex_;
  std::vector<std::string> log_;
};

inline w4core::InterfacePtr<Recorder> NewRecorder() { return w4core::MakeInterface<Recorder>(); }

// Every activation is answered with `initial_` (for whichever entity it
// names), once HoldAnswers() has been undone by ReleaseAnswers().
class LightweightTest : public RequestTest {
 protected:
  void SetUp() override;
  void HoldAnswers();
  void ReleaseAnswers() { release_.set_value(); }
  // Publishes a notification of `entity` once the activations so far are
  // answered, and waits until it was delivered.
  void Publish(const CEntityId& entity, const CMessage& message);

  std::vector<CQmMonitorEvent> initial_;

 private:
  std::mutex mutex_;
  std::promise<void> release_;
  std::shared_future<void> released_;  // guarded by mutex_
};

}  // namespace QueueManager::testing
