#pragma once

// A deterministic scheduler for the library's threads, for tests. While a
// simulation runs, every thread that the library or a test starts through
// W4Os::StartThread is a task; exactly one task runs at a time, and at each
// lock, wait, signal, thread start, join or yield the running task hands the
// run to a task that a seeded generator picks. Time is virtual. A fault of
// interleaving then appears from a seed and replays from it exactly.
//
// The primitives of Sync.h and Thread.h test one relaxed atomic flag on
// their paths; without a simulation they behave as before.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "QueueManager/Export.h"

namespace W4Os {

namespace detail {
/// True while a simulation runs (read relaxed on every primitive's path).
QM_EXPORT extern std::atomic<bool> simulating;
/// Whether a simulation runs; cheap enough for every lock.
inline bool Simulating() { return simulating.load(std::memory_order_relaxed); }

/// What SimAcquire did.
enum class SimLock { kNotSimulated, kAcquired, kBusy };
/// Takes the simulated ownership of `lock` for the calling task (waiting for
/// it unless `tryOnly`); kNotSimulated when the caller is no task.
QM_EXPORT SimLock SimAcquire(const void* lock, bool recursive, bool tryOnly);
/// Gives the simulated ownership of `lock` back.
QM_EXPORT void SimRelease(const void* lock);
/// A wait on condition `cv` bound to `lock`, whose real mutex `real` the
/// caller holds: 1 signalled, 0 timed out (virtual `deadline`), -1 when the
/// caller is no task (it then waits on the real condition itself).
QM_EXPORT int SimWait(const void* cv, const void* lock, std::mutex& real,
                      const std::chrono::steady_clock::time_point* deadline);
/// Makes one waiter of `cv` runnable, or all.
QM_EXPORT void SimSignal(const void* cv, bool all);
/// A thread that runs `body` as a new task of the running simulation (a
/// plain thread when the caller is no task).
QM_EXPORT std::thread SimStartThread(std::function<void()> body);
/// Waits as a task until the task on thread `id` has ended.
QM_EXPORT void SimJoin(std::thread::id id);
}  // namespace detail

/// Monotonic time: virtual during a simulation.
QM_EXPORT std::chrono::steady_clock::time_point SteadyNow();
/// Wall-clock time: virtual (from a fixed start) during a simulation.
QM_EXPORT std::chrono::system_clock::time_point SystemNow();
/// Lets another thread run: a scheduling point of a polling loop, which
/// moves virtual time on so that the loop's limit passes.
QM_EXPORT void Yield();
/// Sleeps `duration` (virtual during a simulation).
QM_EXPORT void SleepFor(std::chrono::nanoseconds duration);
/// Waits for `thread` to end and joins it. REQUIRES: thread is joinable and
/// is not the caller.
QM_EXPORT void JoinThread(std::thread& thread);

/// Runs the calling thread and every thread it starts under one seeded
/// scheduler, until End. Not thread-safe: Begin and End come from one thread,
/// never nested. A deadlock (every task waits and no timer is due) or a task
/// that holds the run for seconds without reaching a scheduling point ends
/// the process with a report that names the seed.
class QM_EXPORT Simulation {
 public:
  /// Starts a simulation with `seed`; the caller becomes its first task.
  static void Begin(std::uint64_t seed);
  /// Ends it: tasks still alive run on freely, as plain threads.
  static void End();
  /// The running simulation's seed; 0 without one.
  static std::uint64_t Seed();
  /// A digest of the choices made so far, and their number: equal for two
  /// runs of one program with one seed.
  ///@{
  static std::uint64_t TraceDigest();
  static std::uint64_t Steps();
  ///@}
};

}  // namespace W4Os
