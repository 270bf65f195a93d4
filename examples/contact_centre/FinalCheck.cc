#include "FinalCheck.h"

#include <algorithm>
#include <set>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "QueueManager/AttributeRequests.h"
#include "QueueManager/Platform/Text.h"

namespace ContactCentre {
namespace {

std::string Narrow(std::u16string_view text) { return W4Os::WideToNarrowLossy(text); }

std::string IdsText(const std::map<std::string, std::vector<std::uint32_t>>& contents,
                    const std::string& queue) {
  const auto found = contents.find(queue);
  if (found == contents.end()) return "no such queue";
  if (found->second.empty()) return "nothing";
  return fmt::format("#{}", fmt::join(found->second, " #"));
}

template <class Value>
const Value* Find(const std::map<std::string, Value>& map, const std::string& key) {
  const auto found = map.find(key);
  return found == map.end() ? nullptr : &found->second;
}

void CompareQueues(const Snapshot& cache, const Snapshot& server, std::vector<std::string>& out) {
  std::set<std::string> queues;
  for (const auto& entry : cache.contents) queues.insert(entry.first);
  for (const auto& entry : server.contents) queues.insert(entry.first);
  for (const std::string& queue : queues) {
    const std::string cached = IdsText(cache.contents, queue);
    const std::string served = IdsText(server.contents, queue);
    if (cached != served)
      out.push_back(fmt::format("queue {}: cache holds {}, server {}", queue, cached, served));
    const std::string* cachedCounts = Find(cache.counts, queue);
    const std::string* servedCounts = Find(server.counts, queue);
    const std::string cachedText = cachedCounts ? *cachedCounts : "none";
    const std::string servedText = servedCounts ? *servedCounts : "none";
    if (cachedText != servedText)
      out.push_back(
          fmt::format("queue {} counts: cache {}, server {}", queue, cachedText, servedText));
  }
}

void CompareAttributes(const Snapshot& cache, const Snapshot& server,
                       std::vector<std::string>& out) {
  for (const auto& [id, cached] : cache.attributes) {
    const auto served = server.attributes.find(id);
    if (served == server.attributes.end()) {
      out.push_back(fmt::format("#{}: in the cache, unknown to the server", id));
      continue;
    }
    std::set<std::string> names;
    for (const auto& entry : cached) names.insert(entry.first);
    for (const auto& entry : served->second) names.insert(entry.first);
    for (const std::string& name : names) {
      const std::string* a = Find(cached, name);
      const std::string* b = Find(served->second, name);
      if (a == nullptr || b == nullptr || *a != *b)
        out.push_back(fmt::format("#{} {}: cache '{}', server '{}'", id, name, a ? *a : "(none)",
                                  b ? *b : "(none)"));
    }
  }
}

}  // namespace

std::string CountsText(std::uint32_t alert, std::uint32_t conn, std::uint32_t held,
                       std::uint32_t msg, std::uint32_t disc, std::uint32_t sys) {
  return fmt::format("alert {}, conn {}, held {}, msg {}, disc {}, sys {}", alert, conn, held, msg,
                     disc, sys);
}

std::size_t Snapshot::InteractionCount() const { return attributes.size(); }

Snapshot CacheSnapshot(const Board& board, const Floor& floor) {
  Snapshot snapshot;
  for (const NamedQueue& queue : floor.Queues()) {
    const QueueManager::CQmQueueMonitor& watcher = board.Watcher(queue.entity);
    std::vector<QueueManager::InteractionId> held;
    watcher.QueryContents(held);
    std::vector<std::uint32_t>& ids = snapshot.contents[queue.name];
    for (const QueueManager::InteractionId id : held) ids.push_back(id.QueryObjectId());
    std::sort(ids.begin(), ids.end());
    QueueManager::CQmQueueStats s;
    watcher.QueryStatistics(s);
    snapshot.counts[queue.name] =
        CountsText(s.QueryAlertingCount(), s.QueryConnectedCount(), s.QueryHeldCount(),
                   s.QueryMessagingCount(), s.QueryDisconnectedCount(), s.QuerySystemCount());
    for (const std::uint32_t id : ids) {
      auto& attributes = snapshot.attributes[id];
      for (const QueueManager::CQmAttributeName& name : board.Names()) {
        QueueManager::CQmAttributeValue value;
        if (QueueManager::QueryMonitoredAttribute(id, name, value))
          attributes[Narrow(name.DisplayName())] = Narrow(value.QueryString());
      }
    }
  }
  return snapshot;
}

Snapshot ServerSnapshot(const QueueManager::Emulator::IEmulatorControl& server, const Floor& floor,
                        const std::vector<QueueManager::CQmAttributeName>& names,
                        const Snapshot& cache) {
  Snapshot snapshot;
  for (const NamedQueue& queue : floor.Queues()) {
    const auto contents = server.QueueContents(queue.entity);
    if (!contents) continue;
    std::vector<std::uint32_t>& ids = snapshot.contents[queue.name] = *contents;
    std::sort(ids.begin(), ids.end());
    const auto c = server.Counts(queue.entity).value_or(QueueManager::Emulator::QueueCounts{});
    snapshot.counts[queue.name] =
        CountsText(c.alerting, c.connected, c.held, c.messaging, c.disconnected, c.system);
  }
  for (const auto& entry : cache.attributes) {
    const auto interaction = server.Interaction(entry.first);
    if (!interaction) continue;
    auto& attributes = snapshot.attributes[entry.first];
    for (const QueueManager::CQmAttributeName& name : names) {
      const auto found = interaction->attributes.find(name);
      if (found != interaction->attributes.end())
        attributes[Narrow(name.DisplayName())] = Narrow(found->second.QueryString());
    }
  }
  return snapshot;
}

std::vector<std::string> Differences(const Snapshot& cache, const Snapshot& server) {
  std::vector<std::string> out;
  CompareQueues(cache, server, out);
  CompareAttributes(cache, server, out);
  return out;
}

}  // namespace ContactCentre
