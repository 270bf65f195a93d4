// UTF-8 <-> UTF-16 conversion, strict and lossy.

#include <cstdint>
#include <string>
#include <string_view>

#include "QueueManager/Platform/Text.h"

namespace W4Os {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }
bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// One decoded UTF-8 sequence. When `valid` is false, `length` is the length
// of the maximal ill-formed subpart (at least 1), which the lossy conversion
// replaces by one U+FFFD.
struct Decoded {
  char32_t codePoint;
  std::size_t length;
  bool valid;
};

// Allowed range of the second byte for a lead byte; the remaining
// continuation bytes are always 80..BF. Narrower ranges exclude overlong
// forms (E0, F0), UTF-16 surrogates (ED) and values above U+10FFFF (F4).
struct LeadInfo {
  std::size_t length;  // 0: the byte cannot start a sequence
  unsigned char secondMin;
  unsigned char secondMax;
};

LeadInfo ClassifyLead(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// REQUIRES: pos < text.size() and text[pos] is not ASCII.
Decoded DecodeMultiByte(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  const LeadInfo info = ClassifyLead(lead);
  if (info.length == 0) return {0, 1, false};
  char32_t codePoint = lead & (0xFF >> (info.length + 1));
  for (std::size_t i = 1; i < info.length; ++i) {
    if (pos + i >= text.size()) return {0, i, false};
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    const bool inRange =
        i == 1 ? byte >= info.secondMin && byte <= info.secondMax : IsContinuation(byte);
    if (!inRange) return {0, i, false};
    codePoint = (codePoint << 6) | (byte & 0x3F);
  }
  return {codePoint, info.length, true};
}

void AppendUtf16(char32_t codePoint, std::u16string& out) {
  if (codePoint < 0x10000) {
    out.push_back(static_cast<char16_t>(codePoint));
    return;
  }
  const char32_t offset = codePoint - 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (offset >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (offset & 0x3FF)));
}

void AppendUtf8(char32_t codePoint, std::string& out) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
  } else if (codePoint < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else if (codePoint < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
  }
}

// Converts UTF-8 to UTF-16; with `lossy` false stops at the first ill-formed
// part and returns false.
bool DecodeUtf8(std::string_view text, bool lossy, std::u16string& out) {
  out.clear();
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto byte = static_cast<unsigned char>(text[pos]);
    if (byte < 0x80) {
      out.push_back(byte);
      ++pos;
      continue;
    }
    const Decoded decoded = DecodeMultiByte(text, pos);
    if (decoded.valid) {
      AppendUtf16(decoded.codePoint, out);
    } else if (lossy) {
      out.push_back(kReplacement);
    } else {
      out.clear();
      return false;
    }
    pos += decoded.length;
  }
  return true;
}

// Converts UTF-16 to UTF-8; with `lossy` false stops at the first unpaired
// surrogate and returns false.
bool EncodeUtf8(std::u16string_view text, bool lossy, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size(); ++pos) {
    const char16_t unit = text[pos];
    if (unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (IsHighSurrogate(unit) && pos + 1 < text.size() && IsLowSurrogate(text[pos + 1])) {
      const char16_t low = text[++pos];
      AppendUtf8(0x10000 + ((char32_t{unit} - 0xD800) << 10) + (low - 0xDC00), out);
    } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
      if (!lossy) {
        out.clear();
        return false;
      }
      AppendUtf8(kReplacement, out);
    } else {
      AppendUtf8(unit, out);
    }
  }
  return true;
}

}  // namespace

bool NarrowToWide(std::string_view utf8, std::u16string& out) {
  return DecodeUtf8(utf8, /*lossy=*/false, out);
}

bool WideToNarrow(std::u16string_view utf16, std::string& out) {
  return EncodeUtf8(utf16, /*lossy=*/false, out);
}

std::u16string NarrowToWideLossy(std::string_view utf8) {
  std::u16string out;
  DecodeUtf8(utf8, /*lossy=*/true, out);
  return out;
}

std::string WideToNarrowLossy(std::u16string_view utf16) {
  std::string out;
  EncodeUtf8(utf16, /*lossy=*/true, out);
  return out;
}

std::size_t WideLength(const char16_t* text) {
  return text == nullptr ? 0 : std::char_traits<char16_t>::length(text);
}

}  // namespace W4Os
