// The control functions of the views.

#include "EmulatorImpl.h"

namespace QueueManager::Emulator {

std::optional<std::vector<std::uint32_t>> CEmulator::ViewContents(
    const W4Notifier::CEntityId& view) const {
  return impl_->Inspect([&](const ServerState& state) {
    const ServerQueue* record = IsView(view) ? state.FindRecord(view) : nullptr;
    return record == nullptr ? std::nullopt : std::optional(record->members);
  });
}

}  // namespace QueueManager::Emulator
