#include "Faults.h"

#include <cassert>

namespace QueueManager::Emulator {

FaultSelection FaultSelection::Next(std::uint32_t count) {
  FaultSelection selection;
  selection.count = count;
  return selection;
}

FaultSelection FaultSelection::WithProbability(double probability, std::uint64_t seed) {
  assert(probability >= 0 && probability <= 1);
  FaultSelection selection;
  selection.form = eForm::kProbability;
  selection.probability = probability;
  selection.seed = seed;
  return selection;
}

FaultSelection FaultSelection::During(std::chrono::milliseconds length,
                                      std::chrono::milliseconds startFromNow) {
  FaultSelection selection;
  selection.form = eForm::kWindow;
  selection.windowStart = startFromNow;
  selection.windowLength = length;
  return selection;
}

FaultSelector::FaultSelector(const FaultSelection& selection, Clock::time_point injected)
    : selection_(selection),
      opens_(injected + selection.windowStart),
      closes_(opens_ + selection.windowLength),
      random_(selection.seed) {}

bool FaultSelector::Hit(Clock::time_point now) {
  switch (selection_.form) {
    case FaultSelection::eForm::kNext:
      if (selection_.count == 0) return false;
      --selection_.count;
      return true;
    case FaultSelection::eForm::kProbability: {
      // 53 random bits make a double in [0, 1) exactly.
      constexpr double kScale = 1.0 / static_cast<double>(std::uint64_t{1} << 53U);
      const double draw = static_cast<double>(random_() >> 11U) * kScale;
      return draw < selection_.probability;
    }
    case FaultSelection::eForm::kWindow:
      return now >= opens_ && now < closes_;
  }
  return false;
}

bool FaultSelector::Spent(Clock::time_point now) const {
  switch (selection_.form) {
    case FaultSelection::eForm::kNext:
      return selection_.count == 0;
    case FaultSelection::eForm::kProbability:
      return false;
    case FaultSelection::eForm::kWindow:
      return now >= closes_;
  }
  return true;
}

bool NotificationFault::Matches(const W4Notifier::CEntityId& entity) const {
  return entity.QueryObjectType() == plan.entityType &&
         (!plan.objectId || *plan.objectId == entity.QueryObjectId());
}

}  // namespace QueueManager::Emulator
