#include "CacheTestSupport.h"

#include <fmt/format.h>

#include "monitor/CacheTrace.h"
#include "monitor/MessageReaders.h"
#include "monitor/QmCache.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager::testing {

const CEntityId& ServerEntity() { return QueueManagerServerEntity(); }

CEntityId UserQueue(std::uint32_t id) { return CEntityId(W4Notifier::eUserQueue, id); }

CEntityId AllUserQueues() { return CEntityId(W4Notifier::eUserQueue, W4Notifier::kAllObjects); }

CQmAttributeMap Attributes(std::initializer_list<std::pair<eAttributeName, const char*>> values) {
  CQmAttributeMap map;
  for (const auto& [name, value] : values) map.insert(CQmAttributeName(name), value);
  return map;
}

CQmQueueStats Stats(std::uint32_t first) {
  CQmQueueStats::Counters counters{};
  for (std::size_t i = 0; i < counters.size(); ++i) {
    counters[i] = first + static_cast<std::uint32_t>(i);
  }
  return CQmQueueStats(counters);
}

EventFields Added(std::uint32_t id, CQmAttributeMap attributes) {
  return EventFields{id, true, false, std::move(attributes)};
}

EventFields Removed(std::uint32_t id) { return EventFields{id, false, true, {}}; }

EventFields Updated(std::uint32_t id, CQmAttributeMap attributes) {
  return EventFields{id, false, false, std::move(attributes)};
}

void WriteServerTime(CMessage& message, ServerSeconds seconds) {
  const auto count = static_cast<std::uint64_t>(seconds) * 10000000u;
  message << static_cast<std::uint32_t>(count >> 32) << static_cast<std::uint32_t>(count);
}

void WriteBody(CMessage& message, const QueueBody& body) {
  message << body.exists;
  if (!body.exists) return;
  message << body.stats.has_value();
  if (body.stats) message << *body.stats;
  message << static_cast<std::uint32_t>(body.events.size());
  for (const EventFields& event : body.events) {
    message << static_cast<std::int32_t>(event.type) << static_cast<std::int32_t>(event.id)
            << event.added << event.removed;
    event.attributes.Write(message);
  }
  if (!body.trailer) return;
  message << static_cast<unsigned long long>(body.sequence) << body.stats2.has_value();
  if (body.stats2) body.stats2->write(message);
}

void WriteSection(CMessage& message, const CEntityId& queue,
                  const std::vector<CQmAttributeName>& names, const QueueBody& body) {
  message << static_cast<std::int32_t>(queue.QueryObjectType())
          << static_cast<std::int32_t>(queue.QueryObjectId())
          << static_cast<std::int32_t>(names.size());
  for (const CQmAttributeName& name : names) name.Write(message);
  WriteBody(message, body);
}

CMessage MonitorResponse(const CEntityId& queue, const std::vector<CQmAttributeName>& names,
                         const QueueBody& body) {
  CMessage message;
  WriteServerTime(message, LocalUtcSeconds());
  WriteSection(message, queue, names, body);
  return message;
}

LoadRequest ReadLoadRequest(const CMessage& request) {
  LoadRequest load;
  std::int32_t type = 0;
  std::int32_t id = 0;
  request >> load.adding >> type >> id;
  load.queue =
      CEntityId(static_cast<W4Notifier::ObjectTypes>(type), static_cast<std::uint32_t>(id));
  return load;
}

CMessage Notification(const QueueBody& body) {
  CMessage message;
  WriteServerTime(message, LocalUtcSeconds());
  WriteBody(message, body);
  return message;
}

// ---- EntryLog, RecordingMonitor ----

std::vector<std::string> EntryLog::Log(bool withEntities) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> entries;
  for (const auto& [entity, text] : log_) {
    entries.push_back(withEntities ? fmt::format("q{} {}", entity, text) : text);
  }
  return entries;
}

void EntryLog::ClearLog() {
  std::lock_guard lock(mutex_);
  log_.clear();
}

void EntryLog::Add(const std::string& entry, const CEntityId& entity) {
  {
    std::lock_guard lock(mutex_);
    log_.emplace_back(entity.QueryObjectId(), entry);
  }
  if (const auto copy = hook) copy(entry);
}

void RecordingMonitor::AttributesUpdated(const CEntityId& queue, InteractionId id,
                                         const CQmAttributeMap& attributes) {
  Add(fmt::format("Updated {} {}", id.QueryObjectId(), MapText(attributes)), queue);
}

void RecordingMonitor::InteractionAdded(const CEntityId& queue, InteractionId id,
                                        const CQmAttributeMap& attributes) {
  Add(fmt::format("Added {} {}", id.QueryObjectId(), MapText(attributes)), queue);
}

void RecordingMonitor::InteractionRemoved(const CEntityId& queue, InteractionId id) {
  Add(fmt::format("Removed {}", id.QueryObjectId()), queue);
}

void RecordingMonitor::StatisticsUpdate(const CEntityId& queue, const CQmQueueStats& stats) {
  Add(fmt::format("Stats {}", stats.QueryAlertingCount()), queue);
}

void RecordingMonitor::QueueRemoved(const CEntityId& queue) { Add("QueueRemoved", queue); }

// ---- MonitorCacheTest ----

void MonitorCacheTest::SetUp() {
  NotifierFixture::SetUp();
  CQmCache::Instance().ResetForTesting();
  server_->Handle(ServerEntity(), kMonitorQueueEvent, [this](const CMessage& request) {
    const CEntityId queue = ReadLoadRequest(request).queue;
    std::lock_guard lock(mutex_);
    const auto it = responses_.find(queue);
    if (it == responses_.end()) return CScriptedReply::Reject();
    return CScriptedReply::Respond(it->second);
  });
}

void MonitorCacheTest::TearDown() {
  server_->WaitIdle();
  EXPECT_EQ(CQmCache::Instance().CachedQueueCount(), 0u) << "a monitor was left attached";
  EXPECT_EQ(CQmCache::Instance().PendingMonitorCount(), 0u) << "a monitor was left pending";
  EXPECT_EQ(CQueueMonitorProxy::ActiveCount(), 0u) << "a monitor was left active";
  CQmCache::Instance().ResetForTesting();
  NotifierFixture::TearDown();
}

void MonitorCacheTest::ServeQueue(const CEntityId& queue, QueueBody body,
                                  std::vector<CQmAttributeName> names) {
  std::lock_guard lock(mutex_);
  responses_[queue] = MonitorResponse(queue, names, body);
}

void MonitorCacheTest::RejectQueue(const CEntityId& queue) {
  std::lock_guard lock(mutex_);
  responses_.erase(queue);
}

void MonitorCacheTest::Publish(const CEntityId& queue, const QueueBody& body) {
  PublishRaw(queue, Notification(body));
}

void MonitorCacheTest::PublishRaw(const CEntityId& queue, const CMessage& message) {
  server_->Publish(queue, kMonitorQueueEvent, message);
  server_->WaitIdle();
}

void MonitorCacheTest::AwaitLog(const RecordingMonitor& monitor, std::size_t entries) {
  // A load's answer is queued only after the server has handled the request:
  // each idle point may reveal more work, so look again a bounded number of
  // times.
  for (int i = 0; i < 1000 && monitor.Log().size() < entries; ++i) server_->WaitIdle();
}

std::vector<std::string> MonitorCacheTest::MonitorRequests(int event) const {
  std::vector<std::string> fields;
  for (const CMessage& request : server_->RequestsTo(ServerEntity(), event)) {
    fields.push_back(request.DescribeFields());
  }
  return fields;
}

}  // namespace QueueManager::testing
