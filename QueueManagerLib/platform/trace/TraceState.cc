#include "platform/trace/TraceState.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace W4Trace {
namespace {

CTraceConfig ReadEnvironment() {
  const char* const value = std::getenv("QM_TRACE");
  if (value == nullptr) return {};
  CTraceConfig config = ParseTraceConfig(value);
  for (const std::string& item : config.rejected) {
    std::fprintf(stderr, "QM_TRACE: ignoring \"%s\" (expected LEVEL or TOPIC:LEVEL, 0..100)\n",
                 item.c_str());
  }
  return config;
}

}  // namespace

CTraceState& CTraceState::Instance() {
  // Deliberately leaked: see the class comment.
  static CTraceState* const instance = new CTraceState(ReadEnvironment());
  return *instance;
}

CTraceState::CTraceState(CTraceConfig config) : config_(std::move(config)) {
  if (config_.EnablesAny()) sinks_.Add(MakeStderrSink());
}

CTopic& CTraceState::RegisterTopic(std::string_view name) {
  W4Os::MutexLock lock(&mutex_);
  auto found = topics_.find(name);
  if (found == topics_.end()) {
    auto topic = std::make_unique<CTopic>(std::string(name), config_.LevelFor(name));
    found = topics_.emplace(std::string(name), std::move(topic)).first;
  }
  return *found->second;
}

CTopic::CTopic(std::string name, int level) : name_(std::move(name)), threshold_(kLevelOff) {
  SetLevel(level);
}

void CTopic::SetLevel(int level) noexcept {
  threshold_.store(std::clamp(level, kLevelOff, kLevelMax), std::memory_order_relaxed);
}

CTopic& RegisterTopic(std::string_view name) { return CTraceState::Instance().RegisterTopic(name); }

CTopic& QueueManagerTopic() {
  static CTopic& topic = RegisterTopic("QueueManager");
  return topic;
}

CTopic& ScopeTopic() {
  static CTopic& topic = RegisterTopic("QueueManagerScope");
  return topic;
}

CTopic& MemoryUsageTopic() {
  static CTopic& topic = RegisterTopic("QueueManagerMemoryUsage");
  return topic;
}

bool AddSink(std::shared_ptr<ITraceSink> sink) {
  return CTraceState::Instance().Sinks().Add(std::move(sink));
}

bool RemoveSink(const std::shared_ptr<ITraceSink>& sink) {
  return CTraceState::Instance().Sinks().Remove(sink);
}

}  // namespace W4Trace
