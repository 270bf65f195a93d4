#pragma once

// Keeps every trace written while it lives, with the library's topic (and the
// scope topic, when asked) at `level`; both are off again at its end.

#include <memory>

#include "QueueManager/Platform/Trace.h"

namespace W4Trace::testing {

class TraceCapture {
 public:
  explicit TraceCapture(int level, bool scopes = false) : scopes_(scopes) {
    AddSink(sink_);
    QueueManagerTopic().SetLevel(level);
    if (scopes_) ScopeTopic().SetLevel(level);
  }
  ~TraceCapture() {
    QueueManagerTopic().SetLevel(kLevelOff);
    if (scopes_) ScopeTopic().SetLevel(kLevelOff);
    RemoveSink(sink_);
  }
  TraceCapture(const TraceCapture&) = delete;
  TraceCapture& operator=(const TraceCapture&) = delete;

  CCaptureSink* operator->() const { return sink_.get(); }
  // Whether some trace at `level` contains `text`.
  bool Has(int level, std::string_view text) const {
    return sink_
        ->Find([&](const CTraceRecord& r) {
          return r.level == level && r.text.find(text) != std::string::npos;
        })
        .has_value();
  }

 private:
  const bool scopes_;
  const std::shared_ptr<CCaptureSink> sink_ = std::make_shared<CCaptureSink>();
};

}  // namespace W4Trace::testing
