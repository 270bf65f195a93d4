#pragma once

// Reading an attribute name where the reader discards everything it read on
// a failure.

#include <string>

#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager {

// The name form that CQmAttributeName::Read decodes, read in place, without
// the rollback that a name read on its own needs. `scratch` holds the text
// between the reads of one map, so that a name resolved to a standard key
// allocates nothing; a custom name takes the string over. Throws
// CNotifierExtractException on a malformed or truncated message.
CQmAttributeName ReadNameInPlace(const W4Notifier::CMessage& message, std::u16string& scratch);

}  // namespace QueueManager
