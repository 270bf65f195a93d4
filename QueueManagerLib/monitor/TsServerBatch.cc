#include "monitor/TsServerBatch.h"

#include <exception>
#include <iterator>

#include <fmt/format.h>

#include "monitor/CacheTrace.h"

namespace QueueManager {

bool TsServerBatch::Decode(W4Notifier::CMessage& message) {
  try {
    std::vector<QueueEvent> events = ReadNotificationEvents(message);
    events_.insert(events_.end(), std::make_move_iterator(events.begin()),
                   std::make_move_iterator(events.end()));
    return true;
  } catch (const std::exception& e) {
    // W4Notifier::CException included: what the readers throw on bad input.
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, "CQmTsServerMonitorImpl",
             "Malformed notification from {} dropped: {}", ScopedName(message.QueryEntityId()),
             e.what());
    return false;
  }
}

void TsServerBatch::ApplyLocked(CQmCache& cache, const W4Notifier::CEntityId& entity,
                                bool reportAll, std::unordered_set<std::uint32_t>& monitored) {
  for (const QueueEvent& event : events_) {
    cache.ApplyHeldQueueEventLocked(entity, event);
    const std::uint32_t id = event.interaction.QueryObjectId();
    if (!event.attributes.empty() && (reportAll || monitored.count(id) != 0)) {
      CQmAttributeMap& update = updates_[id];
      for (std::size_t i = 0; i < event.attributes.size(); ++i) {
        update.insert(event.attributes.Name(i), CQmAttributeValue(event.attributes.Value(i)));
      }
    }
    if (event.removed) monitored.erase(id);
  }
}

}  // namespace QueueManager
