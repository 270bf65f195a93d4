#pragma once

// Text forms of the cache's values for its traces. Only called when a trace
// is enabled.

#include <set>
#include <string>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Trace.h"
#include "QueueManager/QueueStats.h"

namespace QueueManager {

// "<object type name>:<name>" (or ":#<id>"), as UTF-8.
std::string ScopedName(const W4Notifier::CEntityId& entity);
// "{38,40,MyName}".
std::string NamesText(const std::vector<CQmAttributeName>& names);
std::string NamesText(const std::set<CQmAttributeName>& names);
// "{38=C,40=1}".
std::string MapText(const CQmAttributeMap& map);
// "Alert=1 Connect=2 ... AbandonedToday=12".
std::string StatsText(const CQmQueueStats& stats);
std::string Stats2Text(const CQmQueueStats2& stats);

// The topics of the cache's traces.
inline W4Trace::CTopic& CacheTopic() { return W4Trace::QueueManagerTopic(); }
inline W4Trace::CTopic& CacheScopeTopic() { return W4Trace::ScopeTopic(); }

}  // namespace QueueManager
