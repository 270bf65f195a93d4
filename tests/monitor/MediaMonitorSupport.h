#pragma once

// Media type and TS server monitors that record their callbacks, for the
// tests of both against the scripted server.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "CacheTestSupport.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/TsServerMonitor.h"
#include "monitor/CacheTrace.h"
#include "monitor/MediaTypeEntity.h"

namespace QueueManager::testing {

// The media type entity of eGenericObject interactions.
inline CEntityId Calls() { return MediaTypeEntity(W4Notifier::eGenericObject); }

// Callback entries ("5 {Xan_State=A}"), waited for with a condition variable.
// Thread-safe.
class CallbackLog {
 public:
  void Add(std::string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
    changed_.notify_all();
  }
  std::vector<std::string> Entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  // Waits (ten seconds at most) until `entry` was logged.
  void WaitFor(const std::string& entry) const {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(10), [&] {
      return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
    });
  }

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> entries_;
};

class MediaMonitor : public CQmMediaTypeMonitor {
 public:
  ~MediaMonitor() override { Deactivate(); }
  CallbackLog log;

 protected:
  void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) override {
    log.Add(fmt::format("Updated {} {}", id.QueryObjectId(), MapText(attributes)));
  }
  void InteractionDeallocated(InteractionId id) override {
    log.Add(fmt::format("Deallocated {}", id.QueryObjectId()));
  }
};

// Logs "<id> <attributes>", then runs `hook` (which may destroy the monitor).
class TsMonitor : public CQmTsServerMonitor {
 public:
  explicit TsMonitor(bool monitorAll,
                     std::shared_ptr<CallbackLog> shared = std::make_shared<CallbackLog>())
      : CQmTsServerMonitor(monitorAll), log(std::move(shared)) {}
  ~TsMonitor() override { Deactivate(); }
  const std::shared_ptr<CallbackLog> log;
  std::function<void(std::uint32_t id)> hook;

 protected:
  void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) override {
    log->Add(fmt::format("{} {}", id.QueryObjectId(), MapText(attributes)));
    // A copy: the hook may destroy the monitor, and with it `hook`.
    if (const auto run = hook) run(id.QueryObjectId());
  }
};

}  // namespace QueueManager::testing
