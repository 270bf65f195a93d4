#pragma once

// One cached interaction, packed into a single heap block: its object type,
// the cached queues that hold it and its cached attribute values.

#include <array>
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

// One name and its value in the form that InteractionRecord::Merge takes.
// Refers to the caller's name and text.
struct OneAttribute {
  const CQmAttributeName& name;
  std::u16string_view value;
  std::size_t size() const { return 1; }
  const CQmAttributeName& Name(std::size_t) const { return name; }
  std::u16string_view Value(std::size_t) const { return value; }
};

// One cached interaction. Not synchronised (the cache lock guards it); owns
// its block and is move-only. Records live in a FlatIdMap: they move when
// other interactions come and go, the block does not.
//
// A notification for one of 100,000 cached interactions is one lookup in the
// id map and one block, rather than a map of nodes each pointing at its own
// string. The block is an array of UTF-16 units (all fields are read and
// written unit by unit, so nothing is read from a misaligned address):
//
//   flags (1 unit) | attribute count (1 unit, or 2) | queue count (none when
//   it fits the flags, else 2) | object type (2) | queue pointers (4 each)
//   | name code per attribute (1 unit) | text end per attribute (a byte, a
//     unit, or 2 units, as the texts' total needs) | texts
//
// A name code is the catalogue number, or kEscape for a custom name or a
// number outside 0..65,534; then the attribute's text starts with the
// number (2 units) and, for a custom name, the name's length (2) and text.
// Attributes are kept in CQmAttributeMap's order. A change of value that
// keeps every length is written in place; anything else rebuilds the block.
// Ten attributes of 230 units take a block of 504 bytes, which the heap
// serves from a 512-byte chunk.
class InteractionRecord {
 public:
  InteractionRecord() = default;
  InteractionRecord(InteractionRecord&&) noexcept = default;
  InteractionRecord& operator=(InteractionRecord&&) noexcept = default;

  W4Notifier::ObjectTypes Type() const;
  void SetType(W4Notifier::ObjectTypes type);

  bool IsOn(const QueueRecord* queue) const;
  bool OnAnyQueue() const { return block_ && Layout().queueCount != 0; }
  template <class Visit>
  void ForEachQueue(Visit visit) const {
    if (!block_) return;
    const Shape shape = Layout();
    for (std::size_t i = 0; i < shape.queueCount; ++i) visit(*QueueAt(shape, i));
  }
  void AddQueue(QueueRecord* queue);
  void RemoveQueue(const QueueRecord* queue);

  std::size_t AttributeCount() const { return block_ ? Layout().count : 0; }
  // The cached value of `name`; false when there is none.
  bool FindAttribute(const CQmAttributeName& name, CQmAttributeValue& value) const;
  // Calls unlisted(name) for each cached attribute with a non-empty value
  // that `listed` (size() and Name(i), sorted as CQmAttributeMap sorts) does
  // not name: one merge walk.
  template <class Listed, class Unlisted>
  void ForEachUnlisted(const Listed& listed, Unlisted unlisted) const;
  // The cached attributes as a map.
  CQmAttributeMap Attributes() const;

  // Stores the values of `updates` (size(), Name(i) and Value(i), sorted as
  // CQmAttributeMap sorts) for which keep(name) holds; calls onSame(name,
  // value) for each one cached with that value already. True when anything
  // changed.
  template <class Updates, class Keep, class OnSame>
  bool Merge(const Updates& updates, Keep keep, OnSame onSame);

  // Starts fetching the block into the processor's cache.
  void Prefetch() const;

 private:
  // Where a name sorts against a cached attribute's name, and the value.
  struct Entry {
    std::int32_t number = eNonStandardAttribute;
    std::u16string_view custom;
    std::u16string_view value;
  };
  // Where the fields lie, read from the flags and counts.
  struct Shape {
    std::size_t count = 0;
    std::size_t queueCount = 0;
    std::size_t typeAt = 0;
    std::size_t codesAt = 0;
    std::size_t endsAt = 0;
    unsigned endWidth = 0;  // kByteEnds, kUnitEnds or kWideEnds
    std::size_t textAt = 0;
  };
  static constexpr char16_t kEscape = 0xFFFF;
  // Values of one update that are compared and written in place.
  static constexpr std::size_t kInPlaceLimit = 16;
  static constexpr unsigned kByteEnds = 0;
  static constexpr unsigned kUnitEnds = 1;
  static constexpr unsigned kWideEnds = 2;
  static constexpr char16_t kEndWidthMask = 3;
  static constexpr char16_t kWideCount = 4;
  static constexpr char16_t kWideQueueCount = 8;
  static constexpr unsigned kQueueCountShift = 4;
  static constexpr std::size_t kNarrowQueueLimit = 0xFFF;
  static constexpr std::size_t kUnitsPerQueue = sizeof(QueueRecord*) / sizeof(char16_t);

  static Shape ShapeOf(std::size_t count, std::size_t queueCount, unsigned endWidth);
  Shape Layout() const;
  QueueRecord* QueueAt(const Shape& shape, std::size_t index) const;
  std::size_t EndOf(const Shape& shape, std::size_t index) const;
  std::size_t TotalUnits() const;
  Entry EntryAt(const Shape& shape, std::size_t index) const;
  Entry EntryAt(std::size_t index) const { return EntryAt(Layout(), index); }
  static int Compare(const Entry& entry, const CQmAttributeName& name);
  // Where attribute `index`'s name sorts against `name`, reading the name
  // code alone when it is a catalogue number.
  int CompareAt(const Shape& shape, std::size_t index, const CQmAttributeName& name) const {
    const char16_t code = block_[shape.codesAt + index];
    if (code == kEscape) return Compare(EntryAt(shape, index), name);
    const std::int32_t number = name.QueryW4AttributeName();
    return code == number ? 0 : (code < number ? -1 : 1);
  }
  static Entry EntryOf(const CQmAttributeName& name, std::u16string_view value);
  CQmAttributeName NameOf(const Entry& entry) const;

  // Collects the queues and entries into the scratch lists.
  void CollectQueues(std::vector<QueueRecord*>& queues) const;
  void CollectEntries(std::vector<Entry>& entries) const;
  // Replaces the block by one of these fields (the views may point into the
  // current block).
  void Rebuild(W4Notifier::ObjectTypes type, const std::vector<QueueRecord*>& queues,
               const std::vector<Entry>& entries);
  static void WriteEntries(const std::vector<Entry>& entries, const Shape& shape, char16_t* block);
  // Writes `value` over attribute `index`'s value of the same length.
  void Overwrite(const Entry& cached, std::u16string_view value);

  // Scratch lists for rebuilding, kept for reuse (the cache lock serialises
  // the writers of a cache's records; other caches' threads have their own).
  static std::vector<Entry>& ScratchEntries();
  static std::vector<QueueRecord*>& ScratchQueues();

  std::unique_ptr<char16_t[]> block_;
};

template <class Listed, class Unlisted>
void InteractionRecord::ForEachUnlisted(const Listed& listed, Unlisted unlisted) const {
  if (!block_) return;
  const Shape shape = Layout();
  std::size_t next = 0;  // in `listed`
  for (std::size_t position = 0; position < shape.count; ++position) {
    int order = 1;
    while (next < listed.size() && (order = CompareAt(shape, position, listed.Name(next))) > 0) {
      ++next;
    }
    if (order == 0) continue;
    const Entry entry = EntryAt(shape, position);
    if (!entry.value.empty()) unlisted(NameOf(entry));
  }
}

template <class Updates, class Keep, class OnSame>
bool InteractionRecord::Merge(const Updates& updates, Keep keep, OnSame onSame) {
  const Shape shape = block_ ? Layout() : Shape();
  const std::size_t count = shape.count;
  const std::size_t total = updates.size();
  // The position of the first cached name not before `name`, from `position`.
  const auto seek = [&](std::size_t position, const CQmAttributeName& name) {
    while (position < count && CompareAt(shape, position, name) < 0) ++position;
    return position;
  };
  // First, while every value replaces one of the same length (and there are
  // few enough to note), in place.
  std::array<Entry, kInPlaceLimit> cached;
  std::array<std::size_t, kInPlaceLimit> updated;
  std::size_t matched = 0;
  bool inPlace = true;
  std::size_t position = 0;
  for (std::size_t i = 0; i < total && inPlace; ++i) {
    const CQmAttributeName& name = updates.Name(i);
    if (!keep(name)) continue;
    position = seek(position, name);
    inPlace = matched < kInPlaceLimit && position < count && CompareAt(shape, position, name) == 0;
    if (!inPlace) break;
    cached[matched] = EntryAt(shape, position);
    updated[matched] = i;
    inPlace = cached[matched].value.size() == updates.Value(i).size();
    ++matched;
  }
  bool changed = false;
  if (inPlace) {
    for (std::size_t m = 0; m < matched; ++m) {
      const std::u16string_view value = updates.Value(updated[m]);
      if (cached[m].value == value) {
        onSame(updates.Name(updated[m]), value);
      } else {
        Overwrite(cached[m], value);
        changed = true;
      }
    }
    return changed;
  }
  // Otherwise one merge walk into the scratch list, and a new block.
  std::vector<Entry>& merged = ScratchEntries();
  merged.clear();
  position = 0;
  for (std::size_t i = 0; i < total; ++i) {
    const CQmAttributeName& name = updates.Name(i);
    if (!keep(name)) continue;
    const std::size_t next = seek(position, name);
    while (position < next) merged.push_back(EntryAt(shape, position++));
    const std::u16string_view value = updates.Value(i);
    if (position < count && CompareAt(shape, position, name) == 0) {
      const Entry stored = EntryAt(shape, position++);
      if (stored.value == value) {
        onSame(name, value);
        merged.push_back(stored);
        continue;
      }
    }
    merged.push_back(EntryOf(name, value));
    changed = true;
  }
  while (position < count) merged.push_back(EntryAt(shape, position++));
  if (!changed) return false;
  std::vector<QueueRecord*>& queues = ScratchQueues();
  CollectQueues(queues);
  Rebuild(Type(), queues, merged);
  return true;
}

}  // namespace QueueManager
