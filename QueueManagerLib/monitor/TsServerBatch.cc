#include "monitor/TsServerBatch.h"

#include <exception>
#include <utility>

#include <fmt/format.h>

#include "monitor/CacheTrace.h"

namespace QueueManager {

bool TsServerBatch::Decode(W4Notifier::CMessage& message) {
  try {
    Body body{0, ReadNotificationEvents(message)};
    // The optional trailer opens with the sequence number.
    if (!message.IsAtEndOfData() && message.PeekFieldType() == W4Notifier::FieldType::kUInt64) {
      message >> body.sequence;
    }
    if (!body.events.empty()) bodies_.push_back(std::move(body));
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
  for (const Body& body : bodies_) {
    const bool apply = cache.TakeHeldBodyLocked(entity, body.sequence);
    for (const QueueEvent& event : body.events)
      Gather(event, apply, cache, entity, reportAll, monitored);
  }
}

void TsServerBatch::Gather(const QueueEvent& event, bool apply, CQmCache& cache,
                           const W4Notifier::CEntityId& entity, bool reportAll,
                           std::unordered_set<std::uint32_t>& monitored) {
  {
    if (apply) cache.ApplyHeldQueueEventLocked(entity, event);
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
