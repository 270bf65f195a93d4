#pragma once

// The clock skew filter: estimates how far the server's clock is ahead of the
// local one from the time stamps at the head of the server's messages.

#include <cstdint>
#include <optional>

namespace QueueManager {

// Seconds since 1601-01-01 UTC; negative values stand for "no time".
using ServerSeconds = std::int64_t;
inline constexpr ServerSeconds kInvalidTime = -1;

// The time stamp of a server message header: the high and the low 32 bits of
// a count of 100-nanosecond intervals since 1601-01-01 UTC, in whole seconds;
// kInvalidTime when the count is negative (its top bit set).
ServerSeconds SecondsFromFileTime(std::uint32_t high, std::uint32_t low);
// The local system clock, in the same unit.
ServerSeconds LocalUtcSeconds();

// Smooths the samples "server time minus local time". The first sample sets
// the skew at once; afterwards samples accumulate, and at the end of each
// window of at least kWindowSeconds the mean replaces the skew when it rests
// on more than one sample and differs from the skew by more than
// kToleranceSeconds; otherwise the accumulator keeps the mean as its one
// sample. A local clock that steps back also ends the window.
//
// A plain value: not synchronised (the cache runs it under its lock). Time is
// passed in, so that tests control it.
class CClockSkewFilter {
 public:
  static constexpr ServerSeconds kWindowSeconds = 10;
  static constexpr std::int64_t kToleranceSeconds = 2;

  // Adds the sample (server, local). Returns the new skew when this call
  // changed it (or set it the first time).
  std::optional<std::int32_t> AddSample(ServerSeconds server, ServerSeconds local);

  std::int32_t Skew() const { return skew_; }
  std::int64_t SampleCount() const { return count_; }
  std::int64_t SampleSum() const { return sum_; }

 private:
  ServerSeconds lastCheck_ = kInvalidTime;
  std::int64_t sum_ = 0;
  std::int64_t count_ = 0;
  std::int32_t skew_ = 0;
};

}  // namespace QueueManager
