// Escaping lets any text, "|" included, be stored as one element.

#include "QueueManager/AttributeValue.h"

namespace QueueManager {
namespace {

constexpr char16_t kEscape = u'\x0001';
constexpr char16_t kEscapedSeparator = u'\x0002';

}  // namespace

// One pass that gives the result of doubling every U+0001 first and then
// turning every "|" into U+0001 U+0002.
CQmAttributeValue CQmAttributeValue::Escape() const {
  std::u16string escaped;
  escaped.reserve(text_.size());
  for (const char16_t c : text_) {
    if (c == kEscape) {
      escaped += {kEscape, kEscape};
    } else if (c == chMultiValueSeparator) {
      escaped += {kEscape, kEscapedSeparator};
    } else {
      escaped += c;
    }
  }
  return CQmAttributeValue(std::move(escaped));
}

// U+0001 U+0001 gives U+0001 and U+0001 U+0002 gives "|"; U+0001 before any
// other character is dropped with it, and a final U+0001 is dropped.
CQmAttributeValue CQmAttributeValue::Unescape() const {
  std::u16string plain;
  plain.reserve(text_.size());
  for (std::size_t i = 0; i < text_.size(); ++i) {
    if (text_[i] != kEscape) {
      plain += text_[i];
      continue;
    }
    if (++i == text_.size()) break;
    if (text_[i] == kEscape) plain += kEscape;
    if (text_[i] == kEscapedSeparator) plain += chMultiValueSeparator;
  }
  return CQmAttributeValue(std::move(plain));
}

}  // namespace QueueManager
