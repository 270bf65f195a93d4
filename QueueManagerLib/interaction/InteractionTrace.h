#pragma once

// Traces of the interaction and conference monitors: the library topic, the
// monitors' source name, and the interaction as context attribute 1.

#include <cstdint>
#include <string_view>

#include "QueueManager/Platform/Trace.h"

namespace QueueManager {

inline W4Trace::CContext InteractionContext(std::string_view function, std::uint32_t id) {
  return W4Trace::CContext(function, W4Trace::kMessageTypeNormal, {{1, id}}, "InteractionMonitor");
}

}  // namespace QueueManager

// QM_TRACE_INTERACTION(level, function, id, format, args...)
#define QM_TRACE_INTERACTION(level, function, id, ...) \
  QM_TRACE_CTX(W4Trace::QueueManagerTopic(), (level),  \
               ::QueueManager::InteractionContext((function), (id)), __VA_ARGS__)
