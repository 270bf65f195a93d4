// The registry of local object type sources.

#include "attributes/ObjectTypeLookup.h"

#include <array>
#include <memory>
#include <utility>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace QueueManager {
namespace {

constexpr std::size_t kSourceCount = 2;

// The installed lookups. A query copies the shared pointer under the lock and
// calls the lookup after releasing it, so a source may take its own locks (or
// even replace itself) without deadlocking against this registry.
class CSourceRegistry {
 public:
  static CSourceRegistry& Instance() {
    // Never destroyed: sources may be asked from static destructors.
    static CSourceRegistry* const registry = new CSourceRegistry();
    return *registry;
  }

  void Set(ObjectTypeSource which, ObjectTypeLookup lookup) QM_LOCKS_EXCLUDED(mutex_) {
    std::shared_ptr<const ObjectTypeLookup> installed;
    if (lookup) installed = std::make_shared<const ObjectTypeLookup>(std::move(lookup));
    W4Os::MutexLock lock(&mutex_);
    // The previous lookup is released after the lock: its captures may run
    // destructors that call back into the library.
    installed.swap(sources_[Index(which)]);
  }

  std::shared_ptr<const ObjectTypeLookup> Get(ObjectTypeSource which) const
      QM_LOCKS_EXCLUDED(mutex_) {
    W4Os::MutexLock lock(&mutex_);
    return sources_[Index(which)];
  }

 private:
  static std::size_t Index(ObjectTypeSource which) { return static_cast<std::size_t>(which); }

  mutable W4Os::Mutex mutex_;
  std::array<std::shared_ptr<const ObjectTypeLookup>, kSourceCount> sources_ QM_GUARDED_BY(mutex_);
};

}  // namespace

void SetObjectTypeSource(ObjectTypeSource which, ObjectTypeLookup lookup) {
  CSourceRegistry::Instance().Set(which, std::move(lookup));
}

W4Notifier::ObjectTypes AskObjectTypeSource(ObjectTypeSource which, std::uint32_t objectId) {
  const std::shared_ptr<const ObjectTypeLookup> lookup = CSourceRegistry::Instance().Get(which);
  return lookup ? (*lookup)(objectId) : W4Notifier::eObjectTypeNone;
}

}  // namespace QueueManager
