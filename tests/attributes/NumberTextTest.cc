// Number parsing of attribute values, checked against the C library's own
// wcstoll/wcstoull read as a platform with a 32-bit long would read them, on
// texts that reach every edge: white space, signs, limits, trailing text.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cwchar>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/Text.h"

namespace QueueManager {
namespace {

struct CReference {
  std::int32_t signedValue = 0;
  std::uint32_t unsignedValue = 0;
  bool valid = false;
};

// wcstoll/wcstoull over the code units, narrowed to what wcstol/wcstoul give
// with a 32-bit long.
CReference LibraryAnswer(const std::u16string& text) {
  const std::wstring wide(text.begin(), text.end());
  wchar_t* end = nullptr;
  errno = 0;
  const long long asSigned = std::wcstoll(wide.c_str(), &end, 10);
  CReference answer;
  answer.valid = end == wide.c_str() + wide.size();
  answer.signedValue =
      static_cast<std::int32_t>(std::clamp<long long>(asSigned, INT32_MIN, INT32_MAX));
  errno = 0;
  const unsigned long long asUnsigned = std::wcstoull(wide.c_str(), &end, 10);
  const bool magnitudeOverflow = errno == ERANGE;
  // wcstoull negates a "-" number modulo 2^64; wcstoll tells the sign.
  const bool negative = asSigned < 0;
  const unsigned long long magnitude = negative ? 0ULL - asUnsigned : asUnsigned;
  if (magnitudeOverflow || magnitude > UINT32_MAX) {
    answer.unsignedValue = UINT32_MAX;
  } else {
    const auto low = static_cast<std::uint32_t>(magnitude);
    answer.unsignedValue = negative ? 0u - low : low;
  }
  return answer;
}

// Random texts built from pieces that exercise every branch of the
// conversion: white space of the C locale and other blanks, signs, digit runs
// around the 32- and 64-bit limits, letters and non-ASCII code units.
class CTextGenerator {
 public:
  explicit CTextGenerator(std::uint32_t seed) : random_(seed) {}

  // Half of the texts have the shape of a number with some noise around it,
  // the other half are any mix of pieces.
  std::u16string Next() {
    std::u16string text;
    if (Pick(2) == 0) {
      for (int i = Pick(3); i > 0; --i) text += Piece();
      text += std::u16string_view(u" +-").substr(static_cast<std::size_t>(Pick(3)), 1);
      text += Digits(Pick(13));
      if (Pick(3) == 0) text += Piece();
      return text;
    }
    for (int i = Pick(7); i > 0; --i) text += Piece();
    return text;
  }

 private:
  int Pick(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random_); }

  std::u16string Digits(int count) {
    std::u16string digits;
    for (int i = 0; i < count; ++i) digits += static_cast<char16_t>(u'0' + Pick(10));
    return digits;
  }

  std::u16string Piece() {
    // Blanks in and outside the C locale, signs, letters, non-ASCII digits,
    // lone surrogates, numbers at the limits and U+0000.
    static const std::vector<std::u16string> kFixed = [] {
      std::vector<std::u16string> pieces = {
          u" ",      u"\t",     u"\n",     u"\v",     u"\f",     u"\r",           u"\u00A0",
          u"\u3000", u"\u0085", u"\u2003", u"+",      u"-",      u"+-",           u"a",
          u"Z",      u"x1",     u"\u0660", u"\uFF11", u"\u00E9", u"\xD83D\xDE00", u"\xD800",
          u"\xDC00", u"|"};
      for (const char16_t* number : {u"0", u"00000", u"2147483647", u"2147483648", u"4294967295",
                                     u"4294967296", u"18446744073709551615"}) {
        pieces.emplace_back(number);
      }
      pieces.emplace_back(1, u'\0');
      return pieces;
    }();
    switch (Pick(4)) {
      case 0:
        return Digits(1 + Pick(3));
      case 1:
        return Digits(1 + Pick(25));
      default:
        return kFixed[static_cast<std::size_t>(Pick(static_cast<int>(kFixed.size())))];
    }
  }

  std::mt19937 random_;
};

TEST(NumberText, AgreesWithTheCLibraryOnRandomTexts) {
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  CTextGenerator generator(20240611);
  for (int i = 0; i < 60000; ++i) {
    const std::u16string text = generator.Next();
    const CReference expected = LibraryAnswer(text);
    const CQmAttributeValue value(text);
    int asInt = 0;
    std::uint32_t asUnsigned = 0;
    const bool intValid = value.Query(asInt);
    const bool unsignedValid = value.Query(asUnsigned);
    ASSERT_EQ(std::make_tuple(asInt, intValid, asUnsigned, unsignedValid, value.QueryInt(),
                              value.QueryUnsigned()),
              std::make_tuple(expected.signedValue, expected.valid, expected.unsignedValue,
                              expected.valid, expected.signedValue, expected.unsignedValue))
        << W4Os::WideToNarrowLossy(text);
  }
}

}  // namespace
}  // namespace QueueManager
