#pragma once

// The caching monitor traces the fate of each write and notification of one
// attribute, "LoopTest", which round-trip tests of the server use; other
// attributes would flood the trace.

#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/Trace.h"

namespace QueueManager::lightweight {

// True when detail traces are on and `name` is the traced attribute.
inline bool TracesLoopTest(const CQmAttributeName& name) {
  if (!W4Trace::QueueManagerTopic().IsEnabled(W4Trace::kLevelDetail)) return false;
  static const CQmAttributeName kLoopTest(u"LoopTest");
  return name == kLoopTest;
}

}  // namespace QueueManager::lightweight
