#pragma once

// The identity of one attachment of a queue monitor to the cache.

#include <cstdint>

namespace QueueManager {

// Every activation of a monitor gets a new id, never reused in the life of
// the process: the cache, its callback batches and the monitor proxy name a
// monitor by it, never by its address, which a new monitor may take over as
// soon as the old one is gone. 0 names no attachment.
using MonitorId = std::uint64_t;

// No monitor: a load made for a queue's holder alone (see CQmCache::HoldQueue).
inline constexpr MonitorId kNoMonitor = 0;

// A fresh id. Thread-safe.
MonitorId NewMonitorId();

}  // namespace QueueManager
