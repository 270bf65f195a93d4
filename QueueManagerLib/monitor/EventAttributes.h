#pragma once

// The attributes of one queue event as the cache reads them: names, and the
// value texts side by side in one buffer.

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager {

// An attribute map in its decoded form, for storing into the cache without
// building a map: a notification's values are compared with the cached
// record text against text, and the CQmAttributeMap that a callback takes is
// built only when a callback is made. Reused from one event to the next, it
// keeps its storage, so that decoding an event allocates nothing once warm.
//
// Not synchronised; a plain value type (copies are deep, and take the
// entries only, not the built map). Entries are sorted and unique as in
// CQmAttributeMap.
class EventAttributes {
 public:
  EventAttributes() = default;
  EventAttributes(const EventAttributes& other);
  EventAttributes& operator=(const EventAttributes& other);
  EventAttributes(EventAttributes&&) noexcept = default;
  EventAttributes& operator=(EventAttributes&&) noexcept = default;
  ~EventAttributes() = default;

  // The same form and rules as CQmAttributeMap::Read: entries in any order,
  // a name read twice keeps the spelling read first and the value read last,
  // memory grows with the entries present, never with the count claimed. On
  // a malformed message throws CNotifierExtractException and is left empty.
  void Read(const W4Notifier::CMessage& message);
  // The entries of `map`.
  void Assign(const CQmAttributeMap& map);
  void clear();

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  // REQUIRES: index < size().
  const CQmAttributeName& Name(std::size_t index) const { return entries_[index].name; }
  std::u16string_view Value(std::size_t index) const {
    const Entry& entry = entries_[index];
    return std::u16string_view(texts_.data() + entry.valueAt, entry.valueLength);
  }

  // The entries as a map, built on the first call after a change and kept
  // until the next one.
  const CQmAttributeMap& Map() const;
  // Builds the entries into `map`, whose storage a caller that builds many
  // maps reuses.
  void BuildMap(CQmAttributeMap& map) const;

 private:
  struct Entry {
    CQmAttributeName name;
    std::uint32_t valueAt = 0;
    std::uint32_t valueLength = 0;
  };

  void ReadEntries(const W4Notifier::CMessage& message, std::int32_t count);
  // Room for `units` more code units at the end of the texts, which are
  // counted as used; returns where they start.
  std::size_t GrowTexts(std::size_t units);
  // Sorts out-of-order entries and merges those of one name.
  void SortAndMerge();

  std::vector<Entry> entries_;
  // The value texts, end to end: the first textsUsed_ units. Its size is
  // the room, only ever grown, so that a warm read writes without the
  // vector's own resizing.
  std::vector<char16_t> texts_;
  std::size_t textsUsed_ = 0;
  mutable CQmAttributeMap map_;
  mutable bool mapBuilt_ = false;
};

}  // namespace QueueManager
