#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace W4Os::testing {

// Sets the process time zone (a POSIX TZ value) and restores the previous
// one when it goes out of scope.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    Use(zone);
  }
  ~ScopedTimeZone() {
    if (saved_) {
      ::setenv("TZ", saved_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  ScopedTimeZone(const ScopedTimeZone&) = delete;
  ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

  static void Use(const char* zone) {
    ::setenv("TZ", zone, 1);
    ::tzset();
  }

 private:
  std::optional<std::string> saved_;
};

// Central European time: UTC+1, summer time UTC+2 from the last Sunday of
// March 02:00 to the last Sunday of October 03:00 local time.
inline constexpr const char* kCentralEurope = "CET-1CEST,M3.5.0,M10.5.0/3";

}  // namespace W4Os::testing
