#pragma once

// Exact proleptic Gregorian calendar arithmetic on day and second counts
// since 1601-01-01 00:00:00 (no time_t involved, so every year 1601-9999 works
// whatever the C library supports). Internal to the OS layer.

#include <cstdint>

#include "QueueManager/Platform/DateTime.h"

namespace W4Os::civil {

inline constexpr std::int64_t kSecondsPerDay = 86400;
// Seconds from 1601-01-01 to the Unix epoch 1970-01-01.
inline constexpr std::int64_t kUnixEpochSeconds = 11644473600;

constexpr bool IsLeapYear(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr int DaysInMonth(std::int64_t year, int month) {
  constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1601-01-01 to year-month-day. Counts years from March so that
// the leap day ends a year; eras are 400-year cycles of 146097 days.
// Dates before 1601 give negative counts. REQUIRES: month 1-12, day 1-31.
constexpr std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  const std::int64_t y = year - 1600 - (month <= 2 ? 1 : 0);  // years since 1600-03-01
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;      // rounded down
  const std::int64_t yearOfEra = y - era * 400;
  const std::int64_t monthFromMarch = (month + 9) % 12;
  const std::int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  constexpr std::int64_t kMarch1600To1601 = 306;  // 1600-03-01 .. 1601-01-01
  return era * 146097 + dayOfEra - kMarch1600To1601;
}

struct Date {
  std::int64_t year;
  int month;
  int day;
};

// Inverse of DaysFromCivil. REQUIRES: days >= 0.
constexpr Date CivilFromDays(std::int64_t days) {
  const std::int64_t sinceMarch1600 = days + 306;
  const std::int64_t era = sinceMarch1600 / 146097;
  const std::int64_t dayOfEra = sinceMarch1600 - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const int day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  const int month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  const std::int64_t year = 1600 + era * 400 + yearOfEra + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

// Whether the fields form a date-time of the supported range.
constexpr bool IsValid(const CW4DateTime::CalendarFields& f) {
  return f.year >= 1601 && f.year <= 9999 && f.month >= 1 && f.month <= 12 && f.day >= 1 &&
         f.day <= DaysInMonth(f.year, f.month) && f.hour >= 0 && f.hour <= 23 && f.minute >= 0 &&
         f.minute <= 59 && f.second >= 0 && f.second <= 59;
}

// Seconds since 1601 of the fields read as UTC. REQUIRES: IsValid(f).
constexpr std::int64_t SecondsFromFields(const CW4DateTime::CalendarFields& f) {
  return DaysFromCivil(f.year, f.month, f.day) * kSecondsPerDay + f.hour * 3600 + f.minute * 60 +
         f.second;
}

// REQUIRES: seconds >= 0 (and within the year range of int).
constexpr CW4DateTime::CalendarFields FieldsFromSeconds(std::int64_t seconds) {
  const Date date = CivilFromDays(seconds / kSecondsPerDay);
  const auto secondOfDay = static_cast<int>(seconds % kSecondsPerDay);
  return {static_cast<int>(date.year), date.month,      date.day, secondOfDay / 3600,
          secondOfDay / 60 % 60,       secondOfDay % 60};
}

inline constexpr std::int64_t kMaxSeconds = SecondsFromFields({9999, 12, 31, 23, 59, 59});

static_assert(DaysFromCivil(1601, 1, 1) == 0);
static_assert(DaysFromCivil(1600, 2, 29) == -307);
static_assert(DaysFromCivil(1970, 1, 1) * kSecondsPerDay == kUnixEpochSeconds);
static_assert(CivilFromDays(DaysFromCivil(2000, 2, 29)).day == 29);

}  // namespace W4Os::civil
