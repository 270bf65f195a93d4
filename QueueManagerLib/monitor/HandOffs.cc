#include "monitor/HandOffs.h"

namespace QueueManager {

bool HandOffs::Divert(CallbackKind kind, MonitorId monitor, const W4Notifier::CEntityId& queue,
                      const W4Notifier::CEntityId& interaction, const EventAttributes* attributes,
                      const CQmQueueStats* stats) {
  return queue_.Divert(monitor, [&] {
    return Deferred{kind, queue, interaction,
                    attributes != nullptr ? *attributes : EventAttributes(),
                    stats != nullptr ? *stats : CQmQueueStats()};
  });
}

void HandOffs::Make(MonitorId monitor, const Deferred& d, CQmAttributeMap& map) {
  d.attributes.BuildMap(map);
  DeliverCallback(d.kind, monitor, d.queue, d.interaction, &map, &d.stats);
}

void HandOffs::Drain(MonitorId monitor) {
  CQmAttributeMap map;
  queue_.Drain(monitor, [monitor, &map](const Deferred& d) { Make(monitor, d, map); });
}

void HandOffs::DrainUntilFinished(MonitorId monitor) {
  CQmAttributeMap map;
  queue_.DrainUntilFinished(monitor, [monitor, &map](const Deferred& d) { Make(monitor, d, map); });
}

}  // namespace QueueManager
