#pragma once

// The fault plans as the emulator keeps them: which messages a plan hits, and
// the notification faults it applies in the publishing order.

#include <cstdint>
#include <optional>
#include <random>
#include <vector>

#include "Alerting.h"
#include "QueueManager/Emulator/Emulator.h"

namespace QueueManager::Emulator {

// Decides, message by message, whether a plan's selection hits. Not
// thread-safe (the emulator's state lock guards it).
class FaultSelector {
 public:
  // The window is placed from `injected`.
  FaultSelector(const FaultSelection& selection, Clock::time_point injected);
  // Whether the message met at `now` is hit; a hit of the next-N form counts.
  bool Hit(Clock::time_point now);
  // Hits nothing any more: a next-N plan that used its count, or a window
  // that closed.
  bool Spent(Clock::time_point now) const;

 private:
  FaultSelection selection_;
  Clock::time_point opens_;
  Clock::time_point closes_;
  // The same seed draws the same hits on every platform: the engine's output
  // is fixed by the standard, and the draw below uses it directly.
  std::mt19937_64 random_;
};

struct RequestFault {
  RequestFaultPlan plan;
  FaultSelector selector;
};

struct NotificationFault {
  NotificationFaultPlan plan;
  FaultSelector selector;
  bool Matches(const W4Notifier::CEntityId& entity) const;
};

}  // namespace QueueManager::Emulator
