// The sinks that the library provides: stderr and capture.

#include <cstdio>
#include <ctime>

#include <fmt/format.h>
#include <fmt/std.h>

#include "QueueManager/Platform/Trace.h"

namespace W4Trace {
namespace {

// UTC, to the microsecond: "2024-05-01T10:11:12.123456Z".
std::string FormatTime(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<microseconds>(time.time_since_epoch());
  const auto wholeSeconds = floor<seconds>(sinceEpoch);
  const std::time_t seconds = static_cast<std::time_t>(wholeSeconds.count());
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}Z", parts.tm_year + 1900,
                     parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                     (sinceEpoch - wholeSeconds).count());
}

// Writes each record as one line; a single fwrite keeps lines of different
// threads apart (stdio locks the stream for the call).
class CStderrSink : public ITraceSink {
 public:
  void Write(const CTraceRecord& record) override {
    std::string line = FormatRecord(record);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
  }
};

}  // namespace

std::string FormatRecord(const CTraceRecord& record) {
  fmt::memory_buffer line;
  auto out = std::back_inserter(line);
  fmt::format_to(out, "{} [{}] {} {}", FormatTime(record.time), record.thread, record.topic,
                 record.level);
  if (record.messageType != kMessageTypeNormal)
    fmt::format_to(out, " (type {})", record.messageType);
  if (!record.file.empty()) fmt::format_to(out, " {}:", record.file);
  fmt::format_to(out, " {}", record.function);
  for (const CContextAttribute& attribute : record.context) {
    fmt::format_to(out, " [{}={}]", attribute.index, attribute.text);
  }
  fmt::format_to(out, " {}", record.text);
  return fmt::to_string(line);
}

std::shared_ptr<ITraceSink> MakeStderrSink() { return std::make_shared<CStderrSink>(); }

void CCaptureSink::Write(const CTraceRecord& record) {
  if (!topic_.empty() && record.topic != topic_) return;
  W4Os::MutexLock lock(&mutex_);
  records_.push_back(record);
}

std::vector<CTraceRecord> CCaptureSink::Records() const {
  W4Os::MutexLock lock(&mutex_);
  return records_;
}

std::size_t CCaptureSink::Size() const {
  W4Os::MutexLock lock(&mutex_);
  return records_.size();
}

void CCaptureSink::Clear() {
  W4Os::MutexLock lock(&mutex_);
  records_.clear();
}

bool CCaptureSink::Contains(std::string_view text) const {
  W4Os::MutexLock lock(&mutex_);
  for (const CTraceRecord& record : records_) {
    if (record.text.find(text) != std::string::npos) return true;
  }
  return false;
}

}  // namespace W4Trace
