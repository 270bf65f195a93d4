#include "emulator/ConsistencyViews.h"

#include <fmt/format.h>

#include <array>
#include <set>

#include "QueueManager/Platform/Text.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CEntityId;

std::string Text(const CQmAttributeValue& value) {
  return W4Os::WideToNarrowLossy(value.QueryString());
}

std::string IdsText(const std::set<std::uint32_t>& ids) {
  return fmt::format("{{{}}}", fmt::join(ids, ","));
}

std::array<std::uint32_t, 6> LiveCounts(const QueueCounts& counts) {
  return {counts.alerting, counts.connected, counts.disconnected,
          counts.held,     counts.messaging, counts.system};
}

std::array<std::uint32_t, 6> LiveCounts(const CQmQueueStats& stats) {
  return {stats.QueryAlertingCount(), stats.QueryConnectedCount(), stats.QueryDisconnectedCount(),
          stats.QueryHeldCount(),     stats.QueryMessagingCount(), stats.QuerySystemCount()};
}

std::string CountsText(const std::array<std::uint32_t, 6>& counts) {
  return fmt::format("A{} C{} D{} H{} M{} S{}", counts[0], counts[1], counts[2], counts[3],
                     counts[4], counts[5]);
}

struct Differences {
  std::string queue;
  std::vector<std::string> found;
  // Records "what: emulator=.. cache=.. callbacks=.." unless all three agree.
  void Check(const std::string& what, const std::string& served, const std::string& cached,
             const std::string& called) {
    if (served == cached && cached == called) return;
    found.push_back(fmt::format("{} {}: emulator={} cache={} callbacks={}", queue, what, served,
                                cached, called));
  }
};

void CompareMembers(const CEmulator& emulator, const ViewMonitor& monitor,
                    const ViewMonitor::Model& model, Differences& differences) {
  const CEntityId queue = monitor.QueryMonitoredQueue();
  const std::vector<std::uint32_t> contents =
      emulator.QueueContents(queue).value_or(std::vector<std::uint32_t>{});
  const std::set<std::uint32_t> served(contents.begin(), contents.end());
  std::vector<InteractionId> cachedIds;
  monitor.QueryContents(cachedIds);
  std::set<std::uint32_t> cached;
  for (const InteractionId& id : cachedIds) cached.insert(id.QueryObjectId());
  std::set<std::uint32_t> called;
  for (const auto& member : model.members) called.insert(member.first);
  differences.Check("members", IdsText(served), IdsText(cached), IdsText(called));

  std::vector<CQmAttributeName> names;
  monitor.Monitors(names);
  for (const std::uint32_t id : served) {
    const std::optional<InteractionState> interaction = emulator.Interaction(id);
    const auto inModel = model.members.find(id);
    for (const CQmAttributeName& name : names) {
      const std::string servedValue =
          interaction ? Text(interaction->attributes.Query(name)) : "<gone>";
      CQmAttributeValue cachedValue;
      const bool isCached = QueryMonitoredAttribute(id, name, cachedValue);
      const std::string calledValue =
          inModel == model.members.end() ? "<absent>" : Text(inModel->second.Query(name));
      differences.Check(fmt::format("{} {}", id, name), servedValue,
                        isCached ? Text(cachedValue) : "<uncached>", calledValue);
    }
  }
}

void CompareCounts(const CEmulator& emulator, const ViewMonitor& monitor,
                   const ViewMonitor::Model& model, Differences& differences) {
  const CEntityId queue = monitor.QueryMonitoredQueue();
  const std::optional<QueueCounts> served = emulator.Counts(queue);
  CQmQueueStats cached;
  monitor.QueryStatistics(cached);
  differences.Check("counts", served ? CountsText(LiveCounts(*served)) : "<no queue>",
                    CountsText(LiveCounts(cached)),
                    model.stats ? CountsText(LiveCounts(*model.stats)) : "<none>");
}

}  // namespace

// ---- comparison ----

std::vector<std::string> CompareViews(const CEmulator& emulator, const ViewMonitor& monitor) {
  const ViewMonitor::Model model = monitor.Snapshot();
  Differences differences{fmt::format("queue {}", monitor.QueryMonitoredQueue().QueryObjectId()),
                          {}};
  for (const std::string& anomaly : model.anomalies) {
    differences.found.push_back(fmt::format("{} callbacks: {}", differences.queue, anomaly));
  }
  CompareMembers(emulator, monitor, model, differences);
  CompareCounts(emulator, monitor, model, differences);
  return differences.found;
}

}  // namespace QueueManager::Emulator
