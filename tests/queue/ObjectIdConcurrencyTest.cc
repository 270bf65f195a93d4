// Many threads draw object ids at once: every id is drawn once, and each
// block costs exactly one request.

#include <gmock/gmock.h>

#include <atomic>
#include <set>
#include <thread>

#include "queue/ObjectIdBlock.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

class ObjectIdConcurrencyTest : public RequestTest {};

TEST_F(ObjectIdConcurrencyTest, ThreadsShareEachBlock) {
  constexpr std::uint32_t kThreads = 8, kDraws = 200, kBlock = 16;
  std::atomic<std::uint32_t> nextFirst{100};
  server_->Handle(InteractionEntity(W4Notifier::kAllObjects), 35, [&](const CMessage&) {
    return CScriptedReply::Respond(Body(nextFirst.fetch_add(kBlock), std::int32_t{kBlock}));
  });
  CObjectIdBlock block;
  std::vector<std::vector<std::uint32_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (auto& ids : drawn) {
    threads.emplace_back([&block, &ids] {
      for (std::uint32_t i = 0; i < kDraws; ++i) ids.push_back(block.Allocate(kBlock));
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::uint32_t> unique;
  for (const auto& ids : drawn) unique.insert(ids.begin(), ids.end());
  EXPECT_EQ(unique.size(), kThreads * kDraws);
  EXPECT_EQ(*unique.begin(), 100u);
  EXPECT_EQ(*unique.rbegin(), 100u + kThreads * kDraws - 1);
  EXPECT_EQ(RequestCount(), kThreads * kDraws / kBlock);
}

}  // namespace
}  // namespace QueueManager::testing
