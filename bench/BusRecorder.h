#pragma once

// Keeps the notifications of one entity (or of every entity of its type, for
// the object id kAllObjects) that cross an in-process bus.

#include <mutex>
#include <vector>

#include "QueueManager/Platform/InProcessNotifier.h"

namespace bench {

// Thread-safe; observes a bus that the caller adds it to and removes it from.
class BusRecorder : public W4Notifier::IBusObserver {
 public:
  explicit BusRecorder(const W4Notifier::CEntityId& entity) : entity_(entity) {}
  void OnTraffic(eTraffic kind, const W4Notifier::CMessage& message) override {
    if (kind != eTraffic::kNotification) return;
    const W4Notifier::CEntityId entity = message.QueryEntityId();
    if (entity.QueryObjectType() != entity_.QueryObjectType()) return;
    if (entity_.QueryObjectId() != W4Notifier::kAllObjects && entity != entity_) return;
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
  }
  std::vector<W4Notifier::CMessage> Take() {
    std::lock_guard lock(mutex_);
    return std::move(messages_);
  }

 private:
  const W4Notifier::CEntityId entity_;
  std::mutex mutex_;
  std::vector<W4Notifier::CMessage> messages_;
};

}  // namespace bench
