#pragma once

// The three views of the consistency test and their comparison: the server
// emulator's state, the library's cache (read through a queue monitor and the
// cache-only attribute query), and a model rebuilt only from a queue
// monitor's callbacks. A bounded history of the last operations tells how a
// divergence came about.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/QueueManager.h"

namespace QueueManager::Emulator {

// The last operations of every thread, oldest first. Thread-safe.
class OperationHistory {
 public:
  explicit OperationHistory(std::size_t capacity) : capacity_(capacity) {}
  void Record(int thread, std::string operation, std::string outcome) {
    std::lock_guard lock(mutex_);
    entries_.push_back(fmt::format("#{} t{} {} -> {}", count_++, thread, operation, outcome));
    if (entries_.size() > capacity_) entries_.pop_front();
  }
  std::string Dump() const {
    std::lock_guard lock(mutex_);
    return fmt::format("last {} of {} operations:\n  {}\n", entries_.size(), count_,
                       fmt::join(entries_, "\n  "));
  }

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;
  std::uint64_t count_ = 0;
  std::deque<std::string> entries_;
};

// What a queue monitor's callbacks said about its queue, applied to a model:
// the interactions with every attribute value they carried, and the last
// statistics. Callbacks that no sound delivery makes (an interaction added
// twice, one removed or updated that is not there) are kept as anomalies.
// Thread-safe; deactivates itself in its destructor.
class ViewMonitor : public CQmQueueMonitor {
 public:
  struct Model {
    std::map<std::uint32_t, CQmAttributeMap> members;
    std::optional<CQmQueueStats> stats;
    std::vector<std::string> anomalies;
  };
  ~ViewMonitor() override { Deactivate(); }
  Model Snapshot() const {
    std::lock_guard lock(mutex_);
    return model_;
  }
  // Starts the model afresh, for an activation after a deactivation.
  void Forget() {
    std::lock_guard lock(mutex_);
    model_ = Model();
    recent_.clear();
  }
  // Test-only hook: the next `count` callbacks are ignored, as a monitor
  // that lost them would.
  void LoseNextCallbacks(int count) { toLose_ = count; }

 protected:
  void AttributesUpdated(const W4Notifier::CEntityId&, InteractionId id,
                         const CQmAttributeMap& attributes) override {
    Apply(fmt::format("updated {}", id.QueryObjectId()), [&] {
      const auto member = model_.members.find(id.QueryObjectId());
      if (member == model_.members.end()) return "not a member";
      for (const auto& [name, value] : attributes) member->second.insert(name, value);
      return "";
    });
  }
  void InteractionAdded(const W4Notifier::CEntityId&, InteractionId id,
                        const CQmAttributeMap& attributes) override {
    Apply(fmt::format("added {}", id.QueryObjectId()), [&] {
      return model_.members.emplace(id.QueryObjectId(), attributes).second ? "" : "twice";
    });
  }
  void InteractionRemoved(const W4Notifier::CEntityId&, InteractionId id) override {
    Apply(fmt::format("removed {}", id.QueryObjectId()),
          [&] { return model_.members.erase(id.QueryObjectId()) == 0 ? "not a member" : ""; });
  }
  void StatisticsUpdate(const W4Notifier::CEntityId&, const CQmQueueStats& stats) override {
    Apply("stats", [&] {
      model_.stats = stats;
      return "";
    });
  }
  void QueueRemoved(const W4Notifier::CEntityId&) override {
    Apply("queue removed", [&] {
      model_.members.clear();
      model_.stats.reset();
      return "";
    });
  }

 private:
  // Applies a callback (`callback`, unless lost) to the model; what `apply`
  // returns, when not empty, is an anomaly, noted with the callbacks that
  // came before the first one.
  template <class F>
  void Apply(std::string callback, F apply) {
    int left = toLose_.load();
    while (left > 0 && !toLose_.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0) return;
    std::lock_guard lock(mutex_);
    recent_.push_back(callback);
    if (recent_.size() > 16) recent_.pop_front();
    const std::string anomaly = apply();
    if (anomaly.empty()) return;
    std::string what = callback + ", " + anomaly;
    if (model_.anomalies.empty()) what += fmt::format(" (after: {})", fmt::join(recent_, "; "));
    model_.anomalies.push_back(std::move(what));
  }
  std::atomic<int> toLose_{0};
  mutable std::mutex mutex_;
  Model model_;
  std::deque<std::string> recent_;
};

// Every difference between the emulator, the cache and the monitor's model
// for the monitor's queue: its members, the values of the names the monitor
// watches, and the six live counts. Empty when the three agree.
// REQUIRES: the monitor is active and every notification was delivered.
std::vector<std::string> CompareViews(const CEmulator& emulator, const ViewMonitor& monitor);

}  // namespace QueueManager::Emulator
