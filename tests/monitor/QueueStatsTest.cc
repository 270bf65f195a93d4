#include <fmt/ostream.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "QueueManager/QueueStats.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;
using W4Notifier::CNotifierExtractException;
using W4Notifier::ObjectTypes;
using MediaTypeCounts = CQmQueueStats2::MediaTypeCounts;

CQmQueueStats OneToTwelve() { return CQmQueueStats({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}); }

// What operator<< writes.
std::string TextOf(const auto& value) { return fmt::format("{}", fmt::streamed(value)); }

CQmQueueStats2 ThreeMediaTypes() {
  CQmQueueStats2 stats;
  stats.SetTotalConnectionCallCount(40);
  stats.SetDisconnectedConnectionCallCount(4);
  stats.media_type_maps()[W4Notifier::eInteractionRequest] = {1, 2, 3, 4, 5, 6};
  stats.media_type_maps()[W4Notifier::eChatConferenceInteraction] = {7, 0, 0, 0, 0, 1};
  stats.media_type_maps()[static_cast<ObjectTypes>(7777)] = {0, 0, 0, 0, 9, 0};
  return stats;
}

// ---- CQmQueueStats ----

TEST(QueueStatsTest, DerivedCountsSumTheirStatesAndWrapAndEveryCounterCounts) {
  const std::tuple<CQmQueueStats::Counters, std::uint32_t, std::uint32_t> cases[] = {
      {{}, 0, 0},
      {{0, 0, 5, 0, 0, 7}, 0, 5},  // disconnected and system are not active
      {{1, 2, 3, 4, 5, 6, 99, 99, 99, 99, 99, 99}, 12, 15},
      {{0xFFFFFFFFu, 2, 0, 0, 0, 0}, 1, 1},  // wraps instead of saturating
      {{0, 0, 0xFFFFFFFFu, 0, 3, 0}, 3, 2},
  };
  for (const auto& [counters, active, all] : cases) {
    const CQmQueueStats stats(counters);
    EXPECT_EQ(stats.QueryActiveInteractionCount(), active) << TextOf(stats);
    EXPECT_EQ(stats.QueryInteractionCount(), all) << TextOf(stats);
  }
  // Equal when every counter is equal.
  EXPECT_EQ(CQmQueueStats(), CQmQueueStats());
  EXPECT_EQ(OneToTwelve(), OneToTwelve());
  for (std::size_t i = 0; i < 12; ++i) {
    CQmQueueStats::Counters counters = OneToTwelve().QueryCounters();
    ++counters[i];
    EXPECT_NE(CQmQueueStats(counters), OneToTwelve()) << "counter " << i;
  }
}

TEST(QueueStatsTest, TravelsAsTwelveUnsignedFieldsAndAFailedReadChangesNothing) {
  CMessage message;
  message << OneToTwelve();
  EXPECT_EQ(message.DescribeFields(),
            "uint 1, uint 2, uint 3, uint 4, uint 5, uint 6, uint 7, uint 8, uint 9, uint 10, "
            "uint 11, uint 12");
  CQmQueueStats read;
  message >> read;
  EXPECT_EQ(read, OneToTwelve());
  EXPECT_EQ(read.QueryAbandonedCallsToday(), 12u);
  CMessage truncated;
  for (std::uint32_t i = 0; i < 11; ++i) truncated << i + 100;
  CMessage wrongType;
  wrongType << std::u16string(u"12");
  for (CMessage* bad : {&truncated, &wrongType}) {
    EXPECT_THROW(*bad >> read, CNotifierExtractException);
    EXPECT_EQ(read, OneToTwelve());
  }
  EXPECT_EQ(TextOf(OneToTwelve()),
            "Alert=1 Connect=2 Disconnect=3 Held=4 Messaging=5 System=6 ConnectionCalls=7 "
            "DisconnectedConnectionCalls=8 TotalCountToday=9 TotalTimeToday=10 LongestToday=11 "
            "AbandonedToday=12");
  EXPECT_THAT(TextOf(CQmQueueStats({0xFFFFFFFFu})), ::testing::StartsWith("Alert=4294967295 "));
}

// ---- CQmQueueStats2 ----

TEST(QueueStats2Test, EqualityComparesEveryEntryAndTheFormsListTheTypesInOrder) {
  EXPECT_EQ(ThreeMediaTypes(), ThreeMediaTypes());

  CQmQueueStats2 lastCountChanged = ThreeMediaTypes();
  lastCountChanged.media_type_maps().rbegin()->second.System = 1;
  EXPECT_NE(lastCountChanged, ThreeMediaTypes());

  CQmQueueStats2 fewer = ThreeMediaTypes();
  fewer.media_type_maps().erase(fewer.media_type_maps().begin());
  EXPECT_NE(fewer, ThreeMediaTypes());

  CQmQueueStats2 otherKey = fewer;
  otherKey.media_type_maps()[W4Notifier::eUserQueue] = {};
  EXPECT_NE(otherKey, ThreeMediaTypes());

  CQmQueueStats2 otherTotal = ThreeMediaTypes();
  otherTotal.SetDisconnectedConnectionCallCount(5);
  EXPECT_NE(otherTotal, ThreeMediaTypes());

  // The wire and text forms list the types in ascending order.
  CMessage message;
  message << ThreeMediaTypes();
  EXPECT_EQ(message.DescribeFields(),
            "uint 40, uint 4, int 3, "
            "int 30, uint 1, uint 2, uint 3, uint 4, uint 5, uint 6, "
            "int 100, uint 7, uint 0, uint 0, uint 0, uint 0, uint 1, "
            "int 7777, uint 0, uint 0, uint 0, uint 0, uint 9, uint 0");
  CMessage viaMember;
  ThreeMediaTypes().write(viaMember);
  EXPECT_EQ(viaMember.DescribeFields(), message.DescribeFields());

  CQmQueueStats2 read;
  message >> read;
  EXPECT_EQ(read, ThreeMediaTypes());
  EXPECT_TRUE(message.IsAtEndOfData());
  EXPECT_EQ(TextOf(CQmQueueStats2()), " ConnectionCalls=0 DisconnectedConnectionCalls=0");
  EXPECT_EQ(TextOf(ThreeMediaTypes()),
            " ConnectionCalls=40 DisconnectedConnectionCalls=4"
            "\nInteraction: Alerting=1 Connected=2 Disconnected=3 Held=4 Messaging=5 System=6"
            "\nChatConference: Alerting=7 Connected=0 Disconnected=0 Held=0 Messaging=0 System=1"
            "\n7777: Alerting=0 Connected=0 Disconnected=0 Held=0 Messaging=9 System=0");
}

// The totals 1 and 2, then `count`.
CMessage& Head(CMessage& message, std::int32_t count) {
  return message << std::uint32_t{1} << std::uint32_t{2} << count;
}

// Reading replaces every entry (a repeated type keeps its last counts, a count
// below one gives none and reads nothing more); a malformed message throws
// and leaves the record untouched. A huge count must fail at the first
// missing field rather than loop or allocate per claimed entry.
TEST(QueueStats2Test, ReadingReplacesTheRecordOrThrowsAndLeavesIt) {
  CQmQueueStats2 lastOfTwo;
  lastOfTwo.SetTotalConnectionCallCount(1);
  lastOfTwo.SetDisconnectedConnectionCallCount(2);
  CQmQueueStats2 none = lastOfTwo;
  lastOfTwo.media_type_maps()[W4Notifier::eUserQueue] = {11, 12, 13, 14, 15, 16};
  struct Case {
    const char* what;
    void (*build)(CMessage&);
    std::optional<CQmQueueStats2> read = std::nullopt;  // none: throws
    std::size_t unread = 0;
  };
  const Case cases[] = {
      {"a repeated type",
       [](CMessage& m) {
         Head(m, 2) << W4Notifier::eUserQueue;  // an ObjectTypes field reads as an int
         for (std::uint32_t c = 1; c <= 6; ++c) m << c;
         m << std::int32_t{W4Notifier::eUserQueue};
         for (std::uint32_t c = 11; c <= 16; ++c) m << c;
       },
       lastOfTwo},
      {"count 0", [](CMessage& m) { Head(m, 0) << std::int32_t{3}; }, none, 5},
      {"count -1", [](CMessage& m) { Head(m, -1) << std::int32_t{3}; }, none, 5},
      {"count INT_MIN", [](CMessage& m) { Head(m, INT_MIN) << std::int32_t{3}; }, none, 5},
      {"empty", [](CMessage&) {}},
      {"no count", [](CMessage& m) { m << std::uint32_t{1} << std::uint32_t{2}; }},
      {"truncated after the count", [](CMessage& m) { Head(m, 1); }},
      {"entry cut short",
       [](CMessage& m) {
         Head(m, 1) << std::int32_t{3};
         for (std::uint32_t c = 0; c < 5; ++c) m << c;
       }},
      {"a type that is text", [](CMessage& m) { Head(m, 1) << u"WorkgroupQueue"; }},
      {"count of INT_MAX with a few bytes left", [](CMessage& m) { Head(m, INT_MAX) << true; }},
      {"count of two billion after a valid entry",
       [](CMessage& m) {
         Head(m, 2000000000) << std::int32_t{3};
         for (std::uint32_t c = 0; c < 6; ++c) m << c;
       }},
  };
  for (const Case& c : cases) {
    CMessage message;
    c.build(message);
    CQmQueueStats2 stats = ThreeMediaTypes();
    if (c.read) {
      message >> stats;
      EXPECT_EQ(message.RemainingBytes(), c.unread) << c.what;
    } else {
      EXPECT_THROW(message >> stats, CNotifierExtractException) << c.what;
    }
    EXPECT_EQ(stats, c.read.value_or(ThreeMediaTypes())) << c.what;
  }
}

}  // namespace
}  // namespace QueueManager
