#include "attributes/ValueText.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "QueueManager/Platform/Text.h"
#include "attributes/NumberText.h"

namespace QueueManager::detail {

std::u16string InsertText(int value) { return value == 0 ? std::u16string() : DecimalText(value); }

std::u16string InsertText(std::uint32_t value) {
  return value == 0 ? std::u16string() : DecimalText(value);
}

std::u16string_view WideView(const char16_t* text) {
  return text == nullptr ? std::u16string_view() : std::u16string_view(text);
}

std::u16string WideCopy(const unsigned short* text) {
  std::u16string copy;
  if (text == nullptr) return copy;
  for (; *text != 0; ++text) copy.push_back(static_cast<char16_t>(*text));
  return copy;
}

std::u16string WideFromUtf8(std::string_view utf8) {
  std::u16string wide;
  if (!W4Os::NarrowToWide(utf8, wide)) wide.clear();
  return wide;
}

std::u16string WideFromUtf8(const char* utf8) {
  return utf8 == nullptr ? std::u16string() : WideFromUtf8(std::string_view(utf8));
}

std::u16string WideFromPlatform(std::wstring_view text) {
  static_assert(sizeof(wchar_t) == 4, "wide text of this platform is UTF-32");
  std::u16string wide;
  wide.reserve(text.size());
  for (const wchar_t unit : text) {
    const auto code = static_cast<std::uint32_t>(unit);
    if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return std::u16string();
    if (code < 0x10000) {
      wide.push_back(static_cast<char16_t>(code));
    } else {
      wide.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      wide.push_back(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    }
  }
  return wide;
}

std::u16string WideFromPlatform(const wchar_t* text) {
  return text == nullptr ? std::u16string() : WideFromPlatform(std::wstring_view(text));
}

std::u16string LongText(unsigned long value, bool zeroIsEmpty) {
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    throw std::out_of_range("unsigned long above 2^32 - 1 for a 32-bit attribute value");
  }
  if (zeroIsEmpty && value == 0) return std::u16string();
  return DecimalText(static_cast<std::uint32_t>(value));
}

std::u16string LongText(long value, bool zeroIsEmpty) {
  if (value >= 0) return LongText(static_cast<unsigned long>(value), zeroIsEmpty);
  if (value < std::numeric_limits<std::int32_t>::min()) {
    throw std::out_of_range("long below -2^31 for a 32-bit attribute value");
  }
  return DecimalText(static_cast<std::int32_t>(value));
}

}  // namespace QueueManager::detail
