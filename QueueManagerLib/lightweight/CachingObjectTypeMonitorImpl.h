#pragma once

#include "lightweight/CachingMonitorImpl.h"
#include "lightweight/ObjectTypeMonitorBase.h"

namespace QueueManager {

// The implementation behind CQmCachingObjectTypeMonitor: the forwarding layer
// over a caching monitor. Thread safety and ownership as for its base.
class CQmCachingObjectTypeMonitorImpl final
    : public CQmObjectTypeMonitorBase<CQmCachingMonitorImpl> {
 private:
  ~CQmCachingObjectTypeMonitorImpl() override = default;
};

}  // namespace QueueManager
