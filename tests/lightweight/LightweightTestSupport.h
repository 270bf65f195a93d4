#pragma once

// Shared pieces of the lightweight monitor tests: server messages of an
// object type, application interfaces that record their calls, and a
// fixture whose scripted server answers every activation.

#include <gmock/gmock.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "QueueManager/AttributeMonitor.h"
#include "QueueManager/CachingObjectTypeMonitor.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "lightweight/MonitorEventBody.h"
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

// A thread-safe log of calls; `hook` runs after each entry is recorded.
class CallLog {
 public:
  std::vector<std::string> Log() const;
  std::function<void()> hook;

 protected:
  void Record(std::string entry);

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> log_;
};

// "Added 101 {Xan_State=C}", "Updated 101 {Xan_State=H}", "Removed 101".
class RecordingTypeCallback : public IQmObjectTypeMonitorInterface, public CallLog {
 public:
  void ObjectAdded(const CEntityId& object, const CQmAttributeMap& attributes) override;
  void ObjectRemoved(const CEntityId& object) override;
  void ObjectUpdated(const CEntityId& object, const CQmAttributeMap& attributes) override;
};

// As above with the sequence number: "Added 101 {Xan_State=C} #65543".
class RecordingLightCallback : public IQmLightMonitorInterface, public CallLog {
 public:
  void ObjectAdded(const CEntityId& object, const CQmAttributeMap& attributes,
                   std::uint64_t sequence) override;
  void ObjectUpdated(const CEntityId& object, const CQmAttributeMap& attributes,
                     std::uint64_t sequence) override;
  void ObjectRemoved(const CEntityId& object, std::uint64_t sequence) override;
};

// "Added 101 A {Xan_State=A}", "Updated 101 A {}", "Removed 101 A" (the value).
class RecordingAttributeCallback : public IAttributeMonitor, public CallLog {
 public:
  void ObjectAdded(const CEntityId& object, const CQmAttributeName& name,
                   const CQmAttributeValue& value, const CQmAttributeMap& attributes) override;
  void ObjectRemoved(const CEntityId& object, const CQmAttributeName& name,
                     const CQmAttributeValue& value) override;
  void ObjectUpdated(const CEntityId& object, const CQmAttributeName& name,
                     const CQmAttributeValue& value, const CQmAttributeMap& attributes) override;
};

template <class T>
using Ptr = w4core::InterfacePtr<T>;

// Every activation is answered with `initial_` (for whichever entity it
// names); deliveries are awaited with Publish.
class LightweightTest : public RequestTest {
 protected:
  void SetUp() override;
  // Publishes a notification of `entity` and waits until it was delivered.
  void Publish(const CEntityId& entity, const CMessage& message);
  // The entity of each activation request, in order.
  std::vector<CEntityId> ActivatedEntities() const;

  std::vector<CQmMonitorEvent> initial_;
};

}  // namespace QueueManager::testing
