#include "attributes/DateTimeText.h"

#include <array>
#include <optional>

#include "attributes/NumberText.h"

namespace QueueManager::detail {
namespace {

using Fields = W4Os::CW4DateTime::CalendarFields;

bool IsUtcMark(char16_t c) { return c == u'Z' || c == u'z'; }

// Reads `count` decimal digits at `pos` into `field` and moves past them.
bool ReadDigits(std::u16string_view text, std::size_t& pos, int count, int& field) {
  if (text.size() - pos < static_cast<std::size_t>(count)) return false;
  int value = 0;
  for (int i = 0; i < count; ++i, ++pos) {
    if (!IsDecimalDigit(text[pos])) return false;
    value = value * 10 + (text[pos] - u'0');
  }
  field = value;
  return true;
}

// Reads the year and the optional two-digit fields after it; `pos` ends at the
// first character after them.
bool ReadFields(std::u16string_view text, std::size_t& pos, Fields& fields) {
  if (!ReadDigits(text, pos, 4, fields.year)) return false;
  const std::array<int*, 5> optionalFields = {&fields.month, &fields.day, &fields.hour,
                                              &fields.minute, &fields.second};
  for (int* field : optionalFields) {
    if (pos == text.size() || IsUtcMark(text[pos])) {
      *field = 0;
    } else if (!ReadDigits(text, pos, 2, *field)) {
      return false;
    }
  }
  return true;
}

void WriteDigits(char16_t*& out, int value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    out[i] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  }
  out += count;
}

}  // namespace

bool ParseDateTimeText(std::u16string_view text, W4Os::CW4DateTime& result) {
  result = W4Os::CW4DateTime();
  if (text.empty()) return true;
  std::size_t pos = 0;
  Fields fields;
  if (!ReadFields(text, pos, fields)) return false;
  std::optional<W4Os::CW4DateTime> parsed;
  if (pos == text.size()) {
    parsed = W4Os::CW4DateTime::FromLocalFields(fields);
  } else if (IsUtcMark(text[pos]) && pos + 1 == text.size()) {
    parsed = W4Os::CW4DateTime::FromUtcFields(fields);
  }
  if (!parsed) return false;
  result = *parsed;
  return true;
}

std::u16string DateTimeText(const W4Os::CW4DateTime& value) {
  Fields utc;
  if (!value.QueryUtcFields(utc)) return {};
  std::u16string text(15, u'Z');
  char16_t* out = text.data();
  WriteDigits(out, utc.year, 4);
  for (const int field : {utc.month, utc.day, utc.hour, utc.minute, utc.second}) {
    WriteDigits(out, field, 2);
  }
  return text;
}

}  // namespace QueueManager::detail
