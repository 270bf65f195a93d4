// Attribute values: construction from typed values, typed queries of the
// whole text, comparisons with narrow text and trace output.

#include "QueueManager/AttributeValue.h"

#include <ostream>

#include "QueueManager/Platform/Text.h"
#include "attributes/DateTimeText.h"
#include "attributes/NumberText.h"
#include "attributes/ValueText.h"

namespace QueueManager {

const std::u16string& CQmAttributeValue::MultiValueSeparator() {
  static const std::u16string* const separator = new std::u16string(1, chMultiValueSeparator);
  return *separator;
}

// ---- construction ------------------------------------------------------------

CQmAttributeValue::CQmAttributeValue(const char16_t* text) : text_(detail::WideView(text)) {}
CQmAttributeValue::CQmAttributeValue(const unsigned short* text) : text_(detail::WideCopy(text)) {}
CQmAttributeValue::CQmAttributeValue(const std::string& utf8) : text_(detail::WideFromUtf8(utf8)) {}
CQmAttributeValue::CQmAttributeValue(const char* utf8) : text_(detail::WideFromUtf8(utf8)) {}
CQmAttributeValue::CQmAttributeValue(const wchar_t* text) : text_(detail::WideFromPlatform(text)) {}
CQmAttributeValue::CQmAttributeValue(const std::wstring& text)
    : text_(detail::WideFromPlatform(text)) {}
CQmAttributeValue::CQmAttributeValue(int value) : text_(detail::DecimalText(value)) {}
CQmAttributeValue::CQmAttributeValue(std::uint32_t value) : text_(detail::DecimalText(value)) {}
CQmAttributeValue::CQmAttributeValue(long value) : text_(detail::LongText(value, false)) {}
CQmAttributeValue::CQmAttributeValue(unsigned long value) : text_(detail::LongText(value, false)) {}
CQmAttributeValue::CQmAttributeValue(const CW4DateTime& value)
    : text_(detail::DateTimeText(value)) {}
CQmAttributeValue::CQmAttributeValue(InteractionId value)
    : text_(detail::DecimalText(value.QueryObjectId())) {}
CQmAttributeValue::CQmAttributeValue(eXAN_ATTRVALUE_STATE value)
    : text_(detail::LetterCodeText(value)) {}
CQmAttributeValue::CQmAttributeValue(eXAN_ATTRVALUE_CALL_DIRECTION value)
    : text_(detail::LetterCodeText(value)) {}
CQmAttributeValue::CQmAttributeValue(eXAN_ATTRVALUE_CALL_TYPE value)
    : text_(detail::LetterCodeText(value)) {}
CQmAttributeValue::CQmAttributeValue(eXAN_ATTRVALUE_CALL_PARTY value)
    : text_(detail::LetterCodeText(value)) {}

namespace {

// Appends each element in order, as append does.
template <class T>
void AppendAll(CQmAttributeValue& target, const std::vector<T>& values) {
  for (const T& value : values) target.append(value);
}

}  // namespace

CQmAttributeValue::CQmAttributeValue(const std::vector<std::u16string>& values) {
  AppendAll(*this, values);
}
CQmAttributeValue::CQmAttributeValue(const std::vector<int>& values) { AppendAll(*this, values); }
CQmAttributeValue::CQmAttributeValue(const std::vector<std::uint32_t>& values) {
  AppendAll(*this, values);
}
CQmAttributeValue::CQmAttributeValue(const std::vector<unsigned long>& values) {
  AppendAll(*this, values);
}
CQmAttributeValue::CQmAttributeValue(const std::vector<InteractionId>& values) {
  for (const InteractionId id : values) append(id.QueryObjectId());
}
CQmAttributeValue::CQmAttributeValue(const std::vector<bool>& values) {
  for (const bool value : values) append(value);
}
CQmAttributeValue::CQmAttributeValue(const std::vector<CW4DateTime>& values) {
  AppendAll(*this, values);
}

// ---- assignment --------------------------------------------------------------

CQmAttributeValue& CQmAttributeValue::operator=(const std::u16string& text) {
  text_ = text;
  return *this;
}
CQmAttributeValue& CQmAttributeValue::operator=(const char16_t* text) {
  text_ = detail::WideView(text);
  return *this;
}
CQmAttributeValue& CQmAttributeValue::operator=(const unsigned short* text) {
  text_ = detail::WideCopy(text);
  return *this;
}
CQmAttributeValue& CQmAttributeValue::operator=(const std::string& utf8) {
  text_ = detail::WideFromUtf8(utf8);
  return *this;
}
CQmAttributeValue& CQmAttributeValue::operator=(const char* utf8) {
  text_ = detail::WideFromUtf8(utf8);
  return *this;
}
CQmAttributeValue& CQmAttributeValue::operator=(eXAN_ATTRVALUE_STATE value) {
  text_ = detail::LetterCodeText(value);
  return *this;
}
CQmAttributeValue& CQmAttributeValue::operator=(eXAN_ATTRVALUE_CALL_DIRECTION value) {
  text_ = detail::LetterCodeText(value);
  return *this;
}
CQmAttributeValue& CQmAttributeValue::operator=(eXAN_ATTRVALUE_CALL_TYPE value) {
  text_ = detail::LetterCodeText(value);
  return *this;
}
CQmAttributeValue& CQmAttributeValue::operator=(eXAN_ATTRVALUE_CALL_PARTY value) {
  text_ = detail::LetterCodeText(value);
  return *this;
}

// ---- typed queries -----------------------------------------------------------

bool CQmAttributeValue::Query(int& value) const {
  const auto parsed = detail::ParseInt32(text_);
  value = parsed.value;
  return parsed.valid;
}

bool CQmAttributeValue::Query(std::uint32_t& value) const {
  const auto parsed = detail::ParseUInt32(text_);
  value = parsed.value;
  return parsed.valid;
}

bool CQmAttributeValue::Query(long& value) const {
  int narrow = 0;
  const bool valid = Query(narrow);
  value = narrow;
  return valid;
}

bool CQmAttributeValue::Query(unsigned long& value) const {
  std::uint32_t narrow = 0;
  const bool valid = Query(narrow);
  value = narrow;
  return valid;
}

bool CQmAttributeValue::Query(bool& value) const { return detail::ParseBoolText(text_, value); }

bool CQmAttributeValue::Query(CW4DateTime& value) const {
  return detail::ParseDateTimeText(text_, value);
}

int CQmAttributeValue::QueryInt() const { return detail::ParseInt32(text_).value; }

std::uint32_t CQmAttributeValue::QueryUnsigned() const { return detail::ParseUInt32(text_).value; }

bool CQmAttributeValue::QueryBool() const { return !(text_.empty() || text_ == u"0"); }

CW4DateTime CQmAttributeValue::QueryTime() const {
  CW4DateTime value;
  detail::ParseDateTimeText(text_, value);
  return value;
}

namespace {

template <class Code>
Code FirstCodeUnit(const std::u16string& text) {
  return static_cast<Code>(text.empty() ? char16_t{0} : text.front());
}

}  // namespace

eXAN_ATTRVALUE_CALL_DIRECTION CQmAttributeValue::QueryInteractionDirection() const {
  return FirstCodeUnit<eXAN_ATTRVALUE_CALL_DIRECTION>(text_);
}
eXAN_ATTRVALUE_CALL_TYPE CQmAttributeValue::QueryInteractionType() const {
  return FirstCodeUnit<eXAN_ATTRVALUE_CALL_TYPE>(text_);
}
eXAN_ATTRVALUE_CALL_PARTY CQmAttributeValue::QueryInteractionParty() const {
  return FirstCodeUnit<eXAN_ATTRVALUE_CALL_PARTY>(text_);
}
eXAN_ATTRVALUE_STATE CQmAttributeValue::QueryInteractionState() const {
  return FirstCodeUnit<eXAN_ATTRVALUE_STATE>(text_);
}

// ---- comparisons with UTF-8 text ---------------------------------------------

bool CQmAttributeValue::operator==(const char* utf8) const {
  return text_ == detail::WideFromUtf8(utf8);
}
bool CQmAttributeValue::operator!=(const char* utf8) const {
  return text_ != detail::WideFromUtf8(utf8);
}
bool CQmAttributeValue::operator<(const char* utf8) const {
  return text_ < detail::WideFromUtf8(utf8);
}
bool CQmAttributeValue::operator<=(const char* utf8) const {
  return text_ <= detail::WideFromUtf8(utf8);
}
bool CQmAttributeValue::operator>(const char* utf8) const {
  return text_ > detail::WideFromUtf8(utf8);
}
bool CQmAttributeValue::operator>=(const char* utf8) const {
  return text_ >= detail::WideFromUtf8(utf8);
}

// ---- trace output ------------------------------------------------------------

std::string ToTraceText(const CQmAttributeValue& value) {
  std::u16string text;
  text.reserve(value.QueryString().size());
  for (const char16_t c : value.QueryString()) {
    if (c == u'\r') continue;
    if (c == u'\n') {
      text += u"\\n";
    } else {
      text += c;
    }
  }
  std::string narrow = W4Os::WideToNarrowLossy(text);
  if (text.find(CQmAttributeValue::chMultiValueSeparator) == std::u16string::npos) return narrow;
  return "{" + narrow + "}";
}

std::ostream& operator<<(std::ostream& out, const CQmAttributeValue& value) {
  return out << ToTraceText(value);
}

}  // namespace QueueManager
