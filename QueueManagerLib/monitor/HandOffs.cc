#include "monitor/HandOffs.h"

#include <utility>

namespace QueueManager {

bool HandOffs::Divert(CallbackKind kind, MonitorId monitor, const W4Notifier::CEntityId& queue,
                      const W4Notifier::CEntityId& interaction, const EventAttributes* attributes,
                      bool takeMap, const CQmQueueStats* stats) {
  return queue_.Divert(monitor, [&] {
    CQmAttributeMap map;
    if (attributes != nullptr) map = takeMap ? attributes->TakeMap() : attributes->Map();
    return Deferred{kind, queue, interaction, std::move(map),
                    stats != nullptr ? *stats : CQmQueueStats()};
  });
}

void HandOffs::Make(MonitorId monitor, const Deferred& d) {
  DeliverCallback(d.kind, monitor, d.queue, d.interaction, &d.attributes, &d.stats);
}

void HandOffs::Drain(MonitorId monitor) {
  queue_.Drain(monitor, [monitor](const Deferred& d) { Make(monitor, d); });
}

void HandOffs::DrainUntilFinished(MonitorId monitor) {
  queue_.DrainUntilFinished(monitor, [monitor](const Deferred& d) { Make(monitor, d); });
}

}  // namespace QueueManager
