#include "QueueManager/Platform/DateTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace W4Os {
namespace {

using Fields = CW4DateTime::CalendarFields;

std::int64_t Seconds(const std::optional<CW4DateTime>& time) {
  std::int64_t seconds = -1;
  EXPECT_TRUE(time && time->QuerySeconds(seconds));
  return seconds;
}

Fields Utc(const CW4DateTime& time) {
  Fields fields;
  EXPECT_TRUE(time.QueryUtcFields(fields));
  return fields;
}

Fields Local(const CW4DateTime& time) {
  Fields fields;
  EXPECT_TRUE(time.QueryLocalFields(fields));
  return fields;
}

TEST(CW4DateTime, DefaultIsNotSet) {
  const CW4DateTime unset;
  Fields fields;
  std::int64_t seconds = 0;
  std::uint64_t intervals = 0;
  EXPECT_FALSE(unset.IsSet());
  EXPECT_FALSE(unset.QuerySeconds(seconds));
  EXPECT_FALSE(unset.QueryUtcFields(fields));
  EXPECT_FALSE(unset.QueryLocalFields(fields));
  EXPECT_FALSE(unset.ToFileTime(intervals));
  EXPECT_EQ(unset, CW4DateTime());
  EXPECT_LT(unset, *CW4DateTime::FromSeconds(0));
}

TEST(CW4DateTime, UtcFieldsAtKnownInstants) {
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({1601, 1, 1, 0, 0, 0})), 0);
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({1970, 1, 1, 0, 0, 0})), 11644473600);
  // 2007-01-02 03:04:05 UTC is Unix time 1167707045.
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({2007, 1, 2, 3, 4, 5})), 11644473600 + 1167707045);
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({9999, 12, 31, 23, 59, 59})), 265046774399);
}

TEST(CW4DateTime, UtcFieldsRoundTripAcrossTheRange) {
  const Fields samples[] = {{1601, 1, 1, 0, 0, 0},    {1601, 12, 31, 23, 59, 59},
                            {1700, 2, 28, 12, 0, 0},  {1900, 3, 1, 0, 0, 1},
                            {2000, 2, 29, 6, 30, 15}, {2024, 12, 31, 23, 59, 59},
                            {2100, 3, 1, 0, 0, 0},    {9999, 12, 31, 23, 59, 59}};
  for (const Fields& fields : samples) {
    const auto time = CW4DateTime::FromUtcFields(fields);
    ASSERT_TRUE(time) << fields.year << "-" << fields.month << "-" << fields.day;
    EXPECT_EQ(Utc(*time), fields) << fields.year << "-" << fields.month << "-" << fields.day;
  }
  // Consecutive days stay consecutive over leap days and century years.
  for (std::int64_t day = 0; day < 3 * 146097; day += 37) {
    const auto time = CW4DateTime::FromSeconds(day * 86400);
    ASSERT_TRUE(time);
    EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields(Utc(*time))), day * 86400);
  }
}

TEST(CW4DateTime, RejectsInvalidFields) {
  EXPECT_TRUE(CW4DateTime::FromUtcFields({2000, 2, 29, 0, 0, 0}));
  const Fields invalid[] = {
      {1900, 2, 29, 0, 0, 0}, {2100, 2, 29, 0, 0, 0}, {2001, 2, 29, 0, 0, 0},
      {2000, 4, 31, 0, 0, 0}, {2000, 0, 1, 0, 0, 0},  {2000, 13, 1, 0, 0, 0},
      {2000, 1, 0, 0, 0, 0},  {2000, 1, 1, 24, 0, 0}, {2000, 1, 1, 0, 60, 0},
      {2000, 1, 1, 0, 0, 60}, {2000, 1, 1, -1, 0, 0}, {1600, 12, 31, 23, 59, 59},
      {10000, 1, 1, 0, 0, 0},
  };
  for (const Fields& fields : invalid) {
    EXPECT_FALSE(CW4DateTime::FromUtcFields(fields))
        << fields.year << "-" << fields.month << "-" << fields.day << " " << fields.hour << ":"
        << fields.minute << ":" << fields.second;
    EXPECT_FALSE(CW4DateTime::FromLocalFields(fields));
  }
}

TEST(CW4DateTime, SecondsAndFileTimeLimits) {
  EXPECT_FALSE(CW4DateTime::FromSeconds(-1));
  EXPECT_FALSE(CW4DateTime::FromSeconds(265046774400));  // 10000-01-01
  EXPECT_TRUE(CW4DateTime::FromSeconds(265046774399));

  // Truncated to whole seconds.
  EXPECT_EQ(Seconds(CW4DateTime::FromFileTime(25'999'999)), 2);
  EXPECT_FALSE(CW4DateTime::FromFileTime(0x8000000000000000ull));  // negative as signed
  EXPECT_FALSE(CW4DateTime::FromFileTime(0xFFFFFFFFFFFFFFFFull));
  EXPECT_FALSE(CW4DateTime::FromFileTime(0x7FFFFFFFFFFFFFFFull));  // past 9999

  std::uint64_t intervals = 0;
  ASSERT_TRUE(CW4DateTime::FromSeconds(265046774399)->ToFileTime(intervals));
  EXPECT_EQ(intervals, 2650467743990000000ull);
  EXPECT_EQ(Seconds(CW4DateTime::FromFileTime(intervals)), 265046774399);
}

TEST(CW4DateTime, NowFollowsTheSystemClock) {
  const auto before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const CW4DateTime now = CW4DateTime::Now();
  const auto after = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::int64_t seconds = 0;
  ASSERT_TRUE(now.QuerySeconds(seconds));
  EXPECT_GE(seconds - 11644473600, before);
  EXPECT_LE(seconds - 11644473600, after);
}

TEST(CW4DateTime, ComparesByInstant) {
  const auto early = *CW4DateTime::FromUtcFields({2020, 1, 1, 0, 0, 0});
  const auto late = *CW4DateTime::FromUtcFields({2020, 1, 1, 0, 0, 1});
  EXPECT_LT(early, late);
  EXPECT_NE(early, late);
  EXPECT_EQ(early, *CW4DateTime::FromSeconds(Seconds(early)));
}

// Sets TZ for one test and restores the previous value afterwards.
class LocalTime : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* previous = std::getenv("TZ");
    hadTz_ = previous != nullptr;
    if (hadTz_) previousTz_ = previous;
  }
  void TearDown() override {
    if (hadTz_) {
      ::setenv("TZ", previousTz_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  static void UseZone(const char* posixTz) {
    ::setenv("TZ", posixTz, 1);
    ::tzset();
  }

 private:
  bool hadTz_ = false;
  std::string previousTz_;
};

// Central European time: UTC+1, summer time UTC+2 from the last Sunday of
// March 02:00 to the last Sunday of October 03:00 local time.
constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

TEST_F(LocalTime, UtcZoneEqualsUtc) {
  UseZone("UTC0");
  const Fields fields{2007, 1, 2, 3, 4, 5};
  EXPECT_EQ(CW4DateTime::FromLocalFields(fields), CW4DateTime::FromUtcFields(fields));
  EXPECT_EQ(Local(*CW4DateTime::FromUtcFields(fields)), fields);
}

TEST_F(LocalTime, AppliesStandardAndDaylightOffsets) {
  UseZone(kCentralEurope);
  // Winter: 12:00 local is 11:00 UTC. Summer: 12:00 local is 10:00 UTC.
  const auto winter = CW4DateTime::FromLocalFields({2021, 1, 15, 12, 0, 0});
  const auto summer = CW4DateTime::FromLocalFields({2021, 7, 15, 12, 0, 0});
  ASSERT_TRUE(winter && summer);
  EXPECT_EQ(Utc(*winter), (Fields{2021, 1, 15, 11, 0, 0}));
  EXPECT_EQ(Utc(*summer), (Fields{2021, 7, 15, 10, 0, 0}));
  EXPECT_EQ(Local(*summer), (Fields{2021, 7, 15, 12, 0, 0}));

  // Picks up a changed TZ without restarting.
  UseZone("EST5");
  EXPECT_EQ(Local(*summer), (Fields{2021, 7, 15, 5, 0, 0}));
}

TEST_F(LocalTime, SkippedHourUsesTheOffsetBeforeTheChange) {
  UseZone(kCentralEurope);
  // 2021-03-28: clocks go from 02:00 CET to 03:00 CEST; 02:30 does not exist.
  const auto skipped = CW4DateTime::FromLocalFields({2021, 3, 28, 2, 30, 0});
  ASSERT_TRUE(skipped);
  EXPECT_EQ(Utc(*skipped), (Fields{2021, 3, 28, 1, 30, 0}));
  EXPECT_EQ(Local(*skipped), (Fields{2021, 3, 28, 3, 30, 0}));
  // Either side of the gap is unambiguous.
  EXPECT_EQ(Utc(*CW4DateTime::FromLocalFields({2021, 3, 28, 1, 59, 59})),
            (Fields{2021, 3, 28, 0, 59, 59}));
  EXPECT_EQ(Utc(*CW4DateTime::FromLocalFields({2021, 3, 28, 3, 0, 0})),
            (Fields{2021, 3, 28, 1, 0, 0}));
}

TEST_F(LocalTime, RepeatedHourGivesTheEarlierInstant) {
  UseZone(kCentralEurope);
  // 2021-10-31: clocks go back from 03:00 CEST to 02:00 CET; 02:30 occurs
  // at 00:30 UTC and again at 01:30 UTC.
  const auto repeated = CW4DateTime::FromLocalFields({2021, 10, 31, 2, 30, 0});
  ASSERT_TRUE(repeated);
  EXPECT_EQ(Utc(*repeated), (Fields{2021, 10, 31, 0, 30, 0}));
  EXPECT_EQ(Utc(*CW4DateTime::FromLocalFields({2021, 10, 31, 3, 0, 0})),
            (Fields{2021, 10, 31, 2, 0, 0}));
}

TEST_F(LocalTime, LocalTimesAtTheEndsOfTheRange) {
  UseZone(kCentralEurope);
  // 1601-01-01 00:30 CET is 1600-12-31 23:30 UTC: before the first instant.
  EXPECT_FALSE(CW4DateTime::FromLocalFields({1601, 1, 1, 0, 30, 0}));
  EXPECT_EQ(Utc(*CW4DateTime::FromLocalFields({1601, 1, 1, 1, 0, 0})),
            (Fields{1601, 1, 1, 0, 0, 0}));
  EXPECT_EQ(Utc(*CW4DateTime::FromLocalFields({9999, 12, 31, 23, 59, 59})),
            (Fields{9999, 12, 31, 22, 59, 59}));
  // The last instant shows as year 10000 locally, which the fields still carry.
  EXPECT_EQ(Local(*CW4DateTime::FromSeconds(265046774399)), (Fields{10000, 1, 1, 0, 59, 59}));
}

}  // namespace
}  // namespace W4Os
