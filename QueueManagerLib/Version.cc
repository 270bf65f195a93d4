#include "QueueManager/Version.h"

namespace QueueManager {

// Compiled into the library, so that it reports the library's own version and
// not the one of the header an application was built with.
const char* Version() { return kVersion; }

}  // namespace QueueManager
