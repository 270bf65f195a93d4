// Manual- and auto-reset events on a mutex and a condition variable.

#include <chrono>

#include "QueueManager/Platform/Sync.h"

namespace W4Os {

CEvent::CEvent(bool manualReset, bool initiallySignalled)
    : manualReset_(manualReset), signalled_(initiallySignalled) {}

void CEvent::Set() {
  MutexLock lock(&mutex_);
  signalled_ = true;
  // A manual-reset event releases every waiter; an auto-reset one only the
  // waiter that will consume the signal.
  if (manualReset_) {
    cv_.SignalAll();
  } else {
    cv_.Signal();
  }
}

void CEvent::Reset() {
  MutexLock lock(&mutex_);
  signalled_ = false;
}

bool CEvent::Wait(std::uint32_t timeoutMs) {
  MutexLock lock(&mutex_);
  if (timeoutMs == kInfinite) {
    while (!signalled_) cv_.Wait();
  } else {
    const auto deadline = SteadyNow() + std::chrono::milliseconds(timeoutMs);
    // A signal may arrive just as the deadline passes: the state decides.
    while (!signalled_ && cv_.WaitUntil(deadline)) {
    }
    if (!signalled_) return false;
  }
  if (!manualReset_) signalled_ = false;
  return true;
}

}  // namespace W4Os
