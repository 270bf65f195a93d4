#pragma once

// Date-time values: whole seconds since 1601-01-01 00:00:00 UTC, with
// conversion from and to calendar fields in UTC and in the machine's local
// time zone.

#include <compare>
#include <cstdint>
#include <optional>

#include "QueueManager/Export.h"

namespace W4Os {

/// A point in time in whole seconds since 1601-01-01 00:00:00 UTC, or "not
/// set". Values run from 1601-01-01 00:00:00 to 9999-12-31 23:59:59 UTC. A
/// value type: immutable once built, safe to share between threads.
///
/// Builders return std::nullopt when their input does not give a time in that
/// range; queries return false when the value is not set.
class QM_EXPORT CW4DateTime {
 public:
  /// Gregorian calendar fields: month 1-12, day 1-31, hour 0-23, minute and
  /// second 0-59 (no leap seconds).
  struct CalendarFields {
    /// The fields, compared field by field.
    ///@{
    int year = 0;
    int month = 0;
    int day = 0;
    int hour = 0;
    int minute = 0;
    int second = 0;
    friend bool operator==(const CalendarFields&, const CalendarFields&) = default;
    ///@}
  };

  /// Not set.
  CW4DateTime() = default;

  /// From UTC calendar fields; std::nullopt when the fields name no instant in range.
  ///@{
  static std::optional<CW4DateTime> FromUtcFields(const CalendarFields& utc);
  ///@}
  /// Local time of the machine's zone (the C library's rules, TZ honoured,
  /// daylight saving included). A local time that occurs twice (the hour
  /// repeated when the clocks go back) gives the earlier instant; one that
  /// does not occur (skipped when the clocks go forward) is read with the
  /// offset in force before the change, so 02:30 in a 02:00 -> 03:00 gap
  /// gives the instant shown as 03:30 afterwards.
  ///@{
  static std::optional<CW4DateTime> FromLocalFields(const CalendarFields& local);
  ///@}
  /// From seconds since 1601-01-01 UTC; std::nullopt when out of range.
  static std::optional<CW4DateTime> FromSeconds(std::int64_t secondsSince1601);
  /// From a count of 100-nanosecond intervals since 1601-01-01 UTC, truncated
  /// to whole seconds. A count that is negative when read as signed 64-bit
  /// gives std::nullopt.
  static std::optional<CW4DateTime> FromFileTime(std::uint64_t intervalsSince1601);
  /// The system clock, in UTC, truncated to whole seconds.
  static CW4DateTime Now();

  /// Whether a time is set; the seconds since 1601-01-01 UTC, and the UTC calendar fields (false
  /// when not set).
  ///@{
  bool IsSet() const { return seconds_ != kNotSet; }
  bool QuerySeconds(std::int64_t& secondsSince1601) const;
  bool QueryUtcFields(CalendarFields& utc) const;
  ///@}
  /// False also when the C library cannot convert the instant.
  bool QueryLocalFields(CalendarFields& local) const;
  /// 100-nanosecond intervals since 1601-01-01 UTC.
  bool ToFileTime(std::uint64_t& intervalsSince1601) const;

  /// Orders by instant; a value that is not set orders before every set one
  /// and equals another that is not set.
  ///@{
  friend std::strong_ordering operator<=>(const CW4DateTime&, const CW4DateTime&) = default;
  friend bool operator==(const CW4DateTime&, const CW4DateTime&) = default;
  ///@}

 private:
  static constexpr std::int64_t kNotSet = -1;
  explicit CW4DateTime(std::int64_t seconds) : seconds_(seconds) {}

  std::int64_t seconds_ = kNotSet;
};

}  // namespace W4Os
