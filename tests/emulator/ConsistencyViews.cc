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

// ---- OperationHistory ----

void OperationHistory::Record(int thread, std::string operation, std::string outcome) {
  std::lock_guard lock(mutex_);
  entries_.push_back(fmt::format("#{} t{} {} -> {}", count_++, thread, operation, outcome));
  if (entries_.size() > capacity_) entries_.pop_front();
}

std::string OperationHistory::Dump() const {
  std::lock_guard lock(mutex_);
  return fmt::format("last {} of {} operations:\n  {}\n", entries_.size(), count_,
                     fmt::join(entries_, "\n  "));
}

// ---- ViewMonitor ----

ViewMonitor::Model ViewMonitor::Snapshot() const {
  std::lock_guard lock(mutex_);
  return model_;
}

void ViewMonitor::Note(std::string callback) {
  recent_.push_back(std::move(callback));
  if (recent_.size() > 16) recent_.pop_front();
}

void ViewMonitor::Anomaly(std::string what) {
  // The callbacks before the first one tell how it came about.
  if (model_.anomalies.empty()) {
    what += fmt::format(" (after: {})", fmt::join(recent_, "; "));
  }
  model_.anomalies.push_back(std::move(what));
}

void ViewMonitor::Forget() {
  std::lock_guard lock(mutex_);
  model_ = Model();
  recent_.clear();
}

void ViewMonitor::AttributesUpdated(const CEntityId&, InteractionId id,
                                    const CQmAttributeMap& attributes) {
  if (Lost()) return;
  std::lock_guard lock(mutex_);
  Note(fmt::format("updated {}", id.QueryObjectId()));
  const auto member = model_.members.find(id.QueryObjectId());
  if (member == model_.members.end()) {
    Anomaly(fmt::format("update of {}, not a member", id.QueryObjectId()));
    return;
  }
  for (const auto& [name, value] : attributes) member->second.insert(name, value);
}

void ViewMonitor::InteractionAdded(const CEntityId&, InteractionId id,
                                   const CQmAttributeMap& attributes) {
  if (Lost()) return;
  std::lock_guard lock(mutex_);
  Note(fmt::format("added {}", id.QueryObjectId()));
  if (!model_.members.emplace(id.QueryObjectId(), attributes).second) {
    Anomaly(fmt::format("{} added twice", id.QueryObjectId()));
  }
}

void ViewMonitor::InteractionRemoved(const CEntityId&, InteractionId id) {
  if (Lost()) return;
  std::lock_guard lock(mutex_);
  Note(fmt::format("removed {}", id.QueryObjectId()));
  if (model_.members.erase(id.QueryObjectId()) == 0) {
    Anomaly(fmt::format("{} removed, not a member", id.QueryObjectId()));
  }
}

void ViewMonitor::StatisticsUpdate(const CEntityId&, const CQmQueueStats& stats) {
  if (Lost()) return;
  std::lock_guard lock(mutex_);
  Note("stats");
  model_.stats = stats;
}

void ViewMonitor::QueueRemoved(const CEntityId&) {
  if (Lost()) return;
  std::lock_guard lock(mutex_);
  Note("queue removed");
  model_.members.clear();
  model_.stats.reset();
}

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
