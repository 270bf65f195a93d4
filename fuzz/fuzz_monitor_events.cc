// libFuzzer target: the monitor event bodies of the lightweight monitors.
// The decoder must read any input without crashing, leaking or allocating
// beyond the input, and what it decodes must encode and decode again to the
// same events. Fed to the monitors themselves, a malformed message must be
// dropped, and what the caching monitor passes on must be what it cached.
//
// Input: one byte that selects the path, then the raw bytes of a message
// body: 0 a bare event body; 1 a notification to a caching monitor; 2 an
// activation response to an attribute monitor that follows values; 3 a
// notification of interaction update records to an interaction monitor,
// which must keep what it reports and forget what is deallocated.

#include <cstddef>
#include <cstdint>
#include <map>
#include <span>

#include "AttributeCodecInput.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "RoundTripChecks.h"
#include "interaction/InteractionMonitorGuts.h"
#include "lightweight/AttributeMonitorImpl.h"
#include "lightweight/CachingMonitorImpl.h"
#include "lightweight/MonitorEventBody.h"
#include "lightweight/ObjectTypeMonitorBase.h"
#include "lightweight/SequenceNumbers.h"
#include "platform/notifier/NullConnection.h"

namespace QueueManager::fuzzing {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

bool Same(const lightweight::MonitorEventBody& a, const lightweight::MonitorEventBody& b) {
  return a.events == b.events && a.sequence == b.sequence;
}

lightweight::MonitorEventBody RoundTrip(const lightweight::MonitorEventBody& body) {
  CMessage message;
  lightweight::WriteMonitorEventBody(message, body);
  return lightweight::ReadMonitorEventBody(message);
}

void DecodeBody(const CMessage& message) {
  lightweight::MonitorEventBody body;
  try {
    body = lightweight::ReadMonitorEventBody(message);
  } catch (const W4Notifier::CException&) {
    return;
  }
  // Values cut at U+0000 on the way out settle after one round.
  const lightweight::MonitorEventBody once = RoundTrip(body);
  Require(Same(once, RoundTrip(once)), "event bodies do not survive a round trip");
}

// Checks that every attribute passed on is the one cached.
class CacheChecker : public IQmLightMonitorInterface {
 public:
  CQmCachingMonitorImpl* cache = nullptr;

  void ObjectAdded(const CEntityId& object, const CQmAttributeMap& attributes,
                   std::uint64_t) override {
    Check(object, attributes);
  }
  void ObjectUpdated(const CEntityId& object, const CQmAttributeMap& attributes,
                     std::uint64_t) override {
    Check(object, attributes);
  }
  void ObjectRemoved(const CEntityId& object, std::uint64_t) override {
    CQmAttributeMap cached;
    std::map<CQmAttributeName, std::uint64_t> pending;
    Require(!cache->QueryEntry(object.QueryObjectId(), cached, pending), "removed but cached");
  }

 private:
  void Check(const CEntityId& object, const CQmAttributeMap& attributes) {
    Require(!attributes.empty(), "an event passed on with nothing accepted");
    CQmAttributeMap cached;
    std::map<CQmAttributeName, std::uint64_t> pending;
    Require(cache->QueryEntry(object.QueryObjectId(), cached, pending), "passed on, not cached");
    for (const auto& [name, value] : attributes) {
      // A later event of the same message may have changed it already only
      // after this call; here it must be what was passed.
      Require(cached.Query(name).QueryString() == value.QueryString(), "cache differs");
    }
  }
};

void NotifyCachingMonitor(CMessage& message) {
  const auto checker = w4core::MakeInterface<CacheChecker>();
  const auto cache = w4core::MakeInterface<CQmCachingMonitorImpl>();
  checker->cache = cache.get();
  // No default connection: activated, subscribed nowhere, waiting for its
  // answer, which is given here.
  cache->activate(ObjectTypeEntity(W4Notifier::eGenericObject), checker, {Xan_State}, false,
                  lightweight::ActivationGate::OpenOwn(), 7);
  CMessage answer;
  answer << std::uint32_t{0} << std::uint32_t{0} << std::int32_t{125} << std::int32_t{1}
         << std::int32_t{0} << false;
  cache->OnAsyncResponseSuccess(1, answer);
  // Two writes of interaction 7 leave numbers of this process pending (sent
  // nowhere), for the input's numbers to be compared with.
  CQmAttributeMap written;
  written.insert(Xan_State, u"w");
  cache->MoveAndSet(7, {}, written, {});
  written.insert(CQmAttributeName(u"x"), u"w");
  cache->MoveAndSet(7, {}, written, {});
  cache->OnMessageReceived(message);
  cache->deactivate();
}

// Reports nothing; the adaptation of each event is what is exercised.
class NullAttributeMonitor : public IAttributeMonitor {
 public:
  void ObjectAdded(const CEntityId&, const CQmAttributeName&, const CQmAttributeValue&,
                   const CQmAttributeMap&) override {}
  void ObjectRemoved(const CEntityId&, const CQmAttributeName&, const CQmAttributeValue&) override {
  }
  void ObjectUpdated(const CEntityId&, const CQmAttributeName&, const CQmAttributeValue&,
                     const CQmAttributeMap&) override {}
};

void AnswerAttributeMonitor(CMessage& message) {
  const auto monitor = w4core::MakeInterface<AttributeMonitorImpl>();
  monitor->Activate(lightweight::ActivationGate::OpenOwn(), Xan_State, CQmAttributeValue(),
                    w4core::MakeInterface<NullAttributeMonitor>(), {Xan_State}, false);
  monitor->Light()->OnAsyncResponseSuccess(1, message);
  monitor->Deactivate();
}

// Checks that each reported value of the watched interaction is the one
// kept.
class RecordChecker : public CQmInteractionMonitor {
 public:
  CQmInteractionMonitorGuts* guts = nullptr;
  bool deallocated = false;

 protected:
  void AttributesUpdated(const CEntityId& interaction, const CQmAttributeMap& attributes) override {
    const auto it = attributes.find(Xan_State);
    if (interaction.QueryObjectId() != 7 || it == attributes.end()) return;
    Require(guts->QueryAttribute(7, Xan_State) == it->second, "reported value not kept");
  }
  void InteractionDeallocated(const CEntityId& interaction) override {
    deallocated = deallocated || interaction.QueryObjectId() == 7;
  }
};

void NotifyInteractionMonitor(CMessage& message) {
  static const auto connection = std::make_shared<W4Notifier::NullConnection>();
  W4Notifier::SetDefaultConnection(connection);
  RecordChecker owner;
  const auto guts = W4Util::MakeObject<CQmInteractionMonitorGuts>(owner);
  owner.guts = guts.get();
  guts->Activate(7, {Xan_State}, false);
  guts->OnMessageReceived(message);
  Require(!owner.deallocated || !guts->IsMonitored(7), "deallocated, still monitored");
  guts->Shutdown();
  W4Notifier::SetDefaultConnection(nullptr);
}

}  // namespace
}  // namespace QueueManager::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace QueueManager::fuzzing;
  static const bool numbered = [] {
    // The process's numbers take the handle of its first connection (1 on a
    // fresh bus); the monitors then run without a connection.
    const auto bus = W4Notifier::CInProcessBus::Create();
    W4Notifier::SetDefaultConnection(bus->Connect());
    QueueManager::lightweight::SequenceNumberGenerator::Instance().Next();
    W4Notifier::SetDefaultConnection(nullptr);
    return true;
  }();
  if (size == 0 || !numbered) return 0;
  W4Notifier::CMessage message = MessageWithBody(std::span<const std::uint8_t>(data + 1, size - 1));
  switch (data[0] % 4) {
    case 0:
      DecodeBody(message);
      break;
    case 1:
      NotifyCachingMonitor(message);
      break;
    case 2:
      AnswerAttributeMonitor(message);
      break;
    default:
      NotifyInteractionMonitor(message);
      break;
  }
  return 0;
}
