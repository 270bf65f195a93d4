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

void CallbackBatch::AddMonitor(CQmQueueMonitor* monitor) {
  const auto groupBegin = monitors_.begin() + groupStart_;
  if (std::find(groupBegin, monitors_.end(), monitor) != monitors_.end()) return;
  monitors_.push_back(monitor);
}

CallbackBatch::Group CallbackBatch::EndGroup() const {
  return Group{groupStart_, static_cast<std::uint32_t>(monitors_.size()) - groupStart_};
}

void CallbackBatch::Add(Kind kind, Group group, const CEntityId& queue,
                        const CEntityId& interaction, const CQmAttributeMap* attributes,
                        const CQmQueueStats* stats) {
  if (group.count == 0) return;
  items_.push_back(Item{kind, group, queue, interaction, attributes, stats});
}

const CQmAttributeMap* CallbackBatch::Keep(CQmAttributeMap&& attributes) {
  keptMaps_.push_back(std::move(attributes));
  return &keptMaps_.back();
}

const CQmQueueStats* CallbackBatch::Keep(const CQmQueueStats& stats) {
  keptStats_.push_back(stats);
  return &keptStats_.back();
}

void CallbackBatch::Deliver() const {
  for (const Item& item : items_) {
    for (std::uint32_t i = 0; i < item.group.count; ++i) {
      DeliverItem(item, monitors_[item.group.first + i]);
    }
  }
}

void CallbackBatch::DeliverItem(const Item& item, CQmQueueMonitor* monitor) const {
  auto& topic = CacheTopic();
  const InteractionId id(item.interaction);
  constexpr int kDetail = W4Trace::kLevelDetail;
  switch (item.kind) {
    case Kind::kInteractionAdded:
      QM_TRACE(topic, kDetail, kFunction, "InteractionAdded({},{},{}) for {}",
               ScopedName(item.queue), ScopedName(item.interaction), MapText(*item.attributes),
               fmt::ptr(monitor));
      CQueueMonitorProxy::InteractionAdded(monitor, item.queue, id, *item.attributes);
      break;
    case Kind::kAttributesUpdated:
      QM_TRACE(topic, kDetail, kFunction, "AttributesUpdated({},{},{}) for {}",
               ScopedName(item.queue), ScopedName(item.interaction), MapText(*item.attributes),
               fmt::ptr(monitor));
      CQueueMonitorProxy::AttributesUpdated(monitor, item.queue, id, *item.attributes);
      break;
    case Kind::kInteractionRemoved:
      QM_TRACE(topic, kDetail, kFunction, "InteractionRemoved({},{}) for {}",
               ScopedName(item.queue), id.QueryObjectId(), fmt::ptr(monitor));
      CQueueMonitorProxy::InteractionRemoved(monitor, item.queue, id);
      break;
    case Kind::kStatisticsUpdate:
      QM_TRACE(topic, kDetail, kFunction, "StatisticsUpdate({},{}) for {}", ScopedName(item.queue),
               StatsText(*item.stats), fmt::ptr(monitor));
      CQueueMonitorProxy::StatisticsUpdate(monitor, item.queue, *item.stats);
      break;
    case Kind::kQueueRemoved:
      QM_TRACE(topic, kDetail, kFunction, "QueueRemoved({}) for {}", ScopedName(item.queue),
               fmt::ptr(monitor));
      CQueueMonitorProxy::QueueRemoved(monitor, item.queue);
      break;
  }
}

void CallbackBatch::Clear() {
  items_.clear();
  monitors_.clear();
  groupStart_ = 0;
  // Most batches keep nothing: skip the containers' own clearing work.
  if (!keptMaps_.empty()) keptMaps_.clear();
  if (!keptStats_.empty()) keptStats_.clear();
  departures_.clear();
  reconcile_.clear();
  if (!interactionRecords_.empty()) interactionRecords_.clear();
}

// ---- CBatchLease ----

namespace {

// Cleared batches of this thread, kept for reuse.
thread_local std::vector<std::unique_ptr<CallbackBatch>> t_freeBatches;

}  // namespace

CBatchLease::CBatchLease() {
  if (t_freeBatches.empty()) {
    batch_ = new CallbackBatch;
  } else {
    batch_ = t_freeBatches.back().release();
    t_freeBatches.pop_back();
  }
}

CBatchLease::~CBatchLease() {
  batch_->Clear();
  t_freeBatches.emplace_back(batch_);
}

}  // namespace QueueManager
