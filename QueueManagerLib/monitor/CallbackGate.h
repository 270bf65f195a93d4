#pragma once

// The one gate that every monitor's application callbacks pass: callbacks of
// a monitor one at a time, and a stop that returns only once none of them
// runs elsewhere.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <unordered_map>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace QueueManager {

// Thread-safe; shared (std::shared_ptr) by a monitor, its implementation and
// whatever delivers to it, so that a late delivery always finds the gate
// even when the monitor is gone.
//
// The contract, the same for every monitor kind:
// - Turns. A thread makes a monitor callback only while it holds the gate's
//   turn (Enter). One thread holds the turn at a time; the holder may enter
//   again (a callback that causes another callback of the same monitor on
//   its own thread). No lock of the library is held while the turn is held,
//   so a callback may call anything.
// - Activations. Open() starts an activation and gives its epoch; a
//   delivery made for an earlier epoch is refused, so a callback meant for
//   one activation never reaches the next one.
// - Stops. Close() refuses every later Enter and returns only once no other
//   thread holds the turn: once it has returned, no callback of the monitor
//   runs on another thread and none starts. Any thread may call it, any
//   number of times, whoever closed first: every call waits. Called by the
//   holder (a callback stopping its own monitor) it does not wait for
//   itself; the callback finishes, and the stop made by another thread
//   returns after it.
// - Stopping another monitor from a callback waits for that monitor's
//   callback like any stop, unless the wait would never end: when the
//   thread inside that callback waits, directly or through other threads,
//   for a callback this thread is inside (two monitors stopping each other
//   from their callbacks at once). Then the stop returns at once, and the
//   stopped monitor's running callback finishes on its own; the caller must
//   not destroy that monitor before it has.
//
// Lock: one process-wide mutex, a leaf; it is never held while a callback
// runs or while anything but the gates' own state is touched.
class CallbackGate {
 public:
  using Epoch = std::uint64_t;
  // Enter() admits a callback of whichever activation is open.
  static constexpr Epoch kAnyEpoch = 0;

  // A held turn; gives it back on destruction. Empty when not admitted.
  class Turn {
   public:
    Turn() = default;
    Turn(Turn&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
    Turn& operator=(Turn&& other) noexcept;
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() { Release(); }

    explicit operator bool() const { return gate_ != nullptr; }
    // Gives the turn back now.
    void Release();

   private:
    friend class CallbackGate;
    explicit Turn(CallbackGate* gate) : gate_(gate) {}
    CallbackGate* gate_ = nullptr;
  };

  // Starts closed, until the first Open().
  CallbackGate() = default;
  CallbackGate(const CallbackGate&) = delete;
  CallbackGate& operator=(const CallbackGate&) = delete;
  ~CallbackGate() = default;

  static std::shared_ptr<CallbackGate> Make() { return std::make_shared<CallbackGate>(); }
  // A gate already opened once: for monitors that tell their activations
  // apart by other means and only close it at their end.
  static std::shared_ptr<CallbackGate> MakeOpen() {
    auto gate = Make();
    gate->Open();
    return gate;
  }

  // Opens a new activation; deliveries for earlier epochs are refused.
  Epoch Open() QM_LOCKS_EXCLUDED(mutex_);
  // Waits for the turn (unless this thread holds it); empty once the gate is
  // closed or, with an epoch other than kAnyEpoch, opened again since.
  // REQUIRES: the gate outlives the turn.
  Turn Enter(Epoch epoch = kAnyEpoch) QM_LOCKS_EXCLUDED(mutex_);
  // Refuses every later Enter and waits until no other thread holds the turn
  // (see the contract above). True for the one call that closed the gate,
  // for what is to be cleared up once.
  // REQUIRES: no lock that a callback of this monitor takes is held.
  bool Close() QM_LOCKS_EXCLUDED(mutex_);
  // Waits as Close() does, leaving the gate open: the callback another thread
  // is making ends before this returns.
  void Quiesce() QM_LOCKS_EXCLUDED(mutex_);

  // Lock-free: for the checks a callback's holder makes between events.
  bool IsOpen() const { return openEpoch_.load(std::memory_order_acquire) != 0; }
  // True while `epoch` is the open activation.
  bool IsOpen(Epoch epoch) const {
    return epoch != kAnyEpoch && openEpoch_.load(std::memory_order_acquire) == epoch;
  }
  // True when the calling thread holds the turn.
  bool HeldHere() const QM_LOCKS_EXCLUDED(mutex_);
  // True while the calling thread is inside a callback of any monitor.
  static bool InsideAnyCallback();
  // Runs `action` now when the calling thread is inside no callback;
  // otherwise once its outermost callback has ended, on the same thread, in
  // the order they were left. For what may wait for a delivery (a
  // subscription stop): made inside a callback, that wait could be for a
  // delivery thread that waits for this thread's callback.
  static void AfterCallbacks(std::function<void()> action);
  // The threads blocked in any gate (tests wait for a stop to block).
  static std::size_t BlockedThreadsForTesting() QM_LOCKS_EXCLUDED(mutex_);

 private:
  // A thread blocked in a gate: the gate it waits for and, for a stop,
  // whether a thread that found a cycle through it has released it.
  struct WaitRecord {
    const CallbackGate* gate = nullptr;
    bool stop = false;
    bool released = false;
  };
  // The threads blocked in a gate.
  static std::unordered_map<std::thread::id, WaitRecord*>& Waiting()
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  void Leave() QM_LOCKS_EXCLUDED(mutex_);
  // Waits until the turn held by another thread when called is given back,
  // unless that would close a cycle of waits.
  void AwaitOtherHolderLocked() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Blocks on changed_ as `record`, registered among the waiting threads.
  void WaitLocked(WaitRecord& record) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // The waiter of a stop in the cycle that a wait for this gate would
  // close, or null when there is no such cycle. `cycle` tells whether there
  // is one at all.
  WaitRecord* FindCycleLocked(std::thread::id self, bool& cycle) const
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  static W4Os::Mutex mutex_;
  mutable W4Os::CondVar changed_{&mutex_};
  Epoch epoch_ QM_GUARDED_BY(mutex_) = 0;
  std::thread::id holder_ QM_GUARDED_BY(mutex_);
  int depth_ QM_GUARDED_BY(mutex_) = 0;
  // Counts turns given back, so that a stop does not wait for a later turn.
  std::uint64_t turns_ QM_GUARDED_BY(mutex_) = 0;
  int waiters_ QM_GUARDED_BY(mutex_) = 0;
  // epoch_ while open, kAnyEpoch while closed; written under mutex_, read
  // without it by IsOpen.
  std::atomic<Epoch> openEpoch_{kAnyEpoch};
};

}  // namespace QueueManager
