#include "monitor/InteractionRecord.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "QueueManager/Platform/Text.h"
#include "monitor/ThreadLease.h"

namespace QueueManager {
namespace {

// The texts' total that ends of a byte, and of a unit, can address.
constexpr std::size_t kByteLimit = 0xFF;
constexpr std::size_t kUnitLimit = 0xFFFF;

void Write32(char16_t* at, std::uint32_t value) {
  at[0] = static_cast<char16_t>(value & 0xFFFFu);
  at[1] = static_cast<char16_t>(value >> 16);
}

std::uint32_t Read32From(const char16_t* at) {
  return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 16);
}

// Writes the end of attribute `index` at the width the block uses (0: a
// byte, two to a unit, the first in the low half; 1: a unit; 2: two units).
void WriteEnd(char16_t* ends, unsigned width, std::size_t index, std::size_t end) {
  if (width == 0) {
    const std::size_t shift = 8 * (index % 2);
    ends[index / 2] = static_cast<char16_t>(ends[index / 2] | (end << shift));
  } else if (width == 1) {
    ends[index] = static_cast<char16_t>(end);
  } else {
    Write32(ends + 2 * index, static_cast<std::uint32_t>(end));
  }
}

bool Escaped(std::int32_t number) { return number < 0 || number >= 0xFFFF; }

// The units an entry's text takes: the escape's number and custom name, then
// the value.
std::size_t TextUnits(std::int32_t number, std::u16string_view custom, std::u16string_view value) {
  if (!Escaped(number)) return value.size();
  const std::size_t name = number == eNonStandardAttribute ? 2 + custom.size() : 0;
  return 2 + name + value.size();
}

// The block under construction; reused, as a rebuild happens under the cache
// lock on every change of length.
std::vector<char16_t>& ScratchBlock() { return ThreadScratch<std::vector<char16_t>>::Get(); }

}  // namespace

// ---- fields ----

InteractionRecord::Shape InteractionRecord::ShapeOf(std::size_t count, std::size_t queueCount,
                                                    unsigned endWidth) {
  Shape shape;
  shape.count = count;
  shape.queueCount = queueCount;
  shape.endWidth = endWidth;
  shape.typeAt = 1 + (count > 0xFFFF ? 2 : 1) + (queueCount > kNarrowQueueLimit ? 2 : 0);
  shape.codesAt = shape.typeAt + 2 + queueCount * kUnitsPerQueue;
  shape.endsAt = shape.codesAt + count;
  const std::size_t endUnits =
      endWidth == kByteEnds ? (count + 1) / 2 : (endWidth == kUnitEnds ? count : 2 * count);
  shape.textAt = shape.endsAt + endUnits;
  return shape;
}

InteractionRecord::Shape InteractionRecord::Layout() const {
  const char16_t* block = block_.get();
  const char16_t flags = block[0];
  const bool wideCount = (flags & kWideCount) != 0;
  const std::size_t count = wideCount ? Read32From(block + 1) : block[1];
  const std::size_t queueCount = (flags & kWideQueueCount) != 0
                                     ? Read32From(block + (wideCount ? 3 : 2))
                                     : static_cast<std::size_t>(flags >> kQueueCountShift);
  return ShapeOf(count, queueCount, flags & kEndWidthMask);
}

W4Notifier::ObjectTypes InteractionRecord::Type() const {
  if (!block_) return W4Notifier::eObjectTypeNone;
  const std::uint32_t type = Read32From(block_.get() + Layout().typeAt);
  return static_cast<W4Notifier::ObjectTypes>(static_cast<std::int32_t>(type));
}

QueueRecord* InteractionRecord::QueueAt(const Shape& shape, std::size_t index) const {
  QueueRecord* queue = nullptr;
  std::memcpy(&queue, block_.get() + shape.typeAt + 2 + index * kUnitsPerQueue, sizeof queue);
  return queue;
}

std::size_t InteractionRecord::EndOf(const Shape& shape, std::size_t index) const {
  const char16_t* ends = block_.get() + shape.endsAt;
  switch (shape.endWidth) {
    case kByteEnds:
      return (ends[index / 2] >> (8 * (index % 2))) & 0xFFu;
    case kUnitEnds:
      return ends[index];
    default:
      return Read32From(ends + 2 * index);
  }
}

std::size_t InteractionRecord::TotalUnits() const {
  if (!block_) return 0;
  const Shape shape = Layout();
  return shape.textAt + (shape.count == 0 ? 0 : EndOf(shape, shape.count - 1));
}

InteractionRecord::Entry InteractionRecord::EntryAt(const Shape& shape, std::size_t index) const {
  const char16_t* text = block_.get() + shape.textAt;
  const std::size_t begin = index == 0 ? 0 : EndOf(shape, index - 1);
  const std::u16string_view all(text + begin, EndOf(shape, index) - begin);
  Entry entry;
  const char16_t code = block_[shape.codesAt + index];
  if (code != kEscape) {
    entry.number = code;
    entry.value = all;
    return entry;
  }
  entry.number = static_cast<std::int32_t>(Read32From(all.data()));
  std::size_t skip = 2;
  if (entry.number == eNonStandardAttribute) {
    const std::size_t length = Read32From(all.data() + 2);
    entry.custom = all.substr(4, length);
    skip = 4 + length;
  }
  entry.value = all.substr(skip);
  return entry;
}

int InteractionRecord::Compare(const Entry& entry, const CQmAttributeName& name) {
  const std::int32_t number = name.QueryW4AttributeName();
  if (entry.number != number) return entry.number < number ? -1 : 1;
  if (number != eNonStandardAttribute) return 0;
  return W4Os::CompareNoCase(entry.custom, name.DisplayName());
}

InteractionRecord::Entry InteractionRecord::EntryOf(const CQmAttributeName& name,
                                                    std::u16string_view value) {
  Entry entry;
  entry.number = name.QueryW4AttributeName();
  if (entry.number == eNonStandardAttribute) entry.custom = name.DisplayName();
  entry.value = value;
  return entry;
}

CQmAttributeName InteractionRecord::NameOf(const Entry& entry) const {
  if (entry.number == eNonStandardAttribute) return CQmAttributeName(entry.custom);
  return CQmAttributeName(static_cast<eAttributeName>(entry.number));
}

// ---- type and queues ----

void InteractionRecord::SetType(W4Notifier::ObjectTypes type) {
  if (block_ && Type() == type) return;
  std::vector<QueueRecord*>& queues = ScratchQueues();
  std::vector<Entry>& entries = ScratchEntries();
  CollectQueues(queues);
  CollectEntries(entries);
  Rebuild(type, queues, entries);
}

bool InteractionRecord::IsOn(const QueueRecord* queue) const {
  bool on = false;
  ForEachQueue([&](const QueueRecord& each) { on = on || &each == queue; });
  return on;
}

void InteractionRecord::AddQueue(QueueRecord* queue) {
  if (IsOn(queue)) return;
  std::vector<QueueRecord*>& queues = ScratchQueues();
  std::vector<Entry>& entries = ScratchEntries();
  CollectQueues(queues);
  CollectEntries(entries);
  queues.push_back(queue);
  Rebuild(Type(), queues, entries);
}

void InteractionRecord::RemoveQueue(const QueueRecord* queue) {
  if (!IsOn(queue)) return;
  std::vector<QueueRecord*>& queues = ScratchQueues();
  std::vector<Entry>& entries = ScratchEntries();
  CollectQueues(queues);
  CollectEntries(entries);
  queues.erase(std::find(queues.begin(), queues.end(), queue));
  Rebuild(Type(), queues, entries);
}

// ---- attributes ----

bool InteractionRecord::FindAttribute(const CQmAttributeName& name,
                                      CQmAttributeValue& value) const {
  if (!block_) return false;
  // Binary search: the attributes are sorted.
  const Shape shape = Layout();
  std::size_t low = 0;
  std::size_t high = shape.count;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const int order = CompareAt(shape, middle, name);
    if (order == 0) {
      value.Assign(EntryAt(shape, middle).value);
      return true;
    }
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return false;
}

CQmAttributeMap InteractionRecord::Attributes() const {
  CQmAttributeMap map;
  for (std::size_t i = 0; i < AttributeCount(); ++i) {
    const Entry entry = EntryAt(i);
    map.insert(NameOf(entry), CQmAttributeValue(entry.value));
  }
  return map;
}

void InteractionRecord::Prefetch() const {
  // A record of ten short values spans a few cache lines; asking for them
  // all before the header is read saves waiting for each in turn.
  constexpr std::size_t kLine = 64 / sizeof(char16_t);
  for (std::size_t line = 0; line < 8; ++line) __builtin_prefetch(block_.get() + line * kLine);
}

// ---- rebuilding ----

std::vector<InteractionRecord::Entry>& InteractionRecord::ScratchEntries() {
  return ThreadScratch<std::vector<Entry>>::Get();
}

std::vector<QueueRecord*>& InteractionRecord::ScratchQueues() {
  return ThreadScratch<std::vector<QueueRecord*>>::Get();
}

void InteractionRecord::CollectQueues(std::vector<QueueRecord*>& queues) const {
  queues.clear();
  if (!block_) return;
  const Shape shape = Layout();
  for (std::size_t i = 0; i < shape.queueCount; ++i) queues.push_back(QueueAt(shape, i));
}

void InteractionRecord::CollectEntries(std::vector<Entry>& entries) const {
  entries.clear();
  if (!block_) return;
  const Shape shape = Layout();
  for (std::size_t i = 0; i < shape.count; ++i) entries.push_back(EntryAt(shape, i));
}

void InteractionRecord::Rebuild(W4Notifier::ObjectTypes type,
                                const std::vector<QueueRecord*>& queues,
                                const std::vector<Entry>& entries) {
  std::size_t textUnits = 0;
  for (const Entry& entry : entries) {
    textUnits += TextUnits(entry.number, entry.custom, entry.value);
  }
  if (textUnits > 0xFFFFFFFFu || entries.size() > 0xFFFFFFFFu || queues.size() > 0xFFFFFFFFu) {
    throw std::length_error("cached attributes of an interaction too long");
  }
  const unsigned endWidth =
      textUnits <= kByteLimit ? kByteEnds : (textUnits <= kUnitLimit ? kUnitEnds : kWideEnds);
  const Shape shape = ShapeOf(entries.size(), queues.size(), endWidth);
  std::vector<char16_t>& built = ScratchBlock();
  built.assign(shape.textAt + textUnits, u'\0');
  char16_t flags = static_cast<char16_t>(endWidth);
  if (entries.size() > 0xFFFF) {
    flags |= kWideCount;
    Write32(built.data() + 1, static_cast<std::uint32_t>(entries.size()));
  } else {
    built[1] = static_cast<char16_t>(entries.size());
  }
  if (queues.size() > kNarrowQueueLimit) {
    flags |= kWideQueueCount;
    Write32(built.data() + shape.typeAt - 2, static_cast<std::uint32_t>(queues.size()));
  } else {
    flags |= static_cast<char16_t>(queues.size() << kQueueCountShift);
  }
  built[0] = flags;
  Write32(built.data() + shape.typeAt, static_cast<std::uint32_t>(static_cast<std::int32_t>(type)));
  for (std::size_t i = 0; i < queues.size(); ++i) {
    std::memcpy(built.data() + shape.typeAt + 2 + i * kUnitsPerQueue, &queues[i], sizeof queues[i]);
  }
  WriteEntries(entries, shape, built.data());
  // The same size reuses the block; the views into it are read by now.
  if (!block_ || TotalUnits() != built.size()) {
    block_ = std::make_unique_for_overwrite<char16_t[]>(built.size());
  }
  std::copy(built.begin(), built.end(), block_.get());
}

void InteractionRecord::WriteEntries(const std::vector<Entry>& entries, const Shape& shape,
                                     char16_t* block) {
  char16_t* text = block + shape.textAt;
  std::size_t offset = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    char16_t* out = text + offset;
    if (Escaped(entry.number)) {
      block[shape.codesAt + i] = kEscape;
      Write32(out, static_cast<std::uint32_t>(entry.number));
      out += 2;
      if (entry.number == eNonStandardAttribute) {
        Write32(out, static_cast<std::uint32_t>(entry.custom.size()));
        out = std::copy(entry.custom.begin(), entry.custom.end(), out + 2);
      }
    } else {
      block[shape.codesAt + i] = static_cast<char16_t>(entry.number);
    }
    out = std::copy(entry.value.begin(), entry.value.end(), out);
    offset = static_cast<std::size_t>(out - text);
    WriteEnd(block + shape.endsAt, shape.endWidth, i, offset);
  }
}

void InteractionRecord::Overwrite(const Entry& cached, std::u16string_view value) {
  // The view points into the block, which this record owns.
  char16_t* at = block_.get() + (cached.value.data() - block_.get());
  std::copy(value.begin(), value.end(), at);
}

}  // namespace QueueManager
