#include "QueueManager/Platform/DateTime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <tuple>

#include "platform/os/ScopedTimeZone.h"

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

// The default is not set and orders first; Now() follows the system clock.
TEST(CW4DateTime, DefaultIsNotSetAndUtcFieldsGiveTheirInstants) {
  const CW4DateTime unset;
  Fields fields;
  std::int64_t seconds = 0;
  std::uint64_t intervals = 0;
  EXPECT_FALSE(unset.IsSet());
  EXPECT_FALSE(unset.QuerySeconds(seconds) || unset.QueryUtcFields(fields) ||
               unset.QueryLocalFields(fields) || unset.ToFileTime(intervals));
  EXPECT_EQ(unset, CW4DateTime());
  EXPECT_LT(unset, *CW4DateTime::FromSeconds(0));
  const auto early = *CW4DateTime::FromUtcFields({2020, 1, 1, 0, 0, 0});
  const auto late = *CW4DateTime::FromUtcFields({2020, 1, 1, 0, 0, 1});
  EXPECT_LT(early, late);
  EXPECT_NE(early, late);
  EXPECT_EQ(early, *CW4DateTime::FromSeconds(Seconds(early)));
  const auto before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const std::int64_t now = Seconds(CW4DateTime::Now()) - 11644473600;
  EXPECT_GE(now, before);
  EXPECT_LE(now, std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));

  // UTC fields give the instants they name, and round-trip across the range.
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({1601, 1, 1, 0, 0, 0})), 0);
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({1970, 1, 1, 0, 0, 0})), 11644473600);
  // 2007-01-02 03:04:05 UTC is Unix time 1167707045.
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({2007, 1, 2, 3, 4, 5})), 11644473600 + 1167707045);
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({9999, 12, 31, 23, 59, 59})), 265046774399);

  const Fields samples[] = {{1601, 1, 1, 0, 0, 0},    {1601, 12, 31, 23, 59, 59},
                            {1700, 2, 28, 12, 0, 0},  {1900, 3, 1, 0, 0, 1},
                            {2000, 2, 29, 6, 30, 15}, {2024, 12, 31, 23, 59, 59},
                            {2100, 3, 1, 0, 0, 0},    {9999, 12, 31, 23, 59, 59}};
  for (const Fields& sample : samples) {
    const auto time = CW4DateTime::FromUtcFields(sample);
    ASSERT_TRUE(time) << sample.year << "-" << sample.month << "-" << sample.day;
    EXPECT_EQ(Utc(*time), sample) << sample.year << "-" << sample.month << "-" << sample.day;
  }
  // Consecutive days stay consecutive over leap days and century years.
  for (std::int64_t day = 0; day < 3 * 146097; day += 37) {
    const auto time = CW4DateTime::FromSeconds(day * 86400);
    ASSERT_TRUE(time);
    EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields(Utc(*time))), day * 86400);
  }
}

TEST(CW4DateTime, RejectsInvalidFieldsSecondsAndFileTimes) {
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

  // Seconds and file times have limits too.
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

// Local fields to the UTC fields of the instant they give; none: no instant.

TEST(CW4DateTime, LocalFieldsApplyTheZoneOffsetOfTheirDay) {
  const char* const cet = testing::kCentralEurope;
  const std::tuple<const char*, Fields, std::optional<Fields>> cases[] = {
      {"UTC0", {2007, 1, 2, 3, 4, 5}, Fields{2007, 1, 2, 3, 4, 5}},
      {cet, {2021, 1, 15, 12, 0, 0}, Fields{2021, 1, 15, 11, 0, 0}},  // winter
      {cet, {2021, 7, 15, 12, 0, 0}, Fields{2021, 7, 15, 10, 0, 0}},  // summer
      // 2021-03-28: 02:00 CET jumps to 03:00 CEST; the skipped 02:30 takes
      // the offset before the change.
      {cet, {2021, 3, 28, 2, 30, 0}, Fields{2021, 3, 28, 1, 30, 0}},
      {cet, {2021, 3, 28, 1, 59, 59}, Fields{2021, 3, 28, 0, 59, 59}},
      {cet, {2021, 3, 28, 3, 0, 0}, Fields{2021, 3, 28, 1, 0, 0}},
      // 2021-10-31: 03:00 CEST goes back to 02:00 CET; the repeated 02:30
      // gives the earlier instant.
      {cet, {2021, 10, 31, 2, 30, 0}, Fields{2021, 10, 31, 0, 30, 0}},
      {cet, {2021, 10, 31, 3, 0, 0}, Fields{2021, 10, 31, 2, 0, 0}},
      // 1601-01-01 00:30 CET is before the first instant.
      {cet, {1601, 1, 1, 0, 30, 0}, std::nullopt},
      {cet, {1601, 1, 1, 1, 0, 0}, Fields{1601, 1, 1, 0, 0, 0}},
      {cet, {9999, 12, 31, 23, 59, 59}, Fields{9999, 12, 31, 22, 59, 59}},
  };
  for (const auto& [timeZone, local, utc] : cases) {
    const testing::ScopedTimeZone zone(timeZone);
    const auto time = CW4DateTime::FromLocalFields(local);
    SCOPED_TRACE(::testing::Message() << timeZone << " " << local.year << "-" << local.month << "-"
                                      << local.day << " " << local.hour);
    ASSERT_EQ(time.has_value(), utc.has_value());
    if (time) {
      EXPECT_EQ(Utc(*time), *utc);
    }
  }

  // The local fields of an instant follow the current zone.
  testing::ScopedTimeZone zone(testing::kCentralEurope);
  const auto summer = *CW4DateTime::FromUtcFields({2021, 7, 15, 10, 0, 0});
  EXPECT_EQ(Local(summer), (Fields{2021, 7, 15, 12, 0, 0}));
  // The skipped hour shows as the hour after the change.
  EXPECT_EQ(Local(*CW4DateTime::FromUtcFields({2021, 3, 28, 1, 30, 0})),
            (Fields{2021, 3, 28, 3, 30, 0}));
  // The last instant shows as year 10000 locally, which the fields still carry.
  EXPECT_EQ(Local(*CW4DateTime::FromSeconds(265046774399)), (Fields{10000, 1, 1, 0, 59, 59}));
  testing::ScopedTimeZone::Use("EST5");  // picked up without restarting
  EXPECT_EQ(Local(summer), (Fields{2021, 7, 15, 5, 0, 0}));
}

}  // namespace
}  // namespace W4Os
