// Editing attribute values as lists: append, set-like insert, insert at a
// position and remove.

#include <algorithm>
#include <functional>

#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/Text.h"
#include "attributes/DateTimeText.h"
#include "attributes/NumberText.h"
#include "attributes/ValueList.h"
#include "attributes/ValueText.h"

namespace QueueManager {
namespace {

// True when `view` points into `owner`'s characters, which an edit of
// `owner` may move (for example a.append(a)).
bool PointsInto(const std::u16string& owner, std::u16string_view view) {
  const char16_t* const begin = owner.data();
  return !view.empty() && std::less_equal<>()(begin, view.data()) &&
         std::less<>()(view.data(), begin + owner.size());
}

}  // namespace

// ---- private helpers ---------------------------------------------------------

CQmAttributeValue& CQmAttributeValue::AppendString(std::u16string_view text) {
  if (PointsInto(text_, text)) return AppendString(std::u16string(text));
  if (!text_.empty()) text_ += chMultiValueSeparator;
  text_ += text;
  return *this;
}

std::uint32_t CQmAttributeValue::InsertString(std::u16string_view text, bool exact) {
  const std::uint32_t found = detail::FindElements(text_, text, exact);
  if (found != npos) return found;
  const auto position = static_cast<std::uint32_t>(detail::CountElements(text_));
  AppendString(text);
  return position;
}

// Same result as splitting, inserting the element and joining again, but
// edits the text in place.
std::uint32_t CQmAttributeValue::InsertStringAt(std::u16string_view text, std::uint32_t position) {
  if (PointsInto(text_, text)) return InsertStringAt(std::u16string(text), position);
  const std::size_t count = detail::CountElements(text_);
  const auto clamped = static_cast<std::uint32_t>(std::min<std::size_t>(position, count));
  if (clamped == count) {
    AppendString(text);
  } else {
    std::u16string element(text);
    element += chMultiValueSeparator;
    text_.insert(detail::ElementOffset(text_, clamped), element);
  }
  return clamped;
}

// ---- append ------------------------------------------------------------------

CQmAttributeValue& CQmAttributeValue::append(std::u16string_view text) {
  return AppendString(text);
}
CQmAttributeValue& CQmAttributeValue::append(const char16_t* text) {
  return AppendString(detail::WideView(text));
}
CQmAttributeValue& CQmAttributeValue::append(const unsigned short* text) {
  return AppendString(detail::WideCopy(text));
}
CQmAttributeValue& CQmAttributeValue::append(const char* utf8) {
  return AppendString(detail::WideFromUtf8(utf8));
}
CQmAttributeValue& CQmAttributeValue::append(const CQmAttributeValue& value) {
  return AppendString(value.text_);
}
CQmAttributeValue& CQmAttributeValue::append(int value) {
  return AppendString(detail::DecimalText(value));
}
CQmAttributeValue& CQmAttributeValue::append(std::uint32_t value) {
  return AppendString(detail::DecimalText(value));
}
CQmAttributeValue& CQmAttributeValue::append(const wchar_t* text) {
  return AppendString(detail::WideFromPlatform(text));
}
CQmAttributeValue& CQmAttributeValue::append(long value) {
  return AppendString(detail::LongText(value, false));
}
CQmAttributeValue& CQmAttributeValue::append(unsigned long value) {
  return AppendString(detail::LongText(value, false));
}
CQmAttributeValue& CQmAttributeValue::append(const CW4DateTime& value) {
  return AppendString(detail::DateTimeText(value));
}

// ---- insert ------------------------------------------------------------------

std::uint32_t CQmAttributeValue::insert(std::u16string_view text) {
  return InsertString(text, false);
}
std::uint32_t CQmAttributeValue::insert(const char16_t* text) {
  return InsertString(detail::WideView(text), false);
}
std::uint32_t CQmAttributeValue::insert(const unsigned short* text) {
  return InsertString(detail::WideCopy(text), false);
}
std::uint32_t CQmAttributeValue::insert(const char* utf8) {
  return InsertString(detail::WideFromUtf8(utf8), false);
}
std::uint32_t CQmAttributeValue::insert(int value) {
  return InsertString(detail::InsertText(value), true);
}
std::uint32_t CQmAttributeValue::insert(std::uint32_t value) {
  return InsertString(detail::InsertText(value), true);
}
std::uint32_t CQmAttributeValue::insert(const wchar_t* text) {
  return InsertString(detail::WideFromPlatform(text), false);
}
std::uint32_t CQmAttributeValue::insert(long value) {
  return InsertString(detail::LongText(value, true), true);
}
std::uint32_t CQmAttributeValue::insert(unsigned long value) {
  return InsertString(detail::LongText(value, true), true);
}
std::uint32_t CQmAttributeValue::insert(const CW4DateTime& value) {
  return InsertString(detail::DateTimeText(value), true);
}

void CQmAttributeValue::insert(const CQmAttributeValue& values) {
  // Every element of a value is present in it: inserting a value into itself
  // changes nothing (and walking it while appending would be unsafe).
  if (&values == this) return;
  detail::ForEachElement(values.text_, [this](std::u16string_view element) {
    InsertString(element, false);
    return true;
  });
}

// ---- insertat ----------------------------------------------------------------

std::uint32_t CQmAttributeValue::insertat(std::u16string_view text, std::uint32_t position) {
  return InsertStringAt(text, position);
}
std::uint32_t CQmAttributeValue::insertat(const char16_t* text, std::uint32_t position) {
  return InsertStringAt(detail::WideView(text), position);
}
std::uint32_t CQmAttributeValue::insertat(const char* utf8, std::uint32_t position) {
  return InsertStringAt(detail::WideFromUtf8(utf8), position);
}
std::uint32_t CQmAttributeValue::insertat(int value, std::uint32_t position) {
  return InsertStringAt(detail::InsertText(value), position);
}
std::uint32_t CQmAttributeValue::insertat(std::uint32_t value, std::uint32_t position) {
  return InsertStringAt(detail::InsertText(value), position);
}
std::uint32_t CQmAttributeValue::insertat(const wchar_t* text, std::uint32_t position) {
  return InsertStringAt(detail::WideFromPlatform(text), position);
}
std::uint32_t CQmAttributeValue::insertat(long value, std::uint32_t position) {
  return InsertStringAt(detail::LongText(value, true), position);
}
std::uint32_t CQmAttributeValue::insertat(unsigned long value, std::uint32_t position) {
  return InsertStringAt(detail::LongText(value, true), position);
}
std::uint32_t CQmAttributeValue::insertat(const CW4DateTime& value, std::uint32_t position) {
  return InsertStringAt(detail::DateTimeText(value), position);
}

std::uint32_t CQmAttributeValue::insertat(const CQmAttributeValue& values, std::uint32_t position) {
  if (values.empty()) {
    return static_cast<std::uint32_t>(
        std::min<std::size_t>(position, detail::CountElements(text_)));
  }
  // Inserting the joined elements at once puts each at its place in order.
  return InsertStringAt(values.text_, position);
}

// ---- remove ------------------------------------------------------------------

bool CQmAttributeValue::remove(const CQmAttributeValue& values) {
  const std::vector<std::u16string_view> wanted = detail::SplitElements(values.text_);
  std::vector<std::u16string_view> kept = detail::SplitElements(text_);
  std::size_t removed = 0;
  for (const std::u16string_view element : wanted) {
    const auto found = std::find_if(kept.begin(), kept.end(), [element](std::u16string_view e) {
      return W4Os::EqualsNoCase(e, element);
    });
    if (found == kept.end()) continue;
    kept.erase(found);
    ++removed;
  }
  // The views refer to the old text (and to `values`, which may be this
  // value): join into a new text before replacing the old one.
  if (removed > 0) text_ = detail::JoinElements(kept);
  return removed == wanted.size();
}

bool CQmAttributeValue::remove(const std::u16string& text) {
  return remove(CQmAttributeValue(text));
}
bool CQmAttributeValue::remove(const char16_t* text) { return remove(CQmAttributeValue(text)); }
bool CQmAttributeValue::remove(const unsigned short* text) {
  return remove(CQmAttributeValue(text));
}
bool CQmAttributeValue::remove(const char* utf8) { return remove(CQmAttributeValue(utf8)); }
bool CQmAttributeValue::remove(int value) { return remove(CQmAttributeValue(value)); }
bool CQmAttributeValue::remove(std::uint32_t value) { return remove(CQmAttributeValue(value)); }
bool CQmAttributeValue::remove(const wchar_t* text) { return remove(CQmAttributeValue(text)); }
bool CQmAttributeValue::remove(long value) { return remove(CQmAttributeValue(value)); }
bool CQmAttributeValue::remove(unsigned long value) { return remove(CQmAttributeValue(value)); }
bool CQmAttributeValue::remove(const CW4DateTime& value) {
  return remove(CQmAttributeValue(value));
}

}  // namespace QueueManager
