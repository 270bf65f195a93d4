#include "interaction/CallbackGate.h"

namespace QueueManager {

bool CallbackGate::Enter() {
  W4Os::MutexLock lock(&mutex_);
  const std::thread::id self = std::this_thread::get_id();
  while (open_ && depth_ > 0 && holder_ != self) changed_.Wait();
  if (!open_) return false;
  holder_ = self;
  ++depth_;
  return true;
}

bool CallbackGate::Leave() {
  W4Os::MutexLock lock(&mutex_);
  if (--depth_ > 0) return false;
  holder_ = std::thread::id();
  ++turns_;
  changed_.SignalAll();
  return true;
}

bool CallbackGate::HeldHere() const {
  W4Os::MutexLock lock(&mutex_);
  return depth_ > 0 && holder_ == std::this_thread::get_id();
}

bool CallbackGate::IsOpen() const {
  W4Os::MutexLock lock(&mutex_);
  return open_;
}

void CallbackGate::AwaitOtherHolder() {
  W4Os::MutexLock lock(&mutex_);
  AwaitOtherHolderLocked();
}

bool CallbackGate::Close() {
  W4Os::MutexLock lock(&mutex_);
  if (!open_) return false;
  open_ = false;
  changed_.SignalAll();  // waiters give up
  AwaitOtherHolderLocked();
  return true;
}

void CallbackGate::AwaitOtherHolderLocked() {
  const std::uint64_t turn = turns_;
  while (depth_ > 0 && holder_ != std::this_thread::get_id() && turns_ == turn) changed_.Wait();
}

}  // namespace QueueManager
