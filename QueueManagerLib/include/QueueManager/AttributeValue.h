#pragma once

// Attribute values: one wide text that holds a number, a boolean, an object
// id, a date-time, a letter code or a "|"-separated list of them.

#include <concepts>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/DateTime.h"

namespace QueueManager {

using W4Os::CW4DateTime;

/// Letter codes held as one code unit whose value is the enumerator's value.
/// The server may send letters not listed here; any code unit is a valid
/// value of these types. The code 0 ("none") is held as the empty text.
enum eXAN_ATTRVALUE_STATE : char16_t {
  eXAN_STATE_NONE = 0,
  eXAN_STATE_ALERTING = u'A',
  eXAN_STATE_CONNECTED = u'C',
  eXAN_STATE_ENDED = u'E',
  eXAN_STATE_HELD = u'H',
  eXAN_STATE_INITIALIZING = u'I',
  eXAN_STATE_MESSAGING = u'M',
  eXAN_STATE_OFFERING = u'O',
  eXAN_STATE_PROCEEDING = u'P',
  eXAN_STATE_SYSTEM = u'S',
};
enum eXAN_ATTRVALUE_CALL_DIRECTION : char16_t {
  eXAN_DIRECTION_NONE = 0,
  eXAN_DIRECTION_INBOUND = u'I',
  eXAN_DIRECTION_OUTBOUND = u'O',
};
enum eXAN_ATTRVALUE_CALL_TYPE : char16_t {
  eXAN_CALL_TYPE_NONE = 0,
};
enum eXAN_ATTRVALUE_CALL_PARTY : char16_t {
  eXAN_PARTY_NONE = 0,
  eXAN_PARTY_EXTERNAL = u'E',
  eXAN_PARTY_INTERNAL = u'I',
  eXAN_PARTY_STATION = u'S',
};

/// The value of one attribute, held as one wide (UTF-16) text. Typed values
/// are written into the text and parsed back out of it by fixed rules; a list
/// joins its elements with "|". A plain value type: copies are deep and
/// distinct objects may be used from different threads.
///
/// Text forms: true "1", false empty; integers in decimal ("0" for zero from
/// constructors, append and remove); date-times as YYYYMMDDhhmmssZ in UTC.
///
/// No argument changes its meaning on the way in. Only a bool is a bool: a
/// pointer (a wchar_t literal, say) never becomes "1". The platform's wchar_t
/// text (UTF-32 here) is converted to UTF-16, and text holding a surrogate or a
/// value above U+10FFFF gives the empty text, as invalid UTF-8 does. The
/// system's "unsigned long" is 32-bit and this platform's long types are
/// 64-bit: a long or unsigned long (size_t too) is taken as the number it is
/// and throws std::out_of_range when outside [-2^31, 2^32 - 1] (unsigned
/// long: above 2^32 - 1), rather than being cut to 32 bits.
class QM_EXPORT CQmAttributeValue {
 public:
  /// The separator of a list value's elements ("
  /// ").
  ///@{
  static constexpr char16_t chMultiValueSeparator = u'|';
  static const std::u16string& MultiValueSeparator();
  ///@}

  /// The empty value; the value of a wide text.
  ///@{
  CQmAttributeValue() = default;
  CQmAttributeValue(const std::u16string& text) : text_(text) {}
  CQmAttributeValue(std::u16string&& text) : text_(std::move(text)) {}
  CQmAttributeValue(std::u16string_view text) : text_(text) {}
  ///@}
  /// Zero-terminated text; a null pointer gives the empty value. Narrow text
  /// is UTF-8; invalid UTF-8 gives the empty value.
  ///@{
  CQmAttributeValue(const char16_t* text);
  CQmAttributeValue(const unsigned short* text);
  CQmAttributeValue(const std::string& utf8);
  CQmAttributeValue(const char* utf8);
  CQmAttributeValue(const wchar_t* text);
  CQmAttributeValue(const std::wstring& text);
  ///@}
  /// A typed value as its text: a number in decimal, a bool as "1" or the
  /// empty text, a time in the wire's text form, a state or direction as its
  /// letter.
  ///@{
  CQmAttributeValue(int value);
  CQmAttributeValue(std::uint32_t value);
  CQmAttributeValue(long value);
  CQmAttributeValue(unsigned long value);
  template <std::same_as<bool> B>
  CQmAttributeValue(B value) : text_(value ? u"1" : u"") {}
  CQmAttributeValue(const CW4DateTime& value);
  CQmAttributeValue(InteractionId value);
  CQmAttributeValue(eXAN_ATTRVALUE_STATE value);
  CQmAttributeValue(eXAN_ATTRVALUE_CALL_DIRECTION value);
  CQmAttributeValue(eXAN_ATTRVALUE_CALL_TYPE value);
  CQmAttributeValue(eXAN_ATTRVALUE_CALL_PARTY value);
  ///@}
  /// Each element appended in order (so leading empty elements vanish).
  ///@{
  CQmAttributeValue(const std::vector<std::u16string>& values);
  CQmAttributeValue(const std::vector<int>& values);
  CQmAttributeValue(const std::vector<std::uint32_t>& values);
  CQmAttributeValue(const std::vector<unsigned long>& values);
  CQmAttributeValue(const std::vector<InteractionId>& values);
  CQmAttributeValue(const std::vector<bool>& values);
  CQmAttributeValue(const std::vector<CW4DateTime>& values);
  ///@}

  /// Replaces the value, converted as by the constructors.
  ///@{
  CQmAttributeValue& operator=(const std::u16string& text);
  CQmAttributeValue& operator=(const char16_t* text);
  CQmAttributeValue& operator=(const unsigned short* text);
  CQmAttributeValue& operator=(const std::string& utf8);
  CQmAttributeValue& operator=(const char* utf8);
  CQmAttributeValue& operator=(eXAN_ATTRVALUE_STATE value);
  CQmAttributeValue& operator=(eXAN_ATTRVALUE_CALL_DIRECTION value);
  CQmAttributeValue& operator=(eXAN_ATTRVALUE_CALL_TYPE value);
  CQmAttributeValue& operator=(eXAN_ATTRVALUE_CALL_PARTY value);
  ///@}

  /// The text itself, and the string operations on it.
  ///@{
  const std::u16string& QueryString() const { return text_; }
  const char16_t* c_str() const { return text_.c_str(); }
  bool empty() const { return text_.empty(); }
  void clear() { text_.clear(); }
  void swap(CQmAttributeValue& other) noexcept { text_.swap(other.text_); }
  /// Replaces the text, in the storage the value has when it is big enough:
  /// a caller that reads value after value into one object allocates once.
  void Assign(std::u16string_view text) { text_.assign(text); }
  ///@}

  /// Typed queries of the whole text. Numbers follow the C library's wcstol
  /// (wcstoul for unsigned) in base 10 with a 32-bit long: leading white
  /// space and a sign are accepted, out-of-range numbers saturate, and the
  /// text is valid when the conversion stops at its end (the empty text is 0).
  /// The parsed value is stored even when the text is invalid. White space is
  /// the C locale's (U+0009..U+000D, U+0020) whatever the process locale.
  ///@{
  bool Query(int& value) const;
  bool Query(std::uint32_t& value) const;
  ///@}
  /// As the 32-bit forms above, widened.
  ///@{
  bool Query(long& value) const;
  bool Query(unsigned long& value) const;
  ///@}
  /// Empty and "0" are false, "1" true; anything else is true and invalid.
  bool Query(bool& value) const;
  /// YYYY[MM[DD[hh[mm[ss]]]]] followed by "Z" (UTC) or by nothing (local
  /// time); the empty text is valid and not set. Nothing may follow the "Z";
  /// an invalid text gives "not set".
  bool Query(CW4DateTime& value) const;
  /// The typed queries above, with 0, false or "not set" for an invalid text.
  ///@{
  int QueryInt() const;
  std::uint32_t QueryUnsigned() const;
  /// False for the empty text and "0", true otherwise.
  bool QueryBool() const;
  CW4DateTime QueryTime() const;
  ///@}
  /// The first code unit (0 for the empty value).
  ///@{
  eXAN_ATTRVALUE_CALL_DIRECTION QueryInteractionDirection() const;
  eXAN_ATTRVALUE_CALL_TYPE QueryInteractionType() const;
  eXAN_ATTRVALUE_CALL_PARTY QueryInteractionParty() const;
  eXAN_ATTRVALUE_STATE QueryInteractionState() const;
  ///@}

  /// The elements. The typed forms size `values` to the element count and
  /// parse in order; the first element that fails gives false and leaves the
  /// entries after it as they were. The InteractionId form appends to the
  /// emptied vector and stops at the first failure.
  ///@{
  bool QueryVector(std::vector<std::u16string>& values) const;
  bool QueryVector(std::vector<CQmAttributeValue>& values) const;
  bool QueryVector(std::vector<int>& values) const;
  bool QueryVector(std::vector<std::uint32_t>& values) const;
  bool QueryVector(std::vector<unsigned long>& values) const;
  bool QueryVector(std::vector<bool>& values) const;
  bool QueryVector(std::vector<CW4DateTime>& values) const;
  bool QueryVector(std::vector<InteractionId>& values) const;
  ///@}

  /// Adds one element at the end ("|" first unless the value is empty). In
  /// all editing operations a null pointer or invalid UTF-8 counts as the
  /// empty text.
  ///@{
  CQmAttributeValue& append(std::u16string_view text);
  CQmAttributeValue& append(const std::u16string& text) {
    return append(std::u16string_view(text));
  }
  CQmAttributeValue& append(const char16_t* text);
  CQmAttributeValue& append(const unsigned short* text);
  CQmAttributeValue& append(const char* utf8);
  CQmAttributeValue& append(const wchar_t* text);
  CQmAttributeValue& append(const CQmAttributeValue& value);
  CQmAttributeValue& append(int value);
  CQmAttributeValue& append(std::uint32_t value);
  CQmAttributeValue& append(long value);
  CQmAttributeValue& append(unsigned long value);
  template <std::same_as<bool> B>
  CQmAttributeValue& append(B value) {
    return AppendString(value ? u"1" : u"");
  }
  CQmAttributeValue& append(const CW4DateTime& value);
  ///@}

  /// Adds the element unless it is present (texts compared without regard to
  /// letter case, typed values exactly; zero is written as the empty text) and
  /// returns its position.
  ///@{
  std::uint32_t insert(std::u16string_view text);
  std::uint32_t insert(const std::u16string& text) { return insert(std::u16string_view(text)); }
  std::uint32_t insert(const char16_t* text);
  std::uint32_t insert(const unsigned short* text);
  std::uint32_t insert(const char* utf8);
  std::uint32_t insert(const wchar_t* text);
  std::uint32_t insert(int value);
  std::uint32_t insert(std::uint32_t value);
  std::uint32_t insert(long value);
  std::uint32_t insert(unsigned long value);
  template <std::same_as<bool> B>
  std::uint32_t insert(B value) {
    return InsertString(value ? u"1" : u"", true);
  }
  std::uint32_t insert(const CW4DateTime& value);
  ///@}
  /// Inserts every element of `values` as above, without regard to case.
  void insert(const CQmAttributeValue& values);

  /// Inserts at `position`, clamped to the element count, without a duplicate
  /// check; returns the clamped position.
  ///@{
  std::uint32_t insertat(std::u16string_view text, std::uint32_t position);
  std::uint32_t insertat(const std::u16string& text, std::uint32_t position) {
    return insertat(std::u16string_view(text), position);
  }
  ///@}
  /// A null pointer or invalid text is the empty text.
  ///@{
  std::uint32_t insertat(const char16_t* text, std::uint32_t position);
  std::uint32_t insertat(const char* utf8, std::uint32_t position);
  std::uint32_t insertat(const wchar_t* text, std::uint32_t position);
  std::uint32_t insertat(int value, std::uint32_t position);
  std::uint32_t insertat(std::uint32_t value, std::uint32_t position);
  std::uint32_t insertat(long value, std::uint32_t position);
  std::uint32_t insertat(unsigned long value, std::uint32_t position);
  template <std::same_as<bool> B>
  std::uint32_t insertat(B value, std::uint32_t position) {
    return InsertStringAt(value ? u"1" : u"", position);
  }
  std::uint32_t insertat(const CW4DateTime& value, std::uint32_t position);
  ///@}
  /// Inserts all elements of `values`, in order, at the clamped position.
  std::uint32_t insertat(const CQmAttributeValue& values, std::uint32_t position);

  /// Removes, for each element of `values`, the first element equal to it
  /// without regard to letter case; true when every one was found.
  ///@{
  bool remove(const CQmAttributeValue& values);
  bool remove(const std::u16string& text);
  bool remove(const char16_t* text);
  bool remove(const unsigned short* text);
  bool remove(const char* utf8);
  bool remove(const wchar_t* text);
  bool remove(int value);
  bool remove(std::uint32_t value);
  bool remove(long value);
  bool remove(unsigned long value);
  template <std::same_as<bool> B>
  bool remove(B value) {
    return remove(CQmAttributeValue(value));
  }
  bool remove(const CW4DateTime& value);
  ///@}

  /// The position of the first element (or run of elements) that starts with
  /// `value`'s whole text and ends there, or 0xFFFFFFFF.
  template <std::same_as<bool> B>
  std::uint32_t find(const CQmAttributeValue& value, B exact) const {
    return Find(value, exact);
  }

  /// The position that find returns when nothing matches.
  ///@{
  static constexpr std::uint32_t npos = 0xFFFFFFFFu;
  ///@}

  /// Escape() doubles U+0001 and turns "|" into U+0001 U+0002, so that any
  /// text can be one element; Unescape() reverses it.
  ///@{
  CQmAttributeValue Escape() const;
  CQmAttributeValue Unescape() const;
  ///@}

  /// The value with its "%<digits>%" resource tokens replaced by the strings
  /// of `language` and its "%<n>%" placeholders by its list arguments. A
  /// token whose digits exceed 4294967295 names no string and stays. Strings
  /// that expand into themselves are cut off: at most 256 replacements, and
  /// none that makes the text longer than 65536 code units; the remaining
  /// tokens stay as they are.
  std::u16string QueryLocalizedValue(std::uint16_t language) const;

  /// Code-unit comparison, letter case significant.
  ///@{
  friend bool operator==(const CQmAttributeValue& a, const CQmAttributeValue& b) {
    return a.text_ == b.text_;
  }
  friend bool operator!=(const CQmAttributeValue& a, const CQmAttributeValue& b) {
    return a.text_ != b.text_;
  }
  friend bool operator<(const CQmAttributeValue& a, const CQmAttributeValue& b) {
    return a.text_ < b.text_;
  }
  friend bool operator<=(const CQmAttributeValue& a, const CQmAttributeValue& b) {
    return a.text_ <= b.text_;
  }
  friend bool operator>(const CQmAttributeValue& a, const CQmAttributeValue& b) {
    return a.text_ > b.text_;
  }
  friend bool operator>=(const CQmAttributeValue& a, const CQmAttributeValue& b) {
    return a.text_ >= b.text_;
  }
  ///@}
  /// Against UTF-8 text, converted first.
  ///@{
  bool operator==(const char* utf8) const;
  bool operator!=(const char* utf8) const;
  bool operator<(const char* utf8) const;
  bool operator<=(const char* utf8) const;
  bool operator>(const char* utf8) const;
  bool operator>=(const char* utf8) const;
  ///@}

 private:
  CQmAttributeValue& AppendString(std::u16string_view text);
  std::uint32_t InsertString(std::u16string_view text, bool exact);
  std::uint32_t InsertStringAt(std::u16string_view text, std::uint32_t position);
  std::uint32_t Find(const CQmAttributeValue& value, bool exact) const;

  std::u16string text_;
};

inline void swap(CQmAttributeValue& a, CQmAttributeValue& b) noexcept { a.swap(b); }

/// For traces: carriage returns dropped, line feeds as "\n", and a list
/// between "{" and "}".
QM_EXPORT std::ostream& operator<<(std::ostream& out, const CQmAttributeValue& value);
/// The text that the stream output above writes.
QM_EXPORT std::string ToTraceText(const CQmAttributeValue& value);

}  // namespace QueueManager

/// @cond
template <>
struct fmt::formatter<QueueManager::CQmAttributeValue> : fmt::formatter<std::string_view> {
  auto format(const QueueManager::CQmAttributeValue& value, fmt::format_context& ctx) const
      -> decltype(ctx.out()) {
    return fmt::formatter<std::string_view>::format(QueueManager::ToTraceText(value), ctx);
  }
};
/// @endcond
