#pragma once

// The steps that the public monitor handles share: refusing an activation
// without a callback, and swapping one implementation for the next.

#include <string_view>
#include <utility>

#include "QueueManager/Platform/RefCount.h"
#include "QueueManager/Platform/Trace.h"

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

// Takes the implementation from the handle and deactivates it.
template <class Impl>
void DropImpl(w4core::InterfacePtr<Impl>& current) {
  const w4core::InterfacePtr<Impl> impl = std::move(current);
  if (impl) impl->Deactivate();
}

// Deactivates the handle's implementation, if any (left active it would keep
// its subscription and its callback for ever), and activates a new one with
// `start`. `start` runs on a reference of its own: a callback may deactivate
// the handle meanwhile.
template <class Impl, class Start>
void ReplaceImpl(w4core::InterfacePtr<Impl>& current, Start start) {
  DropImpl(current);
  current = w4core::MakeInterface<Impl>();
  const w4core::InterfacePtr<Impl> impl = current;
  start(*impl);
}

}  // namespace QueueManager::lightweight
