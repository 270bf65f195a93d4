#pragma once

// Bounded waits of the tests for what another thread brings about: a
// condition polled until it holds or the limit passes, never a sleep.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace QueueManager::testing {

// True once `condition()` holds; false when `limit` passed first.
template <class Condition>
bool Within(std::chrono::milliseconds limit, Condition condition) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// Within a limit far above anything a passing run needs.
template <class Condition>
bool Eventually(Condition condition) {
  return Within(std::chrono::seconds(20), condition);
}

// Lines that other threads add, for a test to wait for. Thread-safe.
class WaitableLog {
 public:
  void Add(std::string line) {
    std::lock_guard lock(mutex_);
    lines_.push_back(std::move(line));
    changed_.notify_all();
  }
  // The lines once `done(lines)` holds, or as they stand after 20 s.
  template <class Done>
  std::vector<std::string> WaitUntil(Done done) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return done(lines_); });
    return lines_;
  }
  std::vector<std::string> WaitFor(std::size_t count) {
    return WaitUntil([count](const auto& lines) { return lines.size() >= count; });
  }
  // As WaitFor, and takes the lines, so that the next wait counts anew.
  std::vector<std::string> Take(std::size_t count) {
    WaitFor(count);
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
};

}  // namespace QueueManager::testing
