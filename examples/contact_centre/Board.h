#pragma once

// The queue board: one queue monitor per queue of the floor, and one line per
// queue with the statistics its monitor last reported. What the monitors
// report is kept whole, for views that show more than the terminal's lines.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Floor.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "QueueManager/QueueMonitor.h"
#include "QueueManager/QueueStats.h"

namespace ContactCentre {

struct BoardRow {
  std::string queue;
  std::string kind;
  QueueManager::CQmQueueStats stats;
};

// The header and one aligned line per row.
std::vector<std::string> FormatBoard(const std::vector<BoardRow>& rows);

// What the watchers' callbacks said about one queue.
struct QueueHeard {
  QueueManager::CQmQueueStats stats;
  // Per interaction held: the watched attributes' latest values, by name.
  std::map<std::uint32_t, std::map<std::string, std::string>> held;
};

// The watchers' callbacks' latest news, and a count of the callbacks that a
// reader can wait on instead of polling. Thread-safe: written from delivery
// threads, read by others.
class StatisticsTable {
 public:
  void Record(const W4Notifier::CEntityId& queue, const QueueManager::CQmQueueStats& stats);
  // An interaction added to `queue`, or its attributes updated: merges them.
  void Hold(const W4Notifier::CEntityId& queue, QueueManager::InteractionId id,
            const QueueManager::CQmAttributeMap& attributes);
  void Release(const W4Notifier::CEntityId& queue, QueueManager::InteractionId id);
  // The latest statistics; zeros when none came.
  QueueManager::CQmQueueStats Latest(const W4Notifier::CEntityId& queue) const;
  std::map<W4Notifier::CEntityId, QueueHeard> Heard() const;
  // Waits until more than `seen` callbacks came or `timeout` elapses; the
  // count of callbacks.
  std::uint64_t WaitPast(std::uint64_t seen, std::chrono::milliseconds timeout) const;

 private:
  // A leaf lock.
  mutable W4Os::Mutex mutex_;
  mutable W4Os::CondVar changed_{&mutex_};
  std::map<W4Notifier::CEntityId, QueueHeard> heard_ QM_GUARDED_BY(mutex_);
  std::uint64_t changes_ QM_GUARDED_BY(mutex_) = 0;
};

// Watches one queue for the board. Its callbacks run on a delivery thread (or
// the activating thread) and only write to the table, which outlives it.
class QueueWatcher : public QueueManager::CQmQueueMonitor {
 public:
  explicit QueueWatcher(StatisticsTable& table) : table_(table) {}
  ~QueueWatcher() override { Deactivate(); }
  QueueWatcher(const QueueWatcher&) = delete;
  QueueWatcher& operator=(const QueueWatcher&) = delete;

 protected:
  void StatisticsUpdate(const W4Notifier::CEntityId& queue,
                        const QueueManager::CQmQueueStats& stats) override {
    table_.Record(queue, stats);
  }
  void InteractionAdded(const W4Notifier::CEntityId& queue, QueueManager::InteractionId id,
                        const QueueManager::CQmAttributeMap& attributes) override {
    table_.Hold(queue, id, attributes);
  }
  void AttributesUpdated(const W4Notifier::CEntityId& queue, QueueManager::InteractionId id,
                         const QueueManager::CQmAttributeMap& attributes) override {
    table_.Hold(queue, id, attributes);
  }
  void InteractionRemoved(const W4Notifier::CEntityId& queue,
                          QueueManager::InteractionId id) override {
    table_.Release(queue, id);
  }

 private:
  StatisticsTable& table_;
};

// Owns a watcher per queue of the floor. Activate and query from one thread;
// the watchers' callbacks come on others. Copies `floor`.
class Board {
 public:
  Board(Floor floor, std::vector<QueueManager::CQmAttributeName> names);

  // Activates every watcher synchronously: the board starts with the
  // server's current statistics.
  void Activate();
  std::vector<std::string> Lines() const;
  // REQUIRES: `queue` is a queue of the floor.
  const QueueManager::CQmQueueMonitor& Watcher(const W4Notifier::CEntityId& queue) const;
  const std::vector<QueueManager::CQmAttributeName>& Names() const { return names_; }
  const Floor& Layout() const { return floor_; }
  // What the watchers reported; readable from any thread.
  const StatisticsTable& Table() const { return table_; }
  const Floor& FloorShown() const { return floor_; }

 private:
  const Floor floor_;
  const std::vector<QueueManager::CQmAttributeName> names_;
  StatisticsTable table_;
  // After the table: the watchers are deactivated before it goes.
  std::map<W4Notifier::CEntityId, std::unique_ptr<QueueWatcher>> watchers_;
};

}  // namespace ContactCentre
