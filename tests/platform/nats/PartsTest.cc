#include "platform/nats/Parts.h"

#include <gtest/gtest.h>

#include <numeric>

namespace W4Notifier::nats {
namespace {

using Clock = PartJoiner::Clock;

std::vector<std::uint8_t> Bytes(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), std::uint8_t{1});
  return bytes;
}

TEST(NatsPartsTest, SplitsAndJoinsBackAroundTheLimit) {
  constexpr std::size_t kRoom = 100;
  for (const std::size_t size : {0, 1, 99, 100, 101, 199, 200, 201, 1000}) {
    SCOPED_TRACE(size);
    const std::vector<std::uint8_t> message = Bytes(size);
    const auto parts = SplitPayload(message, kRoom);
    ASSERT_EQ(parts.size(), std::max<std::size_t>(1, (size + kRoom - 1) / kRoom));
    if (parts.size() == 1) continue;  // sent whole
    PartJoiner joiner;
    PartJoiner::Outcome outcome;
    for (std::uint32_t i = 0; i < parts.size(); ++i) {
      ASSERT_FALSE(outcome.whole);
      const PartHeader header{7, i + 1, static_cast<std::uint32_t>(parts.size()), size};
      const PartHeaderText text = FormatPart(header);
      ASSERT_EQ(ParsePartHeader(text.id, text.part, text.total), header);
      outcome = joiner.Add("s", header, parts[i], Clock::now());
      EXPECT_TRUE(outcome.dropped.empty());
    }
    EXPECT_EQ(outcome.whole, message);
    EXPECT_EQ(joiner.Joins(), 0u);
    EXPECT_EQ(joiner.Bytes(), 0u);
  }
  EXPECT_TRUE(SplitPayload(Bytes(kMaxParts * std::size_t{2} + 1), 2).empty());
}

TEST(NatsPartsTest, RefusesHeadersNoSenderWrites) {
  const std::string big = std::to_string(kMaxMessageBytes + 1);
  const std::string many = "1/" + std::to_string(kMaxParts + 1);
  const char* rows[][3] = {{"1", "0/2", "5"},        {"1", "3/2", "5"},  {"1", "1/1", "5"},
                           {"1", "01/2", "5"},       {"1", "1/2x", "5"}, {"", "1/2", "5"},
                           {"1", "12", "5"},         {"1", "1/2", "-5"}, {"1", many.c_str(), "5"},
                           {"1", "1/2", big.c_str()}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row[1]) + " " + row[2]);
    EXPECT_FALSE(ParsePartHeader(row[0], row[1], row[2]));
  }
}

// A part as a hostile or broken sender might send it.
struct Step {
  const char* stream;
  std::uint64_t id;
  std::uint32_t index;
  std::uint32_t count;
  std::uint64_t total;
  std::size_t size;
  int ageSeconds = 0;  // how long ago it came
};

struct HostileRow {
  const char* name;
  std::vector<Step> steps;
  const char* why;  // the last reason a join was given up for
  std::size_t joinsLeft;
};

TEST(NatsPartsTest, GivesUpJoinsThatCannotComplete) {
  PartJoiner::Limits limits;
  limits.maxBytes = 250;
  limits.maxJoins = 2;
  const HostileRow rows[] = {
      {"unknown", {{"s", 1, 2, 3, 30, 10}}, "without the ones before", 0},
      {"duplicate", {{"s", 1, 1, 3, 30, 10}, {"s", 1, 1, 3, 30, 10}}, "came twice", 0},
      {"missing", {{"s", 1, 1, 3, 30, 10}, {"s", 1, 3, 3, 30, 10}}, "missing", 0},
      {"short", {{"s", 1, 1, 2, 30, 10}, {"s", 1, 2, 2, 30, 10}}, "smaller", 0},
      {"long", {{"s", 1, 1, 2, 30, 20}, {"s", 1, 2, 2, 30, 20}}, "larger", 0},
      {"first too long", {{"s", 1, 1, 2, 30, 31}}, "larger", 0},
      {"size changes", {{"s", 1, 1, 2, 30, 10}, {"s", 1, 2, 3, 30, 10}}, "disagree", 0},
      {"interleaved", {{"s", 1, 1, 2, 30, 10}, {"s", 2, 1, 2, 30, 10}}, "another message", 1},
      {"too many joins",
       {{"a", 1, 1, 2, 30, 10}, {"b", 2, 1, 2, 30, 10}, {"c", 3, 1, 2, 30, 10}},
       "too many joins",
       2},
      {"too many bytes", {{"a", 1, 1, 3, 300, 200}, {"b", 2, 1, 3, 300, 100}}, "too many bytes", 1},
      {"one too big", {{"a", 1, 1, 3, 300, 200}, {"a", 1, 2, 3, 300, 60}}, "joins may hold", 0},
      {"stalled", {{"a", 1, 1, 2, 30, 10, 60}, {"b", 2, 1, 2, 30, 10}}, "stopped coming", 1},
  };
  const auto now = Clock::now();
  for (const HostileRow& row : rows) {
    SCOPED_TRACE(row.name);
    PartJoiner joiner(limits);
    std::string why;
    for (const Step& step : row.steps) {
      const std::vector<std::uint8_t> bytes = Bytes(step.size);
      const auto outcome = joiner.Add(step.stream, {step.id, step.index, step.count, step.total},
                                      bytes, now - std::chrono::seconds(step.ageSeconds));
      EXPECT_FALSE(outcome.whole);
      if (!outcome.dropped.empty()) why = outcome.dropped.back().why;
      EXPECT_LE(joiner.Bytes(), limits.maxBytes);
    }
    EXPECT_NE(why.find(row.why), std::string::npos) << why;
    EXPECT_EQ(joiner.Joins(), row.joinsLeft);
  }
}

}  // namespace
}  // namespace W4Notifier::nats
