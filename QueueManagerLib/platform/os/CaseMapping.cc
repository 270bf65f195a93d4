// Case-insensitive operations on wide text, built on the generated tables of
// CaseTable.cc.

#include <algorithm>
#include <cstdint>
#include <cstring>
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

namespace {

// The length of the common prefix of `a` and `b` (equal code units, letter
// case significant), compared four units at a time.
std::size_t IdenticalPrefix(const char16_t* a, const char16_t* b, std::size_t length) {
  std::size_t i = 0;
  for (; i + 4 <= length; i += 4) {
    std::uint64_t wordA;
    std::uint64_t wordB;
    std::memcpy(&wordA, a + i, sizeof wordA);
    std::memcpy(&wordB, b + i, sizeof wordB);
    if (wordA != wordB) break;
  }
  while (i < length && a[i] == b[i]) ++i;
  return i;
}

}  // namespace

// Names that are compared mostly share a long prefix in the same letter case
// ("Custom_Attribute_a", "Custom_Attribute_b"), so identical units are
// skipped in bulk and only differing units are folded.
int CompareNoCase(std::u16string_view a, std::u16string_view b) {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    i += IdenticalPrefix(a.data() + i, b.data() + i, common - i);
    if (i == common) break;
    const int difference = int{ToLower(a[i])} - int{ToLower(b[i])};
    if (difference != 0) return difference;
  }
  return (a.size() > b.size()) - (a.size() < b.size());
}

}  // namespace W4Os
