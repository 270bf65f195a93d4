// The element structure of attribute values: splitting, finding and reading
// the elements as typed vectors.

#include "attributes/ValueList.h"

#include <algorithm>

#include "QueueManager/Platform/Text.h"
#include "attributes/DateTimeText.h"
#include "attributes/NumberText.h"
#include "attributes/ValueText.h"

namespace QueueManager {
namespace detail {

std::size_t CountElements(std::u16string_view text) {
  if (text.empty()) return 0;
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), kSeparator)) + 1;
}

std::vector<std::u16string_view> SplitElements(std::u16string_view text) {
  std::vector<std::u16string_view> elements;
  elements.reserve(CountElements(text));
  ForEachElement(text, [&elements](std::u16string_view element) {
    elements.push_back(element);
    return true;
  });
  return elements;
}

std::u16string JoinElements(const std::vector<std::u16string_view>& elements) {
  std::size_t length = elements.empty() ? 0 : elements.size() - 1;
  for (const std::u16string_view element : elements) length += element.size();
  std::u16string joined;
  joined.reserve(length);
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (i > 0) joined += kSeparator;
    joined += elements[i];
  }
  return joined;
}

std::size_t ElementOffset(std::u16string_view text, std::size_t index) {
  std::size_t offset = 0;
  for (; index > 0; --index) offset = text.find(kSeparator, offset) + 1;
  return offset;
}

// Walks the element starts. Each candidate is compared only where `wanted`
// would end at an element end, and only while enough text is left, so the
// comparison never reads past the text.
std::uint32_t FindElements(std::u16string_view text, std::u16string_view wanted, bool exact) {
  const std::size_t length = wanted.size();
  if (text.size() < length) return CQmAttributeValue::npos;
  std::uint32_t position = 0;
  std::size_t point = 0;
  while (point < text.size()) {
    const std::size_t after = point + length;
    if (after == text.size() || text[after] == kSeparator) {
      const std::u16string_view candidate = text.substr(point, length);
      if (exact ? candidate == wanted : W4Os::EqualsNoCase(candidate, wanted)) return position;
    }
    ++position;
    const std::size_t next = text.find(kSeparator, point);
    if (next == std::u16string_view::npos) return CQmAttributeValue::npos;
    point = next + 1;
    if (text.size() - point < length) return CQmAttributeValue::npos;
  }
  // The text is empty or ends with a separator: its last element is empty.
  return length == 0 ? position : CQmAttributeValue::npos;
}

namespace {

// Sizes `values` to the element count and parses the elements into it in
// order; stops at the first element that `parse` rejects.
template <class T, class Parse>
bool ParseElementsInto(std::u16string_view text, std::vector<T>& values, Parse parse) {
  values.resize(CountElements(text));
  std::size_t index = 0;
  return ForEachElement(text, [&](std::u16string_view element) {
    T parsed{};
    const bool valid = parse(element, parsed);
    values[index++] = parsed;
    return valid;
  });
}

}  // namespace
}  // namespace detail

std::uint32_t CQmAttributeValue::Find(const CQmAttributeValue& value, bool exact) const {
  return detail::FindElements(text_, value.text_, exact);
}

bool CQmAttributeValue::QueryVector(std::vector<std::u16string>& values) const {
  values.clear();
  detail::ForEachElement(text_, [&values](std::u16string_view element) {
    values.emplace_back(element);
    return true;
  });
  return true;
}

bool CQmAttributeValue::QueryVector(std::vector<CQmAttributeValue>& values) const {
  values.clear();
  detail::ForEachElement(text_, [&values](std::u16string_view element) {
    values.emplace_back(element);
    return true;
  });
  return true;
}

bool CQmAttributeValue::QueryVector(std::vector<int>& values) const {
  return detail::ParseElementsInto(text_, values, [](std::u16string_view element, int& value) {
    const auto parsed = detail::ParseInt32(element);
    value = parsed.value;
    return parsed.valid;
  });
}

bool CQmAttributeValue::QueryVector(std::vector<std::uint32_t>& values) const {
  return detail::ParseElementsInto(text_, values,
                                   [](std::u16string_view element, std::uint32_t& value) {
                                     const auto parsed = detail::ParseUInt32(element);
                                     value = parsed.value;
                                     return parsed.valid;
                                   });
}

bool CQmAttributeValue::QueryVector(std::vector<unsigned long>& values) const {
  return detail::ParseElementsInto(text_, values,
                                   [](std::u16string_view element, unsigned long& value) {
                                     const auto parsed = detail::ParseUInt32(element);
                                     value = parsed.value;
                                     return parsed.valid;
                                   });
}

bool CQmAttributeValue::QueryVector(std::vector<bool>& values) const {
  return detail::ParseElementsInto(text_, values, detail::ParseBoolText);
}

bool CQmAttributeValue::QueryVector(std::vector<CW4DateTime>& values) const {
  return detail::ParseElementsInto(text_, values, detail::ParseDateTimeText);
}

bool CQmAttributeValue::QueryVector(std::vector<InteractionId>& values) const {
  values.clear();
  return detail::ForEachElement(text_, [&values](std::u16string_view element) {
    const auto parsed = detail::ParseUInt32(element);
    if (parsed.valid) values.emplace_back(parsed.value);
    return parsed.valid;
  });
}

}  // namespace QueueManager
