#pragma once

// Attributes (a name with its value) and attribute maps, the unit in which
// attribute sets travel between the library and the server.

#include <cstddef>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager {

// One attribute: a name and its value. A plain value type: copies are deep
// and distinct objects may be used from different threads.
class QM_EXPORT CQmAttribute {
 public:
  CQmAttribute() = default;
  CQmAttribute(const CQmAttributeName& name) : name_(name) {}
  CQmAttribute(const CQmAttributeName& name, const CQmAttributeValue& value)
      : name_(name), value_(value) {}
  // The name resolved from text as CQmAttributeName does.
  CQmAttribute(const W4STD::w4idstring_arg& name, const std::u16string& value)
      : name_(name), value_(value) {}

  void swap(CQmAttribute& other) noexcept {
    name_.swap(other.name_);
    value_.swap(other.value_);
  }

  const CQmAttributeName& QueryName() const { return name_; }
  const CQmAttributeValue& QueryValue() const { return value_; }
  const std::u16string& DisplayName() const { return name_.DisplayName(); }
  std::u16string key() const { return name_.key(); }

  // Orders by name only.
  bool operator<(const CQmAttribute& other) const { return name_ < other.name_; }

 private:
  CQmAttributeName name_;
  CQmAttributeValue value_;
};

// name=value, each as its own stream output writes it.
QM_EXPORT std::ostream& operator<<(std::ostream& out, const CQmAttribute& attribute);

// An ordered map from attribute name to value with at most one value per name
// (names that differ only in letter case are one key; the first spelling is
// kept). Iteration gives custom names first, by case-insensitive text, then
// standard names by ascending number. A plain value type: copies are deep and
// distinct objects may be used from different threads.
//
// The entries are held in one sorted array, so lookups are binary searches
// and iteration is a walk over contiguous memory. Like any flat map, an
// insertion or erasure invalidates iterators and references into the map,
// and the name of an entry must not be changed through an iterator.
class QM_EXPORT CQmAttributeMap {
 public:
  using key_type = CQmAttributeName;
  using mapped_type = CQmAttributeValue;
  using value_type = std::pair<CQmAttributeName, CQmAttributeValue>;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;
  using size_type = std::size_t;

  CQmAttributeMap() = default;

  void swap(CQmAttributeMap& other) noexcept { entries_.swap(other.entries_); }

  // Store the value under the name; the new value always replaces an old one.
  void insert(const CQmAttribute& attribute);
  void insert(const CQmAttributeName& name, const CQmAttributeValue& value);
  void insert(const CQmAttributeName& name, CQmAttributeValue&& value);
  void insert(const CQmAttributeName& name, const std::u16string& value);
  void insert(const CQmAttributeName& name, const std::string& utf8);
  void insert(const CQmAttributeName& name, const char* utf8);

  // The value under the standard name `number`, added empty when absent.
  CQmAttributeValue& operator[](eAttributeName number);
  CQmAttributeValue& operator[](const CQmAttributeName& name);
  // The stored value, or a shared empty value when absent; never inserts.
  const CQmAttributeValue& Query(const CQmAttributeName& name) const;

  iterator find(const CQmAttributeName& name);
  const_iterator find(const CQmAttributeName& name) const;
  size_type count(const CQmAttributeName& name) const { return find(name) != end() ? 1 : 0; }
  size_type erase(const CQmAttributeName& name);
  iterator erase(const_iterator position) { return entries_.erase(position); }
  void clear() { entries_.clear(); }
  size_type size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void reserve(size_type entries) { entries_.reserve(entries); }

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }

  // Same size and, entry by entry, equal names and values (values compared
  // with letter case).
  bool operator==(const CQmAttributeMap& other) const;
  bool operator!=(const CQmAttributeMap& other) const { return !(*this == other); }

  // The wire form: int count, then each entry's name and value. A value is
  // written as zero-terminated wide text, so one that holds U+0000 arrives
  // cut at its first U+0000 (the zero is the text's end on the wire).
  // Write reserves the room it needs in the message first.
  W4Notifier::CMessage& Write(W4Notifier::CMessage& message) const;
  // Empties the map, then reads the count and that many entries; a count of
  // 0 or less gives the empty map and reads nothing more; a name read twice
  // keeps the value read last; a value is kept as read, U+0000 included.
  // Throws CNotifierExtractException on a malformed or truncated message
  // and then leaves the map empty, never half-filled; the message's read
  // position is then after the last field read whole. Memory grows with
  // the entries present, never with the count claimed.
  W4Notifier::CMessage& Read(W4Notifier::CMessage& message);

 private:
  iterator LowerBound(const CQmAttributeName& name);
  const_iterator LowerBound(const CQmAttributeName& name) const;
  // Stores `value` under `name` (keeping the spelling of an entry already
  // there) and returns the stored value.
  CQmAttributeValue& Store(const CQmAttributeName& name, CQmAttributeValue&& value);
  // Store for entries that usually arrive in map order: one comparison with
  // the last entry appends, anything else falls back to a binary search.
  void StoreInOrder(CQmAttributeName&& name, CQmAttributeValue&& value);
  // An upper bound of the bytes that Write appends.
  std::size_t EncodedSizeBound() const;

  std::vector<value_type> entries_;
};

inline void swap(CQmAttributeMap& a, CQmAttributeMap& b) noexcept { a.swap(b); }

}  // namespace QueueManager
