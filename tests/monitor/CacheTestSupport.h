#pragma once

// Shared pieces of the monitor cache tests: messages as the server writes
// them, a monitor that records its callbacks, and a fixture with a scripted
// server that leaves the process-wide cache empty after each test.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/QueueMonitor.h"
#include "QueueManager/QueueStats.h"
#include "QueueManager/TsServerMonitor.h"
#include "monitor/CacheTrace.h"
#include "monitor/ClockSkew.h"
#include "monitor/QmCache.h"
#include "platform/notifier/NotifierFixture.h"
#include "support/Waits.h"

namespace QueueManager::testing {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::CScriptedReply;

inline constexpr int kMonitorQueueEvent = 0;
inline constexpr int kCacheReloadEvent = 2;

const CEntityId& ServerEntity();
// A user queue (object type 9) with the given id.
CEntityId UserQueue(std::uint32_t id);
CEntityId AllUserQueues();
CQmAttributeMap Attributes(std::initializer_list<std::pair<eAttributeName, const char*>> values);
CQmQueueStats Stats(std::uint32_t first);

// One interaction event of a queue body.
struct EventFields {
  std::uint32_t id = 0;
  bool added = false;
  bool removed = false;
  CQmAttributeMap attributes = {};
  W4Notifier::ObjectTypes type = W4Notifier::eGenericObject;
};
EventFields Added(std::uint32_t id, CQmAttributeMap attributes = {});
EventFields Removed(std::uint32_t id);
EventFields Updated(std::uint32_t id, CQmAttributeMap attributes);

// A queue body as the server writes it.
struct QueueBody {
  bool exists = true;
  std::optional<CQmQueueStats> stats = std::nullopt;
  std::vector<EventFields> events = {};
  // The optional trailer: sequence number and second statistics record.
  bool trailer = false;
  std::optional<CQmQueueStats2> stats2 = std::nullopt;
  std::uint64_t sequence = 42;
};

// The server time header for a time given in seconds since 1601.
void WriteServerTime(CMessage& message, ServerSeconds seconds);
void WriteBody(CMessage& message, const QueueBody& body);
void WriteSection(CMessage& message, const CEntityId& queue,
                  const std::vector<CQmAttributeName>& names, const QueueBody& body);
// The fields at the head of a monitor queue request: the adding flag and the
// queue.
struct LoadRequest {
  bool adding = false;
  CEntityId queue;
};
LoadRequest ReadLoadRequest(const CMessage& request);
// A monitor queue response with one section.
CMessage MonitorResponse(const CEntityId& queue, const std::vector<CQmAttributeName>& names,
                         const QueueBody& body);
// A queue notification body (time header and queue body).
CMessage Notification(const QueueBody& body);

// Logs the callbacks of a media type or TS server monitor (Base) as "<id>
// <attributes>" and "<id> Deallocated" in `log`, which outlives a monitor
// that its hook destroys; then runs a copy of `hook`, which may destroy the
// monitor. Thread-safe. Deactivates itself in its destructor.
template <class Base>
class MediaLog : public Base {
 public:
  using Base::Base;
  ~MediaLog() override { this->Deactivate(); }
  const std::shared_ptr<WaitableLog> log = std::make_shared<WaitableLog>();
  std::function<void(std::uint32_t id)> hook;

 protected:
  void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) override {
    Record(id, MapText(attributes));
  }
  void Record(InteractionId id, const std::string& what) {
    log->Add(fmt::format("{} {}", id.QueryObjectId(), what));
    if (const auto run = hook) run(id.QueryObjectId());
  }
};
using RecordingTsMonitor = MediaLog<CQmTsServerMonitor>;
class RecordingMediaMonitor : public MediaLog<CQmMediaTypeMonitor> {
 public:
  // Stopped before its own override of the callbacks goes.
  ~RecordingMediaMonitor() override { Deactivate(); }

 protected:
  void InteractionDeallocated(InteractionId id) override { Record(id, "Deallocated"); }
};

// A monitor's callbacks as text entries, each from an entity; `hook` runs a
// copy of itself after each entry (it may destroy the monitor). Thread-safe.
class EntryLog {
 public:
  // With `withEntities`, each entry is prefixed with its entity's object id
  // ("q5 Added 101 {}").
  std::vector<std::string> Log(bool withEntities = false) const;
  void ClearLog();
  std::function<void(const std::string& entry)> hook;

 protected:
  void Add(const std::string& entry, const CEntityId& entity = CEntityId());

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<std::uint32_t, std::string>> log_;
};

// Records its callbacks as text, e.g. "Added 101 {Xan_State=C}", "Updated 101
// {Xan_State=H}", "Removed 101", "Stats 7", "QueueRemoved", each from its
// queue. Deactivates itself in its destructor.
class RecordingMonitor : public CQmQueueMonitor, public EntryLog {
 public:
  ~RecordingMonitor() override { Deactivate(); }

 protected:
  void AttributesUpdated(const CEntityId& queue, InteractionId id,
                         const CQmAttributeMap& attributes) override;
  void InteractionAdded(const CEntityId& queue, InteractionId id,
                        const CQmAttributeMap& attributes) override;
  void InteractionRemoved(const CEntityId& queue, InteractionId id) override;
  void StatisticsUpdate(const CEntityId& queue, const CQmQueueStats& stats) override;
  void QueueRemoved(const CEntityId& queue) override;
};

// The process-wide cache under test.
inline CQmCache& Cache() { return CQmCache::Instance(); }

// A scripted server whose monitor queue responses are set per queue, and a
// cache that is empty before and after each test.
class MonitorCacheTest : public W4Notifier::testing::NotifierFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The answer to monitor queue requests for `queue` (names registered by
  // the response: `names`).
  void ServeQueue(const CEntityId& queue, QueueBody body, std::vector<CQmAttributeName> names = {});
  // Monitor queue requests for `queue` are rejected from now on.
  void RejectQueue(const CEntityId& queue);
  // Publishes a notification of `queue` and waits until it was applied.
  void Publish(const CEntityId& queue, const QueueBody& body);
  void PublishRaw(const CEntityId& queue, const CMessage& message);
  // Waits, as long as deliveries are still running, until `monitor` has
  // logged `entries` callbacks (loads answered on the delivery thread).
  void AwaitLog(const RecordingMonitor& monitor, std::size_t entries);
  // The fields of every request of `event` to the server, in order.
  std::vector<std::string> MonitorRequests(int event = kMonitorQueueEvent) const;

 private:
  std::mutex mutex_;
  std::map<CEntityId, CMessage> responses_;
};

}  // namespace QueueManager::testing
