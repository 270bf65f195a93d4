// The caching monitor with several application threads writing and querying
// while the delivery thread applies the server's echoes of those writes, and
// while the monitor is deactivated.

#include <gmock/gmock.h>

#include <atomic>
#include <latch>
#include <map>
#include <set>
#include <thread>

#include "lightweight/LightweightTestSupport.h"
#include "requests/RequestFields.h"

namespace QueueManager::testing {
namespace {

constexpr int kThreads = 4;
constexpr int kWritesPerThread = 500;
constexpr std::uint32_t kInteractions = 6;
// Each thread's own attribute, then the one all threads write.
const std::vector<CQmAttributeName> kNames = {u"T0", u"T1", u"T2", u"T3", Xan_State};
const CQmAttributeName& kShared = kNames.back();

// A write as the server received it.
struct Write {
  std::uint32_t id = 0;
  CQmAttributeMap attributes;
  std::uint64_t sequence = 0;
  CEntityId monitored;
};

Write ReadWrite(const CMessage& request) {
  Write write;
  write.id = requests::ReadEntity(request).QueryObjectId();
  requests::ReadEntityList(request);
  write.attributes.Read(request);
  requests::ReadEntityList(request);
  unsigned long long sequence = 0;
  request >> sequence;
  write.sequence = sequence;
  write.monitored = requests::ReadEntity(request);
  return write;
}

class CachingStressTest : public LightweightTest {
 protected:
  void SetUp() override {
    LightweightTest::SetUp();
    // The server confirms each write with a notification that carries it.
    server_->HandleType(W4Notifier::eInteractionRequest, 7, [this](const CMessage& request) {
      const Write write = ReadWrite(request);
      server_->Publish(
          write.monitored, 0,
          EventNotification({EventUpdated(write.id, write.attributes)}, write.sequence));
      return W4Notifier::CScriptedReply::Respond();
    });
  }

  // Thread `thread`'s i-th operation: a write of its own attribute (and at
  // times of a shared one) of some interaction, then queries of it. No other
  // thread writes the own attribute, so once `check`ed the cache must hold
  // what this thread wrote last, whatever echoes of its older writes come.
  void Operate(int thread, int i, bool check) {
    // Runs of writes to one interaction, so that echoes of older writes
    // arrive after newer ones.
    const std::uint32_t id = 1 + static_cast<std::uint32_t>(thread + i / 8) % kInteractions;
    const std::u16string value = W4Os::NarrowToWideLossy(fmt::format("t{}-{}", thread, i));
    const CQmAttributeName& own = kNames[static_cast<std::size_t>(thread)];
    if (i % 3 == 0) {
      monitor_.set_attributes(id, Attributes({{own, value.c_str()}, {kShared, value.c_str()}}));
    } else {
      monitor_.set_attribute(id, own, CQmAttributeValue(value));
    }
    // Queried while the echoes of the run's earlier writes come in.
    for (int query = 0; query < 8; ++query) {
      std::vector<CQmAttributeValue> values;
      const bool found = monitor_.query_attributes(id, kNames, values);
      if (!check) continue;
      ASSERT_TRUE(found);
      EXPECT_EQ(values[static_cast<std::size_t>(thread)].QueryString(), value);
    }
  }

  CQmCachingObjectTypeMonitor monitor_;
};

TEST_F(CachingStressTest, TheCacheEndsWithTheLastWriteOfEachAttributeAndStopsAtOnce) {
  monitor_.activate(kType, NewRecorder(), kNames, false);
  server_->WaitIdle();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < kWritesPerThread; ++i) Operate(t, i, true);
    });
  }
  for (std::thread& thread : threads) thread.join();
  server_->WaitIdle();
  // The server saw the writes of one interaction in the order of their
  // numbers: its last value of each attribute is the one to be cached.
  std::map<std::pair<std::uint32_t, CQmAttributeName>, CQmAttributeValue> last;
  std::set<std::uint64_t> numbers;
  for (const CMessage& request : server_->Requests()) {
    if (request.QueryEventId() != 7) continue;
    const Write write = ReadWrite(request);
    numbers.insert(write.sequence);
    for (const auto& [name, value] : write.attributes) last[{write.id, name}] = value;
  }
  EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kThreads * kWritesPerThread));
  ASSERT_EQ(last.size(), kInteractions * kNames.size());
  for (const auto& [key, value] : last) {
    CQmAttributeValue cached;
    EXPECT_TRUE(monitor_.query_attribute(key.first, key.second, cached));
    EXPECT_EQ(cached, value) << key.first << " " << key.second;
  }

  // Deactivated while the threads go on writing and querying.
  std::atomic<bool> stop{false};
  std::latch running(kThreads);
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      running.count_down();
      for (int i = 0; !stop; ++i) Operate(t, i, false);
    });
  }
  running.wait();
  monitor_.deactivate();
  stop = true;
  for (std::thread& thread : threads) thread.join();
  const std::size_t sent = RequestCount();
  Operate(0, 1, false);
  CQmAttributeValue value;
  EXPECT_FALSE(monitor_.query_attribute(1, Xan_State, value));
  EXPECT_EQ(RequestCount(), sent);
}

}  // namespace
}  // namespace QueueManager::testing
