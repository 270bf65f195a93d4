#pragma once

// Bounded waits of the tests for what another thread brings about: a
// condition polled until it holds or the limit passes, never a sleep. They
// wait through the library's primitives and clock, so that a simulated run
// (QueueManager/Platform/Simulation.h) schedules them as well.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "QueueManager/Platform/Simulation.h"
#include "QueueManager/Platform/Sync.h"

namespace QueueManager::testing {

// True once `condition()` holds; false when `limit` passed first.
template <class Condition>
bool Within(std::chrono::milliseconds limit, Condition condition) {
  const auto deadline = W4Os::SteadyNow() + limit;
  while (!condition()) {
    if (W4Os::SteadyNow() > deadline) return false;
    W4Os::Yield();
  }
  return true;
}

// Within a limit far above anything a passing run needs.
template <class Condition>
bool Eventually(Condition condition) {
  return Within(std::chrono::seconds(20), condition);
}

// Waits until `value` no longer holds `old`. A simulated thread polls, as
// it cannot block outside the scheduler.
template <class T>
void AwaitChange(const std::atomic<T>& value, T old) {
  if (!W4Os::detail::Simulating()) return value.wait(old);
  while (value.load() == old) W4Os::Yield();
}

// Lines that other threads add, for a test to wait for. Thread-safe.
class WaitableLog {
 public:
  void Add(std::string line) {
    W4Os::MutexLock lock(&mutex_);
    lines_.push_back(std::move(line));
    changed_.SignalAll();
  }
  // The lines once `done(lines)` holds, or as they stand after 20 s.
  template <class Done>
  std::vector<std::string> WaitUntil(Done done) {
    W4Os::MutexLock lock(&mutex_);
    const auto deadline = W4Os::SteadyNow() + std::chrono::seconds(20);
    while (!done(lines_) && changed_.WaitUntil(deadline)) {
    }
    return lines_;
  }
  std::vector<std::string> WaitFor(std::size_t count) {
    return WaitUntil([count](const auto& lines) { return lines.size() >= count; });
  }
  // As WaitFor, and takes the lines, so that the next wait counts anew.
  std::vector<std::string> Take(std::size_t count) {
    WaitFor(count);
    W4Os::MutexLock lock(&mutex_);
    return std::exchange(lines_, {});
  }
  std::vector<std::string> Lines() {
    W4Os::MutexLock lock(&mutex_);
    return lines_;
  }

 private:
  W4Os::Mutex mutex_;
  W4Os::CondVar changed_{&mutex_};
  std::vector<std::string> lines_ QM_GUARDED_BY(mutex_);
};

}  // namespace QueueManager::testing
