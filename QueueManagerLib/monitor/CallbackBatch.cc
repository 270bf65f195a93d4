#include "monitor/CallbackBatch.h"

#include <algorithm>
#include <memory>
#include <utility>

#include <fmt/format.h>

#include "monitor/CacheTrace.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;

constexpr const char* kFunction = "CQmCache::Deliver";

}  // namespace

CallbackBatch::Group CallbackBatch::EndGroup() const {
  return Group{groupStart_, static_cast<std::uint32_t>(monitors_.size()) - groupStart_};
}

void CallbackBatch::Add(Kind kind, Group group, const CEntityId& queue,
                        const CEntityId& interaction, const EventAttributes* attributes,
                        const CQmQueueStats* stats) {
  if (group.count == 0) return;
  items_.push_back(Item{kind, group, queue, interaction, attributes, stats});
}

const CQmQueueStats* CallbackBatch::Keep(const CQmQueueStats& stats) {
  keptStats_.push_back(stats);
  return &keptStats_.back();
}

void CallbackBatch::Deliver(HandOffs& handOffs) const {
  for (const Item& item : items_) {
    for (std::uint32_t i = 0; i < item.group.count; ++i) {
      const MonitorId monitor = monitors_[item.group.first + i];
      if (handOffs.Divert(item.kind, monitor, item.queue, item.interaction, item.attributes,
                          item.stats)) {
        continue;
      }
      DeliverCallback(item.kind, monitor, item.queue, item.interaction,
                      item.attributes != nullptr ? &item.attributes->Map() : nullptr, item.stats);
    }
  }
}

void DeliverCallback(CallbackKind kind, MonitorId monitor, const CEntityId& queue,
                     const CEntityId& interaction, const CQmAttributeMap* attributes,
                     const CQmQueueStats* stats) {
  auto& topic = CacheTopic();
  const InteractionId id(interaction);
  constexpr int kDetail = W4Trace::kLevelDetail;
  switch (kind) {
    case CallbackKind::kInteractionAdded:
      QM_TRACE(topic, kDetail, kFunction, "InteractionAdded({},{},{}) for {}", ScopedName(queue),
               ScopedName(interaction), MapText(*attributes), monitor);
      CQueueMonitorProxy::InteractionAdded(monitor, queue, id, *attributes);
      break;
    case CallbackKind::kAttributesUpdated:
      QM_TRACE(topic, kDetail, kFunction, "AttributesUpdated({},{},{}) for {}", ScopedName(queue),
               ScopedName(interaction), MapText(*attributes), monitor);
      CQueueMonitorProxy::AttributesUpdated(monitor, queue, id, *attributes);
      break;
    case CallbackKind::kInteractionRemoved:
      QM_TRACE(topic, kDetail, kFunction, "InteractionRemoved({},{}) for {}", ScopedName(queue),
               id.QueryObjectId(), monitor);
      CQueueMonitorProxy::InteractionRemoved(monitor, queue, id);
      break;
    case CallbackKind::kStatisticsUpdate:
      QM_TRACE(topic, kDetail, kFunction, "StatisticsUpdate({},{}) for {}", ScopedName(queue),
               StatsText(*stats), monitor);
      CQueueMonitorProxy::StatisticsUpdate(monitor, queue, *stats);
      break;
    case CallbackKind::kQueueRemoved:
      QM_TRACE(topic, kDetail, kFunction, "QueueRemoved({}) for {}", ScopedName(queue), monitor);
      CQueueMonitorProxy::QueueRemoved(monitor, queue);
      break;
  }
}

void CallbackBatch::Clear() {
  items_.clear();
  monitors_.clear();
  groupStart_ = 0;
  // Most batches keep nothing: skip the container's own clearing work.
  if (!keptStats_.empty()) keptStats_.clear();
  departures_.clear();
  reconcile_.clear();
}

}  // namespace QueueManager
