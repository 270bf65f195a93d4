// Date-time values: UTC arithmetic through the exact calendar algorithms of
// CivilTime.h; local time through the C library's zone rules.

#include "QueueManager/Platform/DateTime.h"

#include <chrono>
#include <ctime>

#include "QueueManager/Platform/Simulation.h"
#include "platform/os/CivilTime.h"

namespace W4Os {
namespace {

constexpr std::int64_t kIntervalsPerSecond = 10'000'000;
static_assert(sizeof(std::time_t) >= 8, "local time conversion needs a 64-bit time_t");

// The local calendar fields of an instant, as the C library's zone rules give
// them. tzset first: localtime_r need not notice a changed TZ by itself.
std::optional<CW4DateTime::CalendarFields> LocalFieldsAt(std::int64_t secondsSince1601) {
  const auto unixTime = static_cast<std::time_t>(secondsSince1601 - civil::kUnixEpochSeconds);
  ::tzset();
  std::tm local{};
  if (::localtime_r(&unixTime, &local) == nullptr) return std::nullopt;
  return CW4DateTime::CalendarFields{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                                     local.tm_hour,        local.tm_min,     local.tm_sec};
}

// The zone's offset from UTC (local minus UTC, in seconds) at an instant.
std::optional<std::int64_t> UtcOffsetAt(std::int64_t secondsSince1601) {
  const auto local = LocalFieldsAt(secondsSince1601);
  if (!local) return std::nullopt;
  // The local fields may fall outside 1601..9999 near the ends of the range;
  // the day arithmetic is exact there too.
  const std::int64_t localSeconds =
      civil::DaysFromCivil(local->year, local->month, local->day) * civil::kSecondsPerDay +
      local->hour * 3600 + local->minute * 60 + local->second;
  return localSeconds - secondsSince1601;
}

bool InRange(std::int64_t seconds) { return seconds >= 0 && seconds <= civil::kMaxSeconds; }

}  // namespace

std::optional<CW4DateTime> CW4DateTime::FromUtcFields(const CalendarFields& utc) {
  if (!civil::IsValid(utc)) return std::nullopt;
  return CW4DateTime(civil::SecondsFromFields(utc));
}

// Offsets of real zones stay well within a day, so the offsets a day before
// and a day after the wall-clock time are those before and after any change
// near it. A candidate instant is right when the zone shows the wanted wall
// clock at it; the offset before the change is tried first, which gives the
// earlier instant of a repeated hour and also serves for a skipped one.
std::optional<CW4DateTime> CW4DateTime::FromLocalFields(const CalendarFields& local) {
  if (!civil::IsValid(local)) return std::nullopt;
  const std::int64_t wallClock = civil::SecondsFromFields(local);
  const auto offsetBefore = UtcOffsetAt(wallClock - civil::kSecondsPerDay);
  const auto offsetAfter = UtcOffsetAt(wallClock + civil::kSecondsPerDay);
  if (!offsetBefore || !offsetAfter) return std::nullopt;
  std::int64_t instant = wallClock - *offsetBefore;
  if (*offsetAfter != *offsetBefore && UtcOffsetAt(instant) != offsetBefore) {
    const std::int64_t afterChange = wallClock - *offsetAfter;
    if (UtcOffsetAt(afterChange) == offsetAfter) instant = afterChange;
  }
  return FromSeconds(instant);
}

std::optional<CW4DateTime> CW4DateTime::FromSeconds(std::int64_t secondsSince1601) {
  if (!InRange(secondsSince1601)) return std::nullopt;
  return CW4DateTime(secondsSince1601);
}

std::optional<CW4DateTime> CW4DateTime::FromFileTime(std::uint64_t intervalsSince1601) {
  const auto intervals = static_cast<std::int64_t>(intervalsSince1601);
  if (intervals < 0) return std::nullopt;
  return FromSeconds(intervals / kIntervalsPerSecond);
}

CW4DateTime CW4DateTime::Now() {
  const auto sinceUnixEpoch =
      std::chrono::floor<std::chrono::seconds>(W4Os::SystemNow().time_since_epoch());
  return CW4DateTime(sinceUnixEpoch.count() + civil::kUnixEpochSeconds);
}

bool CW4DateTime::QuerySeconds(std::int64_t& secondsSince1601) const {
  if (!IsSet()) return false;
  secondsSince1601 = seconds_;
  return true;
}

bool CW4DateTime::QueryUtcFields(CalendarFields& utc) const {
  if (!IsSet()) return false;
  utc = civil::FieldsFromSeconds(seconds_);
  return true;
}

bool CW4DateTime::QueryLocalFields(CalendarFields& local) const {
  if (!IsSet()) return false;
  const auto fields = LocalFieldsAt(seconds_);
  if (!fields) return false;
  local = *fields;
  return true;
}

bool CW4DateTime::ToFileTime(std::uint64_t& intervalsSince1601) const {
  if (!IsSet()) return false;
  intervalsSince1601 = static_cast<std::uint64_t>(seconds_ * kIntervalsPerSecond);
  return true;
}

}  // namespace W4Os
