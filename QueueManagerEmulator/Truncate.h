#pragma once

// Cutting an answer short, for the truncated-answer fault.

#include "QueueManager/Platform/Message.h"

namespace QueueManager::Emulator {

// A copy of `message` (header and fields) without its last field.
W4Notifier::CMessage WithoutLastField(const W4Notifier::CMessage& message);

}  // namespace QueueManager::Emulator
