// The clock skew filter, fed with chosen times.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "monitor/ClockSkew.h"

namespace QueueManager {
namespace {

// One sample: the local time and the server's offset from it; the skew
// expected after the sample.
struct Sample {
  ServerSeconds local;
  std::int64_t offset;  // server - local
  std::int32_t skew;
};

struct FilterCase {
  const char* name;
  std::vector<Sample> samples;
};

class ClockSkewFilterTest : public ::testing::TestWithParam<FilterCase> {};

TEST_P(ClockSkewFilterTest, FollowsTheWindows) {
  CClockSkewFilter filter;
  int step = 0;
  for (const Sample& sample : GetParam().samples) {
    filter.AddSample(sample.local + sample.offset, sample.local);
    EXPECT_EQ(filter.Skew(), sample.skew) << "after sample " << step;
    ++step;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Windows, ClockSkewFilterTest,
    ::testing::Values(
        FilterCase{"FirstSampleSetsTheSkewAtOnce", {{1000, 500, 500}}},
        FilterCase{"AgreeingSamplesNeverChangeIt",
                   {{1000, 500, 500},
                    {1004, 502, 500},
                    {1012, 498, 500},
                    {1030, 502, 500},
                    {1050, 498, 500},
                    {1090, 502, 500}}},
        FilterCase{"ASingleSampleInTheFirstWindowNeverChangesIt",
                   {{1000, 0, 0}, {1011, 10, 0}, {1015, 10, 0}, {1021, 10, 10}}},
        FilterCase{"TheCollapsedMeanCountsInTheNextWindow",
                   {{1000, 0, 0}, {1011, 0, 0}, {1022, 9, 4}}},
        FilterCase{"ThreeSecondsOffIsEnough", {{1000, 0, 0}, {1001, 3, 0}, {1010, 3, 3}}},
        FilterCase{"TwoSecondsOffIsNot", {{1000, 0, 0}, {1001, 2, 0}, {1010, 2, 0}}},
        FilterCase{"NegativeMeansTruncateTowardZero",
                   {{1000, 0, 0}, {1001, -3, 0}, {1010, -4, -3}}},
        FilterCase{"AClockSteppingBackEndsTheWindow", {{1000, 0, 0}, {1005, 20, 0}, {900, 20, 20}}},
        // The local times lie far enough from 1601 for the server times to
        // stay valid.
        FilterCase{"HugeDifferencesClampTo32Bits",
                   {{6'000'001'000, 5'000'000'000, INT32_MAX},
                    {6'000'001'001, -5'000'000'000, INT32_MAX},
                    {6'000'001'002, -5'000'000'000, INT32_MAX},
                    {6'000'001'012, -5'000'000'000, INT32_MIN}}}),
    [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(ClockSkewFilter, NoServerTimeCountsAsASampleOfZero) {
  CClockSkewFilter filter;
  EXPECT_EQ(filter.AddSample(kInvalidTime, 1000), 0);
  filter.AddSample(1001 + 30, 1001);
  EXPECT_EQ(filter.AddSample(kInvalidTime, 1012), 15);  // mean of 30 and 0
}

TEST(ClockSkewFilter, ReportsOnlyChanges) {
  CClockSkewFilter filter;
  EXPECT_EQ(filter.AddSample(1007, 1000), 7);
  EXPECT_EQ(filter.AddSample(1008, 1001), std::nullopt);
  EXPECT_EQ(filter.AddSample(1019, 1011), std::nullopt);  // mean 7.5 -> 7: agrees
  EXPECT_EQ(filter.SampleCount(), 1);
  EXPECT_EQ(filter.SampleSum(), 7);
}

TEST(ClockSkewFilter, FileTimesConvertToSeconds) {
  EXPECT_EQ(SecondsFromFileTime(0, 10'000'000), 1);
  EXPECT_EQ(SecondsFromFileTime(0, 9'999'999), 0);
  EXPECT_EQ(SecondsFromFileTime(0x80000000u, 0), kInvalidTime);
  EXPECT_EQ(SecondsFromFileTime(0x7FFFFFFFu, 0xFFFFFFFFu), INT64_MAX / 10'000'000);
  // 1970-01-01 is 11644473600 seconds after 1601-01-01.
  EXPECT_GT(LocalUtcSeconds(), 11644473600 + 1'700'000'000);
}

}  // namespace
}  // namespace QueueManager
