#include "QueueManager/Platform/RefCount.h"

namespace W4Util {

// Out of line so that the class has one home for its vtable and type
// information, shared by the library and the applications that derive from it.
RefCountBase::~RefCountBase() = default;

}  // namespace W4Util
