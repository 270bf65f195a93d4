#pragma once

// The queue board: one queue monitor per queue of the floor, and one line per
// queue with the statistics its monitor last reported.

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

// Counts the board's changes, so that a reader can wait for the next one
// instead of polling. Thread-safe; raised from delivery threads.
class ChangeSignal {
 public:
  void Raise();
  // Waits until the count passes `seen` or `timeout` elapses; the count.
  std::uint64_t WaitPast(std::uint64_t seen, std::chrono::milliseconds timeout);

 private:
  // A leaf lock.
  W4Os::Mutex mutex_;
  W4Os::CondVar raised_{&mutex_};
  std::uint64_t count_ QM_GUARDED_BY(mutex_) = 0;
};

// Watches one queue for the board. Its callbacks run on a delivery thread (or
// the activating thread) and only write to the table and raise the signal,
// which outlive it.
class QueueWatcher : public QueueManager::CQmQueueMonitor {
 public:
  QueueWatcher(StatisticsTable& table, ChangeSignal& changes) : table_(table), changes_(changes) {}
  ~QueueWatcher() override { Deactivate(); }
  QueueWatcher(const QueueWatcher&) = delete;
  QueueWatcher& operator=(const QueueWatcher&) = delete;

 protected:
  void StatisticsUpdate(const W4Notifier::CEntityId& queue,
                        const QueueManager::CQmQueueStats& stats) override {
    table_.Record(queue, stats);
    changes_.Raise();
  }
  void AttributesUpdated(const W4Notifier::CEntityId&, QueueManager::InteractionId,
                         const QueueManager::CQmAttributeMap&) override {
    changes_.Raise();
  }
  void InteractionAdded(const W4Notifier::CEntityId&, QueueManager::InteractionId,
                        const QueueManager::CQmAttributeMap&) override {
    changes_.Raise();
  }
  void InteractionRemoved(const W4Notifier::CEntityId&, QueueManager::InteractionId) override {
    changes_.Raise();
  }

 private:
  StatisticsTable& table_;
  ChangeSignal& changes_;
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
  const Floor& FloorShown() const { return floor_; }
  // Raised on every callback of the watchers.
  ChangeSignal& Changes() { return changes_; }

 private:
  const Floor floor_;
  const std::vector<QueueManager::CQmAttributeName> names_;
  StatisticsTable table_;
  ChangeSignal changes_;
  // After the table and the signal: the watchers are deactivated before it goes.
  std::map<W4Notifier::CEntityId, std::unique_ptr<QueueWatcher>> watchers_;
};

}  // namespace ContactCentre
