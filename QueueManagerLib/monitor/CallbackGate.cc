#include "monitor/CallbackGate.h"

#include <utility>
#include <vector>

#include "QueueManager/Platform/Trace.h"

namespace QueueManager {
namespace {

// Turns the calling thread holds, over all gates (callbacks nest).
thread_local int t_turnsHeld = 0;
// What the calling thread left to do once out of its callbacks.
thread_local std::vector<std::function<void()>> t_afterCallbacks;

void RunAfterCallbacks() {
  while (!t_afterCallbacks.empty()) {
    std::vector<std::function<void()>> actions;
    actions.swap(t_afterCallbacks);
    for (const auto& action : actions) action();
  }
}

// A chain of waits longer than this is not followed: as many threads waiting
// on each other in a line is not a case that occurs.
constexpr int kMaxChain = 256;

}  // namespace

constinit W4Os::Mutex CallbackGate::mutex_;

std::unordered_map<std::thread::id, CallbackGate::WaitRecord*>& CallbackGate::Waiting() {
  // Never destroyed: monitors may stop in static destructors.
  static auto* const waiting = new std::unordered_map<std::thread::id, WaitRecord*>;
  return *waiting;
}

CallbackGate::Turn& CallbackGate::Turn::operator=(Turn&& other) noexcept {
  if (this != &other) {
    Release();
    gate_ = other.gate_;
    other.gate_ = nullptr;
  }
  return *this;
}

void CallbackGate::Turn::Release() {
  if (gate_ == nullptr) return;
  CallbackGate* const gate = gate_;
  gate_ = nullptr;
  gate->Leave();
}

CallbackGate::Epoch CallbackGate::Open() {
  W4Os::MutexLock lock(&mutex_);
  ++epoch_;
  openEpoch_.store(epoch_, std::memory_order_release);
  return epoch_;
}

CallbackGate::Turn CallbackGate::Enter(Epoch epoch) {
  W4Os::MutexLock lock(&mutex_);
  const std::thread::id self = std::this_thread::get_id();
  while (true) {
    const Epoch open = openEpoch_.load(std::memory_order_relaxed);
    if (open == kAnyEpoch || (epoch != kAnyEpoch && epoch != open)) return Turn();
    if (depth_ == 0 || holder_ == self) break;
    bool cycle = false;
    if (WaitRecord* stop = FindCycleLocked(self, cycle)) {
      // The holder waits, through others, for this thread's callback: a
      // stop in that chain gives up its wait, the chain unwinds, and the
      // turn comes free.
      stop->released = true;
      stop->gate->changed_.SignalAll();
    } else if (cycle) {
      QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, "QueueManager::CallbackGate",
               "callback dropped: its monitor's callback waits for this thread's");
      return Turn();
    }
    WaitRecord record{this, false, false};
    WaitLocked(record);
  }
  holder_ = self;
  ++depth_;
  ++t_turnsHeld;
  return Turn(this);
}

void CallbackGate::Leave() {
  {
    W4Os::MutexLock lock(&mutex_);
    if (--depth_ == 0) {
      holder_ = std::thread::id();
      ++turns_;
      if (waiters_ > 0) changed_.SignalAll();
    }
  }
  if (--t_turnsHeld == 0) RunAfterCallbacks();
}

bool CallbackGate::Close() {
  W4Os::MutexLock lock(&mutex_);
  const bool closedHere = openEpoch_.exchange(kAnyEpoch, std::memory_order_acq_rel) != kAnyEpoch;
  if (waiters_ > 0) changed_.SignalAll();  // deliveries waiting for the turn give up
  AwaitOtherHolderLocked();
  return closedHere;
}

void CallbackGate::Quiesce() {
  W4Os::MutexLock lock(&mutex_);
  AwaitOtherHolderLocked();
}

bool CallbackGate::HeldHere() const {
  W4Os::MutexLock lock(&mutex_);
  return depth_ > 0 && holder_ == std::this_thread::get_id();
}

bool CallbackGate::InsideAnyCallback() { return t_turnsHeld > 0; }

void CallbackGate::AfterCallbacks(std::function<void()> action) {
  if (t_turnsHeld == 0) {
    action();
    return;
  }
  t_afterCallbacks.push_back(std::move(action));
}

std::size_t CallbackGate::BlockedThreadsForTesting() {
  W4Os::MutexLock lock(&mutex_);
  return Waiting().size();
}

void CallbackGate::AwaitOtherHolderLocked() {
  const std::thread::id self = std::this_thread::get_id();
  const std::uint64_t turn = turns_;
  WaitRecord record{this, true, false};
  while (depth_ > 0 && holder_ != self && turns_ == turn && !record.released) {
    bool cycle = false;
    FindCycleLocked(self, cycle);
    if (cycle) return;  // the holder waits for this thread: waiting would never end
    WaitLocked(record);
  }
}

void CallbackGate::WaitLocked(WaitRecord& record) {
  auto& waiting = Waiting();
  const std::thread::id self = std::this_thread::get_id();
  waiting[self] = &record;
  ++waiters_;
  changed_.Wait();
  --waiters_;
  waiting.erase(self);
}

CallbackGate::WaitRecord* CallbackGate::FindCycleLocked(std::thread::id self, bool& cycle) const {
  // Follow holder -> the gate it waits for -> that gate's holder ... back
  // to this thread, or to a thread that does not wait.
  const auto& waiting = Waiting();
  WaitRecord* stop = nullptr;
  const CallbackGate* gate = this;
  for (int step = 0; step < kMaxChain; ++step) {
    if (gate->depth_ == 0) break;
    const std::thread::id holder = gate->holder_;
    if (holder == self) {
      cycle = true;
      return stop;
    }
    const auto it = waiting.find(holder);
    if (it == waiting.end()) break;
    WaitRecord* record = it->second;
    if (record->stop && stop == nullptr) stop = record;
    gate = record->gate;
  }
  cycle = false;
  return nullptr;
}

}  // namespace QueueManager
