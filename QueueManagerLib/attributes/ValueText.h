#pragma once

// The text forms that attribute values give their arguments: booleans, the
// numbers that insert writes, letter codes and the caller's zero-terminated
// and narrow texts. Free functions without shared state: thread-safe.

#include <string>
#include <string_view>

namespace QueueManager::detail {

// True is "1", false the empty text.
inline std::u16string_view BoolText(bool value) { return value ? u"1" : u""; }

// The whole text as a boolean: `value` is false for the empty text and "0",
// true otherwise; valid only for the empty text, "0" and "1".
inline bool ParseBoolText(std::u16string_view text, bool& value) {
  value = !(text.empty() || text == u"0");
  return text.empty() || text == u"0" || text == u"1";
}

// The text insert and insertat use for numbers: zero is the empty text.
std::u16string InsertText(int value);
std::u16string InsertText(std::uint32_t value);

// One code unit holding the letter code; the code 0 ("none") is the empty
// text rather than a text holding U+0000, which zero-terminated readers of
// the value would take for its end.
inline std::u16string LetterCodeText(char16_t code) {
  return code == 0 ? std::u16string() : std::u16string(1, code);
}

// Zero-terminated wide text; a null pointer gives the empty text.
std::u16string_view WideView(const char16_t* text);
// The same from 16-bit code units of another type (copied: the types may
// not alias).
std::u16string WideCopy(const unsigned short* text);
// UTF-8, converted strictly: a null pointer or invalid UTF-8 gives the empty
// text.
std::u16string WideFromUtf8(std::string_view utf8);
std::u16string WideFromUtf8(const char* utf8);
// The platform's wide text (UTF-32 here), converted strictly: a null pointer,
// a surrogate or a value above U+10FFFF gives the empty text.
std::u16string WideFromPlatform(std::wstring_view text);
std::u16string WideFromPlatform(const wchar_t* text);

// The platform's 64-bit long types as the 32-bit numbers the system means.
// Throws std::out_of_range outside [-2^31, 2^32 - 1]; never cuts a value.
// `zeroIsEmpty` gives zero as the empty text, as insert and insertat write it.
std::u16string LongText(long value, bool zeroIsEmpty);
std::u16string LongText(unsigned long value, bool zeroIsEmpty);

}  // namespace QueueManager::detail
