#pragma once

// Bounded waits of the tests for what another thread brings about: a
// condition polled until it holds or the limit passes, never a sleep.

#include <chrono>
#include <thread>

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

}  // namespace QueueManager::testing
