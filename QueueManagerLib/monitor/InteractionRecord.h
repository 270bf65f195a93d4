#pragma once

// One cached interaction, packed into a single heap block: its object type,
// the cached queues that hold it and its cached attribute values.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager {

class QueueRecord;

// One cached interaction. Not synchronised (the cache lock guards it); owns
// its block and is move-only. Records live in a FlatIdMap: they move when
// other interactions come and go, the block does not.
//
// A notification for one of 100,000 cached interactions is one lookup in the
// id map and one block, rather than a map of nodes each pointing at its own
// string. The block is an array of UTF-16 units (all fields are read and
// written unit by unit, so nothing is read from a misaligned address):
//
//   count (2 units) | object type (2) | queue count (2) | flags (1)
//   | queue pointers (4 units each)
//   | name code per attribute (1 unit) | text end per attribute (1, or 2
//     when the texts exceed 65,535 units) | texts
//
// A name code is the catalogue number, or kEscape for a custom name or a
// number outside 0..65,534; then the attribute's text starts with the
// number (2 units) and, for a custom name, the name's length (2) and text.
// Attributes are kept in CQmAttributeMap's order. A change of value that
// keeps every length is written in place; anything else rebuilds the block.
class InteractionRecord {
 public:
  InteractionRecord() = default;
  InteractionRecord(InteractionRecord&&) noexcept = default;
  InteractionRecord& operator=(InteractionRecord&&) noexcept = default;

  W4Notifier::ObjectTypes Type() const;
  void SetType(W4Notifier::ObjectTypes type);

  bool IsOn(const QueueRecord* queue) const;
  bool OnAnyQueue() const { return QueueCount() != 0; }
  template <class Visit>
  void ForEachQueue(Visit visit) const {
    for (std::size_t i = 0; i < QueueCount(); ++i) visit(*QueueAt(i));
  }
  void AddQueue(QueueRecord* queue);
  void RemoveQueue(const QueueRecord* queue);

  std::size_t AttributeCount() const { return Read32(kCountAt); }
  // The cached value of `name`; false when there is none.
  bool FindAttribute(const CQmAttributeName& name, CQmAttributeValue& value) const;
  // The cached attributes as a map.
  CQmAttributeMap Attributes() const;

  // Stores the values of [begin, end) (sorted as CQmAttributeMap sorts) for
  // which keep(name) holds; calls onSame(name, value) for each one cached
  // with that value already. True when anything changed.
  template <class It, class Keep, class OnSame>
  bool Merge(It begin, It end, Keep keep, OnSame onSame);

  // Starts fetching the block into the processor's cache.
  void Prefetch() const;

 private:
  // Where a name sorts against a cached attribute's name, and the value.
  struct Entry {
    std::int32_t number = eNonStandardAttribute;
    std::u16string_view custom;
    std::u16string_view value;
  };
  static constexpr char16_t kEscape = 0xFFFF;
  static constexpr std::size_t kCountAt = 0;
  static constexpr std::size_t kTypeAt = 2;
  static constexpr std::size_t kQueueCountAt = 4;
  static constexpr std::size_t kFlagsAt = 6;
  static constexpr std::size_t kQueuesAt = 7;
  static constexpr std::size_t kUnitsPerQueue = sizeof(QueueRecord*) / sizeof(char16_t);
  static constexpr char16_t kWideEnds = 1;

  std::uint32_t Read32(std::size_t at) const;
  std::size_t QueueCount() const { return Read32(kQueueCountAt); }
  QueueRecord* QueueAt(std::size_t index) const;
  std::size_t CodesAt() const { return kQueuesAt + QueueCount() * kUnitsPerQueue; }
  bool WideEnds() const { return (block_[kFlagsAt] & kWideEnds) != 0; }
  std::size_t TextAt() const;
  std::size_t EndOf(std::size_t index) const;
  std::size_t BeginOf(std::size_t index) const { return index == 0 ? 0 : EndOf(index - 1); }
  std::size_t TotalUnits() const;
  Entry EntryAt(std::size_t index) const;
  // Where the value of attribute `index` starts, from the block's start.
  std::size_t ValueAt(std::size_t index) const;
  static int Compare(const Entry& entry, const CQmAttributeName& name);
  static Entry EntryOf(const CQmAttributeName& name, const CQmAttributeValue& value);
  CQmAttributeName NameOf(const Entry& entry) const;

  // Collects the queues and entries into the scratch lists.
  void CollectQueues(std::vector<QueueRecord*>& queues) const;
  void CollectEntries(std::vector<Entry>& entries) const;
  // Replaces the block by one of these fields (the views may point into the
  // current block).
  void Rebuild(W4Notifier::ObjectTypes type, const std::vector<QueueRecord*>& queues,
               const std::vector<Entry>& entries);
  // Writes `value` over attribute `index`'s value of the same length.
  void Overwrite(std::size_t index, std::u16string_view value);

  // Scratch lists for rebuilding, kept for reuse (the cache lock serialises
  // the writers of a cache's records; other caches' threads have their own).
  static std::vector<Entry>& ScratchEntries();
  static std::vector<QueueRecord*>& ScratchQueues();

  std::unique_ptr<char16_t[]> block_;
};

template <class It, class Keep, class OnSame>
bool InteractionRecord::Merge(It begin, It end, Keep keep, OnSame onSame) {
  const std::size_t count = AttributeCount();
  // First, while every value replaces one of the same length, in place.
  bool inPlace = true;
  std::size_t position = 0;
  for (It it = begin; it != end && inPlace; ++it) {
    if (!keep(it->first)) continue;
    while (position < count && Compare(EntryAt(position), it->first) < 0) ++position;
    inPlace = position < count && Compare(EntryAt(position), it->first) == 0 &&
              EntryAt(position).value.size() == it->second.QueryString().size();
  }
  bool changed = false;
  if (inPlace) {
    position = 0;
    for (It it = begin; it != end; ++it) {
      if (!keep(it->first)) continue;
      while (Compare(EntryAt(position), it->first) < 0) ++position;
      if (EntryAt(position).value == it->second.QueryString()) {
        onSame(it->first, it->second);
      } else {
        Overwrite(position, it->second.QueryString());
        changed = true;
      }
    }
    return changed;
  }
  // Otherwise one merge walk into the scratch list, and a new block.
  std::vector<Entry>& merged = ScratchEntries();
  merged.clear();
  position = 0;
  for (It it = begin; it != end; ++it) {
    if (!keep(it->first)) continue;
    while (position < count && Compare(EntryAt(position), it->first) < 0) {
      merged.push_back(EntryAt(position++));
    }
    if (position < count && Compare(EntryAt(position), it->first) == 0) {
      const Entry cached = EntryAt(position++);
      if (cached.value == it->second.QueryString()) {
        onSame(it->first, it->second);
        merged.push_back(cached);
        continue;
      }
    }
    merged.push_back(EntryOf(it->first, it->second));
    changed = true;
  }
  while (position < count) merged.push_back(EntryAt(position++));
  if (!changed) return false;
  std::vector<QueueRecord*>& queues = ScratchQueues();
  CollectQueues(queues);
  Rebuild(Type(), queues, merged);
  return true;
}

}  // namespace QueueManager
