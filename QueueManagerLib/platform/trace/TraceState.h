#pragma once

// The process-wide state of the trace library: registered topics and sinks.

#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "QueueManager/Platform/Trace.h"
#include "platform/trace/SinkList.h"
#include "platform/trace/TraceConfig.h"

namespace W4Trace {

// Owns the registered topics and the sink list. Thread-safe. The one instance
// is built at first use, reads QM_TRACE then, and is never destroyed, so that
// code running in static destructors can still trace.
class CTraceState {
 public:
  static CTraceState& Instance();

  // Builds a state from a setting instead of the environment; for tests.
  explicit CTraceState(CTraceConfig config);
  CTraceState(const CTraceState&) = delete;
  CTraceState& operator=(const CTraceState&) = delete;

  CTopic& RegisterTopic(std::string_view name) QM_LOCKS_EXCLUDED(mutex_);
  CSinkList& Sinks() { return sinks_; }

 private:
  const CTraceConfig config_;
  W4Os::Mutex mutex_;
  std::map<std::string, std::unique_ptr<CTopic>, std::less<>> topics_ QM_GUARDED_BY(mutex_);
  CSinkList sinks_;
};

}  // namespace W4Trace
