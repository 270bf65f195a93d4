// The kept sums of a queue's stays read the same time statistics as the
// stays counted one by one, at any time: before some stay began (a clock
// moved back), long after (lengths clamped), and across far-apart clocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "StayBook.h"

namespace QueueManager::Emulator {
namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
constexpr std::int64_t kFar = std::int64_t{1} << 40;  // beyond what a length holds

struct Member {
  std::uint32_t id;
  Stay stay;
};

// The statistics counted stay by stay.
StayTotals Recount(const std::vector<Member>& open, std::uint64_t closed, std::uint32_t longest,
                   std::int64_t now) {
  StayTotals totals;
  std::uint64_t active = closed;
  totals.longestSeconds = longest;
  for (const Member& member : open) {
    const std::uint64_t length =
        now <= member.stay.since
            ? 0
            : std::min<std::uint64_t>(kMax, static_cast<std::uint64_t>(now) -
                                                static_cast<std::uint64_t>(member.stay.since));
    active = std::min(kMax, active + length);
    totals.longestSeconds =
        std::max<std::uint32_t>(totals.longestSeconds, static_cast<std::uint32_t>(length));
    totals.connectionCalls += member.stay.connected ? 1 : 0;
    totals.disconnectedConnectionCalls += member.stay.connected && member.stay.disconnected ? 1 : 0;
  }
  totals.activeSeconds = static_cast<std::uint32_t>(std::min(kMax, active));
  return totals;
}

void ExpectTotals(const StayTotals& actual, const StayTotals& expected, std::int64_t now) {
  EXPECT_EQ(actual.activeSeconds, expected.activeSeconds) << "at " << now;
  EXPECT_EQ(actual.longestSeconds, expected.longestSeconds) << "at " << now;
  EXPECT_EQ(actual.connectionCalls, expected.connectionCalls) << "at " << now;
  EXPECT_EQ(actual.disconnectedConnectionCalls, expected.disconnectedConnectionCalls)
      << "at " << now;
}

TEST(StayBookTest, ReadsAsTheStaysCountedOneByOne) {
  // Joining times and readings lie around each base, within its spread.
  const std::tuple<const char*, std::int64_t, std::int64_t> cases[] = {
      {"a day's clock", 13'000'000'000, 100'000},
      {"lengths beyond 32 bits", 0, kFar},
      {"clock near its lowest", std::numeric_limits<std::int64_t>::min() / 2, kFar},
      {"clock near its highest", std::numeric_limits<std::int64_t>::max() / 2, kFar},
  };
  for (const auto& [name, base, spread] : cases) {
    SCOPED_TRACE(name);
    std::mt19937_64 random(42);
    std::uniform_int_distribution<std::int64_t> time(base - spread, base + spread);
    StayBook book;
    std::vector<Member> open;
    std::uint64_t closed = 0;
    std::uint32_t longest = 0;
    for (std::uint32_t step = 0; step < 2'000; ++step) {
      const std::int64_t now = time(random);
      const std::uint32_t id = static_cast<std::uint32_t>(random() % 64);
      const auto it = std::ranges::find(open, id, &Member::id);
      switch (random() % 4) {
        case 0:
          if (it == open.end()) {
            const Stay stay{now, random() % 2 == 0, random() % 2 == 0};
            book.Begin(id, stay);
            open.push_back({id, stay});
          }
          break;
        case 1:
          ASSERT_EQ(book.End(id, now), it != open.end());
          if (it != open.end()) {
            const StayTotals one = Recount({*it}, 0, 0, now);
            closed += one.activeSeconds;
            longest = std::max(longest, one.longestSeconds);
            open.erase(it);
          }
          break;
        case 2:
          book.MarkConnected(id);
          if (it != open.end()) it->stay.connected = true;
          break;
        default:
          book.SetDisconnected(id, random() % 2 == 0);
          if (it != open.end()) it->stay.disconnected = book.Find(id)->disconnected;
          break;
      }
      StayTotals totals;
      book.AddTo(totals, now);
      ExpectTotals(totals, Recount(open, closed, longest, now), now);
      ASSERT_TRUE(book.IsConsistent());
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace QueueManager::Emulator
