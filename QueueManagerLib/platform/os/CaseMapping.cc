// Case-insensitive operations on wide text, built on the generated tables of
// CaseTable.cc.

#include <algorithm>
#include <string>
#include <string_view>

#include "QueueManager/Platform/Text.h"

namespace W4Os {

void ToLowerInPlace(std::u16string& text) {
  for (char16_t& unit : text) unit = ToLower(unit);
}

std::u16string ToLowerCopy(std::u16string_view text) {
  std::u16string lower(text);
  ToLowerInPlace(lower);
  return lower;
}

int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    const int difference = int{ToLower(a[i])} - int{ToLower(b[i])};
    if (difference != 0) return difference;
  }
  return (a.size() > b.size()) - (a.size() < b.size());
}

}  // namespace W4Os
