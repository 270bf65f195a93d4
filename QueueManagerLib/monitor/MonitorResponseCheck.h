#pragma once

// A whole answer to a monitor queue request, checked before any of it is
// applied (library-internal).

#include "QueueManager/Platform/Message.h"

namespace QueueManager {

// Reads the answer from its read position to its end as the cache would
// apply it, without applying anything, and puts the read position back.
// Throws W4Notifier::CNotifierExtractException where the answer is malformed
// or cut short: an answer applied halfway would leave its monitor holding
// part of the contents, and the load's retry would add that part again.
void CheckMonitorResponse(W4Notifier::CMessage& response);

}  // namespace QueueManager
