// Concurrent first use of the catalogue, and object type sources replaced
// while other threads query them. Run under ThreadSanitizer too.

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "QueueManager/AttributeName.h"
#include "QueueManager/InteractionId.h"
#include "attributes/Catalogue.h"
#include "attributes/ObjectTypeLookup.h"

namespace QueueManager {
namespace {

constexpr int kThreads = 8;

// Every thread starts together and touches the lazily built key strings first.
TEST(AttributeNameConcurrency, FirstUseFromManyThreadsSeesOneCatalogue) {
  std::barrier start(kThreads);
  std::vector<std::vector<const W4STD::w4idstring*>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (const Catalogue::KeyInfo& key : Catalogue::AllKeys()) {
        const CQmAttributeName name(key.key);
        seen[t].push_back(&name.idstring());
        if (name.DisplayName() != key.key || name != key.number) seen[t].push_back(nullptr);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
  EXPECT_EQ(seen[0].size(), Catalogue::AllKeys().size());
}

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
