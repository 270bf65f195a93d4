#include "Board.h"

#include <utility>

#include <fmt/format.h>

#include "QueueManager/Platform/Text.h"

namespace ContactCentre {

std::vector<std::string> FormatBoard(const std::vector<BoardRow>& rows) {
  constexpr const char* kLayout = "{:<9} {:<9} {:>5} {:>5} {:>5} {:>5} {:>5} {:>5} {:>7} {:>6}";
  std::vector<std::string> lines{fmt::format(fmt::runtime(kLayout), "queue", "kind", "alert",
                                             "conn", "held", "msg", "disc", "sys", "active",
                                             "total")};
  for (const BoardRow& row : rows) {
    const QueueManager::CQmQueueStats& s = row.stats;
    lines.push_back(fmt::format(fmt::runtime(kLayout), row.queue, row.kind, s.QueryAlertingCount(),
                                s.QueryConnectedCount(), s.QueryHeldCount(),
                                s.QueryMessagingCount(), s.QueryDisconnectedCount(),
                                s.QuerySystemCount(), s.QueryActiveInteractionCount(),
                                s.QueryInteractionCount() + s.QuerySystemCount()));
  }
  return lines;
}

void StatisticsTable::Record(const W4Notifier::CEntityId& queue,
                             const QueueManager::CQmQueueStats& stats) {
  W4Os::MutexLock lock(&mutex_);
  heard_[queue].stats = stats;
  ++changes_;
  changed_.SignalAll();
}

void StatisticsTable::Hold(const W4Notifier::CEntityId& queue, QueueManager::InteractionId id,
                           const QueueManager::CQmAttributeMap& attributes) {
  std::map<std::string, std::string> narrow;
  for (const auto& [name, value] : attributes)
    narrow[W4Os::WideToNarrowLossy(name.DisplayName())] =
        W4Os::WideToNarrowLossy(value.QueryString());
  W4Os::MutexLock lock(&mutex_);
  std::map<std::string, std::string>& held = heard_[queue].held[id.QueryObjectId()];
  for (auto& [name, value] : narrow) held[name] = std::move(value);
  ++changes_;
  changed_.SignalAll();
}

void StatisticsTable::Release(const W4Notifier::CEntityId& queue, QueueManager::InteractionId id) {
  W4Os::MutexLock lock(&mutex_);
  heard_[queue].held.erase(id.QueryObjectId());
  ++changes_;
  changed_.SignalAll();
}

std::map<W4Notifier::CEntityId, QueueHeard> StatisticsTable::Heard() const {
  W4Os::MutexLock lock(&mutex_);
  return heard_;
}

std::uint64_t StatisticsTable::WaitPast(std::uint64_t seen,
                                        std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  W4Os::MutexLock lock(&mutex_);
  while (changes_ <= seen)
    if (!changed_.WaitUntil(deadline)) break;
  return changes_;
}

QueueManager::CQmQueueStats StatisticsTable::Latest(const W4Notifier::CEntityId& queue) const {
  W4Os::MutexLock lock(&mutex_);
  const auto found = heard_.find(queue);
  return found == heard_.end() ? QueueManager::CQmQueueStats() : found->second.stats;
}

Board::Board(Floor floor, std::vector<QueueManager::CQmAttributeName> names)
    : floor_(std::move(floor)), names_(std::move(names)) {
  for (const NamedQueue& queue : floor_.Queues())
    watchers_.emplace(queue.entity, std::make_unique<QueueWatcher>(table_));
}

void Board::Activate() {
  for (auto& [queue, watcher] : watchers_) watcher->Activate(queue, names_, true);
}

std::vector<std::string> Board::Lines() const {
  std::vector<BoardRow> rows;
  for (const NamedQueue& queue : floor_.Queues()) {
    const bool workgroup = queue.entity.QueryObjectType() == W4Notifier::eWorkgroupQueue;
    rows.push_back({queue.name, workgroup ? "workgroup" : "agent", table_.Latest(queue.entity)});
  }
  return FormatBoard(rows);
}

const QueueManager::CQmQueueMonitor& Board::Watcher(const W4Notifier::CEntityId& queue) const {
  return *watchers_.at(queue);
}

}  // namespace ContactCentre
