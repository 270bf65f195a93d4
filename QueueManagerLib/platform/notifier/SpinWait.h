#pragma once

// A short busy wait before a thread parks. Parking and waking a thread costs
// system calls and a context switch each way (tens of microseconds on a
// virtual machine); an answer that comes within a few microseconds is caught
// without either when the waiting thread keeps its core for that long.

#include <atomic>
#include <chrono>
#include <thread>

#include "QueueManager/Platform/Simulation.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace W4Notifier::detail {

// Thread-safe; owned by the one place where threads wait that it serves.
// Decides whether those threads spin before they park. Spinning only pays
// while the thread that ends the wait runs on another core at the same
// time; on a busy machine it often waits for this very core, and every spin
// then only delays it. So a spin that ran out without success turns spinning
// off for the next waits there.
class SpinPolicy {
 public:
  // Calls `ready` until it returns true or the spin budget has passed (or
  // once, while spinning is off); returns its last result.
  // REQUIRES: `ready` takes no lock (it is called many times in a row).
  template <class Ready>
  bool SpinUntil(Ready ready) {
    // A simulated thread that spun would keep the only turn it has.
    if (W4Os::detail::Simulating()) {
      W4Os::Yield();
      return ready();
    }
    static const bool multiprocessor = std::thread::hardware_concurrency() > 1;
    const int skip = waitsWithoutSpin_.load(std::memory_order_relaxed);
    if (!multiprocessor || skip > 0) {
      // Racing waiters may count one wait twice; the count is only a hint.
      if (skip > 0) waitsWithoutSpin_.store(skip - 1, std::memory_order_relaxed);
      return ready();
    }
    if (Spin(ready)) return true;
    waitsWithoutSpin_.store(kWaitsWithoutSpinAfterMiss, std::memory_order_relaxed);
    return false;
  }

 private:
  // Longer than an in-process round trip, short enough that a waiter whose
  // answer is slow loses little.
  static constexpr std::chrono::microseconds kBudget{20};
  // A miss costs one budget; after one, this many waits park at once.
  static constexpr int kWaitsWithoutSpinAfterMiss = 64;

  template <class Ready>
  static bool Spin(Ready ready) {
    constexpr unsigned kChecksPerClockRead = 16;
    const auto end = std::chrono::steady_clock::now() + kBudget;
    for (unsigned i = 1;; ++i) {
      if (ready()) return true;
      CpuRelax();
      if (i % kChecksPerClockRead == 0 && std::chrono::steady_clock::now() >= end) return ready();
    }
  }

  static void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
  }

  std::atomic<int> waitsWithoutSpin_{0};
};

}  // namespace W4Notifier::detail
