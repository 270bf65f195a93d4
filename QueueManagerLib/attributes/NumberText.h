#pragma once

// Decimal text of attribute values: numbers are parsed by the rules of the C
// library's wcstol/wcstoul in base 10 with a 32-bit long, and written as plain
// decimal digits. Free functions without shared state: thread-safe.

#include <cstdint>
#include <string>
#include <string_view>

namespace QueueManager::detail {

// A number parsed from a whole text: the value the C library returns and
// whether the conversion stopped at the end of the text.
template <class T>
struct CParsedNumber {
  T value = 0;
  bool valid = false;
};

// White space as the C locale's iswspace sees it: U+0009..U+000D and U+0020.
// Deliberately only these: other blanks (U+0085, U+00A0, U+3000, ...) stop a
// conversion, so that a value reads the same whatever the process locale.
inline bool IsCLocaleSpace(char16_t c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); }

// Only the ASCII digits count, as for wcstol in every locale.
inline bool IsDecimalDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

// wcstol(text, &end, 10) with a 32-bit long: leading white space, an optional
// sign and digits; out-of-range values saturate. A text without digits gives
// 0 and stops at its start, so it is valid only when empty.
CParsedNumber<std::int32_t> ParseInt32(std::u16string_view text);

// wcstoul(text, &end, 10) with a 32-bit unsigned long: as ParseInt32, but a
// "-" negates modulo 2^32 ("-1" gives 4294967295) and a magnitude above
// 4294967295 gives 4294967295 whatever the sign.
CParsedNumber<std::uint32_t> ParseUInt32(std::u16string_view text);

// Decimal digits with a leading "-" for negative numbers; zero is "0".
std::u16string DecimalText(std::int32_t value);
std::u16string DecimalText(std::uint32_t value);

}  // namespace QueueManager::detail
