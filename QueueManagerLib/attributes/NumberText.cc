#include "attributes/NumberText.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace QueueManager::detail {
namespace {

// Larger than every magnitude a 32-bit result can hold, and small enough that
// ten times it plus a digit still fits in 64 bits: accumulating saturates here.
constexpr std::uint64_t kSaturatedMagnitude = std::uint64_t{1} << 33;

// What the scan of "[white space][sign]digits" found.
struct CDecimalScan {
  bool negative = false;
  std::uint64_t magnitude = 0;  // saturated at kSaturatedMagnitude
  std::size_t stop = 0;         // after the last digit; 0 when there was none
};

CDecimalScan ScanDecimal(std::u16string_view text) {
  CDecimalScan scan;
  std::size_t pos = 0;
  while (pos < text.size() && IsCLocaleSpace(text[pos])) ++pos;
  if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-')) {
    scan.negative = text[pos] == u'-';
    ++pos;
  }
  const std::size_t firstDigit = pos;
  for (; pos < text.size() && IsDecimalDigit(text[pos]); ++pos) {
    const auto digit = static_cast<std::uint64_t>(text[pos] - u'0');
    scan.magnitude = std::min(scan.magnitude * 10 + digit, kSaturatedMagnitude);
  }
  // Without a digit nothing was converted: the end is the start of the text,
  // even after white space and a sign.
  scan.stop = pos > firstDigit ? pos : 0;
  return scan;
}

std::int32_t SignedResult(const CDecimalScan& scan) {
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  const auto magnitude = static_cast<std::int64_t>(scan.magnitude);
  return static_cast<std::int32_t>(scan.negative ? std::max(-magnitude, kMin)
                                                 : std::min(magnitude, kMax));
}

std::uint32_t UnsignedResult(const CDecimalScan& scan) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint32_t>::max();
  if (scan.magnitude > kMax) return static_cast<std::uint32_t>(kMax);
  const auto magnitude = static_cast<std::uint32_t>(scan.magnitude);
  return scan.negative ? 0u - magnitude : magnitude;
}

template <class T>
std::u16string WidenedDecimal(T value) {
  char digits[16];
  const auto result = std::to_chars(std::begin(digits), std::end(digits), value);
  return std::u16string(digits, result.ptr);
}

}  // namespace

CParsedNumber<std::int32_t> ParseInt32(std::u16string_view text) {
  const CDecimalScan scan = ScanDecimal(text);
  return {SignedResult(scan), scan.stop == text.size()};
}

CParsedNumber<std::uint32_t> ParseUInt32(std::u16string_view text) {
  const CDecimalScan scan = ScanDecimal(text);
  return {UnsignedResult(scan), scan.stop == text.size()};
}

std::u16string DecimalText(std::int32_t value) { return WidenedDecimal(value); }

std::u16string DecimalText(std::uint32_t value) { return WidenedDecimal(value); }

}  // namespace QueueManager::detail
