#pragma once

// What the public handles of the lightweight monitors share: refusing an
// activation without a callback, and the callback gate with the current
// implementation behind each handle.

#include <memory>
#include <string_view>
#include <utility>

#include "QueueManager/Platform/RefCount.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "QueueManager/Platform/Trace.h"
#include "lightweight/LightMonitorImpl.h"
#include "monitor/CallbackGate.h"

namespace QueueManager::lightweight {

// True, after a failure trace under `function`, when `callback` is empty:
// the activation is refused and nothing changes.
// REQUIRES: `function` outlives the call (normally a literal).
template <class Callback>
bool RefusesEmpty(const w4core::InterfacePtr<Callback>& callback, std::string_view function) {
  if (callback) return false;
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure, function,
           "refused: no callback interface");
  return true;
}

// The state behind one public monitor handle: the callback gate, kept across
// activations so that a stop on any thread always finds it to wait on, and
// the current implementation. Thread-safe; owned by its handle. Stops may
// come from any thread, several at once, and from the monitor's own
// callbacks; queries take the implementation with a reference of their own.
//
// Lock order: the handle's mutex, then the gate's (Open() only). Neither is
// held while an implementation starts or stops, nor across a wait.
template <class Impl>
class MonitorHandle {
 public:
  MonitorHandle() = default;
  MonitorHandle(const MonitorHandle&) = delete;
  MonitorHandle& operator=(const MonitorHandle&) = delete;

  // Stops the current activation, then opens a new one on a new
  // implementation and starts it with start(impl, gate).
  // REQUIRES: as for Deactivate().
  template <class Start>
  void Activate(Start start) QM_LOCKS_EXCLUDED(mutex_) {
    Deactivate();
    const auto impl = w4core::MakeInterface<Impl>();
    ActivationGate gate{gate_, 0};
    {
      // Opened with the implementation in place: a concurrent stop either
      // finds both or closes the gate before they exist.
      W4Os::MutexLock lock(&mutex_);
      gate.epoch = gate_->Open();
      impl_ = impl;
    }
    // On a reference of its own: a callback may stop the monitor meanwhile.
    start(*impl, gate);
  }

  // Closes the gate, which waits for a callback running on another thread
  // (see CallbackGate::Close), then stops the implementation.
  // REQUIRES: no lock that a callback of the monitor takes is held.
  void Deactivate() QM_LOCKS_EXCLUDED(mutex_) {
    while (true) {
      w4core::InterfacePtr<Impl> impl;
      {
        W4Os::MutexLock lock(&mutex_);
        impl.swap(impl_);
      }
      gate_->Close();
      if (impl) impl->Deactivate();
      W4Os::MutexLock lock(&mutex_);
      // The callback waited for may have activated the monitor again; a stop
      // must not return with callbacks still to come.
      if (!impl_) return;
    }
  }

  // The current implementation; empty when the monitor is not active.
  w4core::InterfacePtr<Impl> Current() const QM_LOCKS_EXCLUDED(mutex_) {
    W4Os::MutexLock lock(&mutex_);
    return impl_;
  }

 private:
  const std::shared_ptr<CallbackGate> gate_ = CallbackGate::Make();
  mutable W4Os::Mutex mutex_;
  w4core::InterfacePtr<Impl> impl_ QM_GUARDED_BY(mutex_);
};

}  // namespace QueueManager::lightweight
