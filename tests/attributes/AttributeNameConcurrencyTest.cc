// Object type sources replaced
// while other threads query them. Run under ThreadSanitizer too.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "QueueManager/InteractionId.h"
#include "attributes/ObjectTypeLookup.h"

namespace QueueManager {
namespace {

constexpr int kThreads = 8;

TEST(AttributeNameConcurrency, SourcesMayChangeWhileQueried) {
  std::atomic<bool> stop{false};
  std::atomic<int> wrongAnswers{0};
  std::vector<std::thread> queriers;
  for (int t = 0; t < kThreads / 2; ++t) {
    queriers.emplace_back([&] {
      while (!stop.load()) {
        // No connection is installed: without a source the answer is 0.
        const W4Notifier::ObjectTypes type = InteractionId(1234).QueryObjectType();
        if (type != W4Notifier::eObjectTypeNone && type != 20 && type != 100) ++wrongAnswers;
      }
    });
  }
  for (int round = 0; round < 2000; ++round) {
    auto alive = std::make_shared<int>(round);
    SetObjectTypeSource(ObjectTypeSource::kMonitorCache, [alive](std::uint32_t) {
      return static_cast<W4Notifier::ObjectTypes>(20);
    });
    SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors,
                        [](std::uint32_t) { return W4Notifier::eChatConferenceInteraction; });
    SetObjectTypeSource(ObjectTypeSource::kMonitorCache, nullptr);
    SetObjectTypeSource(ObjectTypeSource::kInteractionMonitors, nullptr);
  }
  stop = true;
  for (std::thread& thread : queriers) thread.join();
  EXPECT_EQ(wrongAnswers.load(), 0);
}

}  // namespace
}  // namespace QueueManager
