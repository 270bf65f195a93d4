#pragma once

#include "lightweight/LightMonitorImpl.h"
#include "lightweight/ObjectTypeMonitorBase.h"

namespace QueueManager {

// The implementation behind CQmObjectTypeMonitor: the forwarding layer over a
// plain light monitor. Thread safety and ownership as for its base.
class CQmObjectTypeMonitorImpl final : public CQmObjectTypeMonitorBase<CQmLightMonitorImpl> {
 private:
  ~CQmObjectTypeMonitorImpl() override = default;
};

}  // namespace QueueManager
