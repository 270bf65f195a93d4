// Identifier strings: construction from narrow and 16-bit text, hashing and
// stream output.

#include "QueueManager/Platform/IdString.h"

#include <ostream>

namespace W4STD {
namespace {

std::u16string FromZeroTerminated(const unsigned short* text) {
  std::u16string result;
  if (text == nullptr) return result;
  for (; *text != 0; ++text) result.push_back(static_cast<char16_t>(*text));
  return result;
}

std::u16string FromUtf8(std::string_view utf8) {
  std::u16string wide;
  W4Os::NarrowToWide(utf8, wide);  // a failed conversion leaves it empty
  return wide;
}

}  // namespace

w4idstring::w4idstring(const char16_t* text)
    : text_(text == nullptr ? std::u16string() : std::u16string(text)) {}

w4idstring::w4idstring(const unsigned short* text) : text_(FromZeroTerminated(text)) {}

w4idstring::w4idstring(std::string_view utf8) : text_(FromUtf8(utf8)) {}

w4idstring::w4idstring(const char* utf8)
    : text_(utf8 == nullptr ? std::u16string() : FromUtf8(utf8)) {}

std::uint32_t w4idstring::hash() const {
  std::uint32_t h = 0;
  for (const char16_t unit : text_) h = h * 33u + W4Os::ToLower(unit);
  return h;
}

std::ostream& operator<<(std::ostream& out, const w4idstring& text) { return out << text.narrow(); }

}  // namespace W4STD
