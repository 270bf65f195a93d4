#include "monitor/ClockSkew.h"
#include "QueueManager/Platform/Simulation.h"

#include <algorithm>
#include <chrono>
#include <limits>

namespace QueueManager {
namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kUnixEpochOffset = 11644473600;
constexpr std::int64_t kIntervalsPerSecond = 10000000;

std::int32_t ClampToInt32(std::int64_t value) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

// The difference of two times, 0 when either is no time.
std::int64_t Difference(ServerSeconds a, ServerSeconds b) {
  if (a < 0 || b < 0) return 0;
  return a - b;
}

}  // namespace

ServerSeconds SecondsFromFileTime(std::uint32_t high, std::uint32_t low) {
  const auto count = static_cast<std::int64_t>((static_cast<std::uint64_t>(high) << 32) |
                                               static_cast<std::uint64_t>(low));
  if (count < 0) return kInvalidTime;
  return count / kIntervalsPerSecond;
}

ServerSeconds LocalUtcSeconds() {
  const auto sinceUnixEpoch =
      std::chrono::duration_cast<std::chrono::seconds>(W4Os::SystemNow().time_since_epoch());
  return sinceUnixEpoch.count() + kUnixEpochOffset;
}

std::optional<std::int32_t> CClockSkewFilter::AddSample(ServerSeconds server, ServerSeconds local) {
  const std::int32_t sample = ClampToInt32(Difference(server, local));
  sum_ += sample;
  ++count_;
  if (lastCheck_ < 0) {
    lastCheck_ = local;
    skew_ = sample;
    sum_ = 0;
    count_ = 0;
    return skew_;
  }
  const std::int64_t elapsed = local - lastCheck_;
  // A clock that stepped back ends the window too: waiting for it to catch
  // up would freeze the skew for as long as it stepped.
  if (elapsed >= 0 && elapsed < kWindowSeconds) return std::nullopt;
  const std::int64_t average = sum_ / count_;
  lastCheck_ = local;
  const std::int64_t difference = static_cast<std::int64_t>(skew_) - average;
  if (count_ > 1 && (difference < -kToleranceSeconds || difference > kToleranceSeconds)) {
    sum_ = 0;
    count_ = 0;
    skew_ = ClampToInt32(average);
    return skew_;
  }
  count_ = 1;
  sum_ = average;
  return std::nullopt;
}

}  // namespace QueueManager
