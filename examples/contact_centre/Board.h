#pragma once

// The queue board: one queue monitor per queue of the floor, and one line per
// queue with the statistics its monitor last reported.

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

// The statistics callbacks' latest values. Thread-safe: written from delivery
// threads, read by the main thread.
class StatisticsTable {
 public:
  void Record(const W4Notifier::CEntityId& queue, const QueueManager::CQmQueueStats& stats);
  // The latest statistics; zeros when none came.
  QueueManager::CQmQueueStats Latest(const W4Notifier::CEntityId& queue) const;

 private:
  // A leaf lock.
  mutable W4Os::Mutex mutex_;
  std::map<W4Notifier::CEntityId, QueueManager::CQmQueueStats> latest_ QM_GUARDED_BY(mutex_);
};

// Watches one queue for the board. Its callback runs on a delivery thread (or
// the activating thread) and only writes to the table, which outlives it.
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

 private:
  const Floor floor_;
  const std::vector<QueueManager::CQmAttributeName> names_;
  StatisticsTable table_;
  // After the table: the watchers are deactivated before it goes.
  std::map<W4Notifier::CEntityId, std::unique_ptr<QueueWatcher>> watchers_;
};

}  // namespace ContactCentre
