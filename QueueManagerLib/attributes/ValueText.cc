#include "attributes/ValueText.h"

#include <cstdint>

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

}  // namespace QueueManager::detail
