#pragma once

// Walking the elements of a "|"-separated attribute value. Free functions
// without shared state: thread-safe.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "QueueManager/AttributeValue.h"

namespace QueueManager::detail {

inline constexpr char16_t kSeparator = CQmAttributeValue::chMultiValueSeparator;

// Calls `visit(element)` for each element in order while it returns true; the
// empty text has no elements. Returns false when `visit` stopped the walk.
template <class Visit>
bool ForEachElement(std::u16string_view text, Visit&& visit) {
  if (text.empty()) return true;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(kSeparator, start);
    if (end == std::u16string_view::npos) return visit(text.substr(start));
    if (!visit(text.substr(start, end - start))) return false;
    start = end + 1;
  }
}

// The number of elements: 0 for the empty text, else one more than the
// number of separators.
std::size_t CountElements(std::u16string_view text);

// Views of the elements of `text`, which must outlive them.
std::vector<std::u16string_view> SplitElements(std::u16string_view text);

// The elements joined by "|".
std::u16string JoinElements(const std::vector<std::u16string_view>& elements);

// The offset of the first code unit of element `index`.
// REQUIRES: index < CountElements(text).
std::size_t ElementOffset(std::u16string_view text, std::size_t index);

// The position of the first element of `text` at which the whole of
// `wanted` starts and ends at an element end (so a `wanted` holding
// separators matches a run of elements), or CQmAttributeValue::npos. Letter
// case is ignored unless `exact`.
std::uint32_t FindElements(std::u16string_view text, std::u16string_view wanted, bool exact);

}  // namespace QueueManager::detail
