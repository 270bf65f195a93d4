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

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/QueueManager.h"

namespace QueueManager::Emulator {

// The last operations of every thread, oldest first. Thread-safe.
class OperationHistory {
 public:
  explicit OperationHistory(std::size_t capacity) : capacity_(capacity) {}
  void Record(int thread, std::string operation, std::string outcome);
  std::string Dump() const;

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
  Model Snapshot() const;
  // Starts the model afresh, for an activation after a deactivation.
  void Forget();
  // Test-only hook: the next `count` callbacks are ignored, as a monitor
  // that lost them would.
  void LoseNextCallbacks(int count) { toLose_ = count; }

 protected:
  void AttributesUpdated(const W4Notifier::CEntityId& queue, InteractionId id,
                         const CQmAttributeMap& attributes) override;
  void InteractionAdded(const W4Notifier::CEntityId& queue, InteractionId id,
                        const CQmAttributeMap& attributes) override;
  void InteractionRemoved(const W4Notifier::CEntityId& queue, InteractionId id) override;
  void StatisticsUpdate(const W4Notifier::CEntityId& queue, const CQmQueueStats& stats) override;
  void QueueRemoved(const W4Notifier::CEntityId& queue) override;

 private:
  bool Lost() {
    int left = toLose_.load();
    while (left > 0 && !toLose_.compare_exchange_weak(left, left - 1)) {
    }
    return left > 0;
  }
  std::atomic<int> toLose_{0};
  // Notes an anomaly with the callbacks that came before it.
  void Anomaly(std::string what);
  void Note(std::string callback);
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
