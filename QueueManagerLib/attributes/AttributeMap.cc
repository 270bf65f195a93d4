// Attributes and attribute maps: the sorted flat map and its message form.

#include "QueueManager/AttributeMap.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>

#include "attributes/Catalogue.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;

// Wire sizes: a tag byte and a 4-byte payload for an int, a tag byte and a
// 4-byte length before the code units of a wide text.
constexpr std::size_t kIntFieldBytes = 5;
constexpr std::size_t kTextFieldBytes = 5;
// The least an entry occupies: a number and an empty value.
constexpr std::size_t kMinEntryBytes = kIntFieldBytes + kTextFieldBytes;

std::size_t TextFieldBytes(std::size_t codeUnits) { return kTextFieldBytes + 2 * codeUnits; }

// The bytes CQmAttributeName::Write appends for `name`: its number, and its
// text unless the catalogue sends it by number. One catalogue lookup.
std::size_t NameFieldBytes(const CQmAttributeName& name) {
  const eAttributeName number = name.QueryW4AttributeName();
  if (number == eNonStandardAttribute) {
    return kIntFieldBytes + TextFieldBytes(name.DisplayName().size());
  }
  const Catalogue::KeyInfo* key = Catalogue::FindKey(number);
  if (key != nullptr && !key->IsSentByText()) return kIntFieldBytes;
  return kIntFieldBytes + TextFieldBytes(key != nullptr ? key->key.size() : 0);
}

bool KeyLess(const CQmAttributeMap::value_type& entry, const CQmAttributeName& name) {
  return entry.first < name;
}

// The name form that CQmAttributeName::Read decodes, read in place: the map
// discards itself on any failure, so it needs none of the rollback that a
// name read on its own does (a copy of the message per name). `scratch`
// holds the text between the reads of one map, so that a name resolved to a
// standard key allocates nothing; a custom name takes the string over.
CQmAttributeName ReadName(CMessage& message, std::u16string& scratch) {
  std::int32_t number = eNonStandardAttribute;
  message >> number;
  if (number != eNonStandardAttribute) return CQmAttributeName(static_cast<eAttributeName>(number));
  message >> scratch;
  // Takes the string only when the name stays custom.
  return CQmAttributeName(std::move(scratch));
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const CQmAttribute& attribute) {
  return out << attribute.QueryName() << '=' << attribute.QueryValue();
}

// ---- lookup and insertion ----

CQmAttributeMap::iterator CQmAttributeMap::LowerBound(const CQmAttributeName& name) {
  return std::lower_bound(entries_.begin(), entries_.end(), name, KeyLess);
}

CQmAttributeMap::const_iterator CQmAttributeMap::LowerBound(const CQmAttributeName& name) const {
  return std::lower_bound(entries_.begin(), entries_.end(), name, KeyLess);
}

CQmAttributeValue& CQmAttributeMap::Store(const CQmAttributeName& name, CQmAttributeValue&& value) {
  const iterator at = LowerBound(name);
  if (at != entries_.end() && !(name < at->first)) {
    at->second = std::move(value);
    return at->second;
  }
  return entries_.emplace(at, name, std::move(value))->second;
}

void CQmAttributeMap::StoreInOrder(CQmAttributeName&& name, CQmAttributeValue&& value) {
  if (entries_.empty() || entries_.back().first < name) {
    entries_.emplace_back(std::move(name), std::move(value));
    return;
  }
  Store(name, std::move(value));
}

void CQmAttributeMap::insert(const CQmAttribute& attribute) {
  Store(attribute.QueryName(), CQmAttributeValue(attribute.QueryValue()));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, const CQmAttributeValue& value) {
  Store(name, CQmAttributeValue(value));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, CQmAttributeValue&& value) {
  Store(name, std::move(value));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, const std::u16string& value) {
  Store(name, CQmAttributeValue(value));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, const std::string& utf8) {
  Store(name, CQmAttributeValue(utf8));
}

void CQmAttributeMap::insert(const CQmAttributeName& name, const char* utf8) {
  Store(name, CQmAttributeValue(utf8));
}

CQmAttributeValue& CQmAttributeMap::operator[](eAttributeName number) {
  return (*this)[CQmAttributeName(number)];
}

CQmAttributeValue& CQmAttributeMap::operator[](const CQmAttributeName& name) {
  iterator at = LowerBound(name);
  if (at == entries_.end() || name < at->first) {
    at = entries_.emplace(at, name, CQmAttributeValue());
  }
  return at->second;
}

const CQmAttributeValue& CQmAttributeMap::Query(const CQmAttributeName& name) const {
  // Shared by every map and never modified, so handing out a reference to it
  // is safe from any thread.
  static const CQmAttributeValue kAbsent;
  const const_iterator at = find(name);
  return at != end() ? at->second : kAbsent;
}

CQmAttributeMap::iterator CQmAttributeMap::find(const CQmAttributeName& name) {
  const iterator at = LowerBound(name);
  return at != entries_.end() && !(name < at->first) ? at : entries_.end();
}

CQmAttributeMap::const_iterator CQmAttributeMap::find(const CQmAttributeName& name) const {
  const const_iterator at = LowerBound(name);
  return at != entries_.end() && !(name < at->first) ? at : entries_.end();
}

CQmAttributeMap::size_type CQmAttributeMap::erase(const CQmAttributeName& name) {
  const iterator at = find(name);
  if (at == entries_.end()) return 0;
  entries_.erase(at);
  return 1;
}

bool CQmAttributeMap::operator==(const CQmAttributeMap& other) const {
  // Entry by entry in map order: names as names compare (custom ones without
  // regard to letter case), values code unit by code unit.
  return entries_ == other.entries_;
}

// ---- message form ----

std::size_t CQmAttributeMap::EncodedSizeBound() const {
  std::size_t bytes = kIntFieldBytes;
  for (const auto& [name, value] : entries_) {
    bytes += NameFieldBytes(name) + TextFieldBytes(value.QueryString().size());
  }
  return bytes;
}

CMessage& CQmAttributeMap::Write(CMessage& message) const {
  if (entries_.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw W4Notifier::CNotifierException("attribute map too large for a message");
  }
  message.Reserve(EncodedSizeBound());
  message << static_cast<std::int32_t>(entries_.size());
  for (const auto& [name, value] : entries_) {
    name.Write(message);
    message.WriteZeroTerminated(value.QueryString());
  }
  return message;
}

CMessage& CQmAttributeMap::Read(CMessage& message) {
  clear();
  std::int32_t count = 0;
  message >> count;
  if (count <= 0) return message;
  try {
    // Entries mostly arrive in map order, so they are appended. The room
    // reserved is bounded by what the message can hold, not by the count
    // claimed.
    entries_.reserve(
        std::min(static_cast<std::size_t>(count), message.BodySize() / kMinEntryBytes));
    std::u16string nameText;
    for (std::int32_t i = 0; i < count; ++i) {
      CQmAttributeName name = ReadName(message, nameText);
      std::u16string text;
      message >> text;
      StoreInOrder(std::move(name), CQmAttributeValue(std::move(text)));
    }
  } catch (...) {
    // Never half-filled; and a hostile count must not leave its reservation.
    std::vector<value_type>().swap(entries_);
    throw;
  }
  return message;
}

}  // namespace QueueManager
