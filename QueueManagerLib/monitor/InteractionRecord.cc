#include "monitor/InteractionRecord.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "QueueManager/Platform/Text.h"

namespace QueueManager {
namespace {

constexpr std::size_t kNarrowLimit = 0xFFFF;

void Write32(char16_t* at, std::uint32_t value) {
  at[0] = static_cast<char16_t>(value & 0xFFFFu);
  at[1] = static_cast<char16_t>(value >> 16);
}

std::uint32_t Read32From(const char16_t* at) {
  return static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 16);
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
std::vector<char16_t>& ScratchBlock() {
  thread_local std::vector<char16_t> block;
  return block;
}

}  // namespace

// ---- fields ----

std::uint32_t InteractionRecord::Read32(std::size_t at) const {
  return block_ ? Read32From(block_.get() + at) : 0;
}

W4Notifier::ObjectTypes InteractionRecord::Type() const {
  return static_cast<W4Notifier::ObjectTypes>(static_cast<std::int32_t>(Read32(kTypeAt)));
}

QueueRecord* InteractionRecord::QueueAt(std::size_t index) const {
  QueueRecord* queue = nullptr;
  std::memcpy(&queue, block_.get() + kQueuesAt + index * kUnitsPerQueue, sizeof queue);
  return queue;
}

std::size_t InteractionRecord::TextAt() const {
  const std::size_t count = AttributeCount();
  return CodesAt() + count + count * (WideEnds() ? 2 : 1);
}

std::size_t InteractionRecord::EndOf(std::size_t index) const {
  const std::size_t endsAt = CodesAt() + AttributeCount();
  if (WideEnds()) return Read32From(block_.get() + endsAt + 2 * index);
  return block_[endsAt + index];
}

std::size_t InteractionRecord::TotalUnits() const {
  if (!block_) return 0;
  const std::size_t count = AttributeCount();
  return TextAt() + (count == 0 ? 0 : EndOf(count - 1));
}

InteractionRecord::Entry InteractionRecord::EntryAt(std::size_t index) const {
  const char16_t* text = block_.get() + TextAt();
  const std::size_t begin = BeginOf(index);
  const std::u16string_view all(text + begin, EndOf(index) - begin);
  Entry entry;
  const char16_t code = block_[CodesAt() + index];
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

std::size_t InteractionRecord::ValueAt(std::size_t index) const {
  const Entry entry = EntryAt(index);
  return static_cast<std::size_t>(entry.value.data() - block_.get());
}

int InteractionRecord::Compare(const Entry& entry, const CQmAttributeName& name) {
  const std::int32_t number = name.QueryW4AttributeName();
  if (entry.number != number) return entry.number < number ? -1 : 1;
  if (number != eNonStandardAttribute) return 0;
  return W4Os::CompareNoCase(entry.custom, name.DisplayName());
}

InteractionRecord::Entry InteractionRecord::EntryOf(const CQmAttributeName& name,
                                                    const CQmAttributeValue& value) {
  Entry entry;
  entry.number = name.QueryW4AttributeName();
  if (entry.number == eNonStandardAttribute) entry.custom = name.DisplayName();
  entry.value = value.QueryString();
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
  for (std::size_t i = 0; i < QueueCount(); ++i) {
    if (QueueAt(i) == queue) return true;
  }
  return false;
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
  // Binary search: the attributes are sorted.
  std::size_t low = 0;
  std::size_t high = AttributeCount();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const Entry entry = EntryAt(middle);
    const int order = Compare(entry, name);
    if (order == 0) {
      value = CQmAttributeValue(entry.value);
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
  // A record of ten short values spans a few cache lines; asking for the
  // first ones before the header is read saves waiting for each in turn.
  constexpr std::size_t kLine = 64 / sizeof(char16_t);
  for (std::size_t line = 0; line < 4; ++line) __builtin_prefetch(block_.get() + line * kLine);
}

// ---- rebuilding ----

std::vector<InteractionRecord::Entry>& InteractionRecord::ScratchEntries() {
  thread_local std::vector<Entry> entries;
  return entries;
}

std::vector<QueueRecord*>& InteractionRecord::ScratchQueues() {
  thread_local std::vector<QueueRecord*> queues;
  return queues;
}

void InteractionRecord::CollectQueues(std::vector<QueueRecord*>& queues) const {
  queues.clear();
  for (std::size_t i = 0; i < QueueCount(); ++i) queues.push_back(QueueAt(i));
}

void InteractionRecord::CollectEntries(std::vector<Entry>& entries) const {
  entries.clear();
  for (std::size_t i = 0; i < AttributeCount(); ++i) entries.push_back(EntryAt(i));
}

void InteractionRecord::Rebuild(W4Notifier::ObjectTypes type,
                                const std::vector<QueueRecord*>& queues,
                                const std::vector<Entry>& entries) {
  std::size_t textUnits = 0;
  for (const Entry& entry : entries) {
    textUnits += TextUnits(entry.number, entry.custom, entry.value);
  }
  if (textUnits > 0xFFFFFFFFu || entries.size() > 0xFFFFFFFFu) {
    throw std::length_error("cached attributes of an interaction too long");
  }
  const bool wide = textUnits > kNarrowLimit;
  const std::size_t codesAt = kQueuesAt + queues.size() * kUnitsPerQueue;
  const std::size_t textAt = codesAt + entries.size() * (wide ? 3 : 2);
  std::vector<char16_t>& built = ScratchBlock();
  built.assign(textAt + textUnits, u'\0');
  Write32(built.data() + kCountAt, static_cast<std::uint32_t>(entries.size()));
  Write32(built.data() + kTypeAt, static_cast<std::uint32_t>(static_cast<std::int32_t>(type)));
  Write32(built.data() + kQueueCountAt, static_cast<std::uint32_t>(queues.size()));
  built[kFlagsAt] = wide ? kWideEnds : 0;
  for (std::size_t i = 0; i < queues.size(); ++i) {
    std::memcpy(built.data() + kQueuesAt + i * kUnitsPerQueue, &queues[i], sizeof queues[i]);
  }
  char16_t* end = built.data() + codesAt + entries.size();
  char16_t* text = built.data() + textAt;
  std::size_t offset = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Entry& entry = entries[i];
    char16_t* out = text + offset;
    if (Escaped(entry.number)) {
      built[codesAt + i] = kEscape;
      Write32(out, static_cast<std::uint32_t>(entry.number));
      out += 2;
      if (entry.number == eNonStandardAttribute) {
        Write32(out, static_cast<std::uint32_t>(entry.custom.size()));
        out = std::copy(entry.custom.begin(), entry.custom.end(), out + 2);
      }
    } else {
      built[codesAt + i] = static_cast<char16_t>(entry.number);
    }
    out = std::copy(entry.value.begin(), entry.value.end(), out);
    offset = static_cast<std::size_t>(out - text);
    if (wide) {
      Write32(end + 2 * i, static_cast<std::uint32_t>(offset));
    } else {
      end[i] = static_cast<char16_t>(offset);
    }
  }
  // The same size reuses the block; the views into it are read by now.
  if (!block_ || TotalUnits() != built.size()) {
    block_ = std::make_unique_for_overwrite<char16_t[]>(built.size());
  }
  std::copy(built.begin(), built.end(), block_.get());
}

void InteractionRecord::Overwrite(std::size_t index, std::u16string_view value) {
  std::copy(value.begin(), value.end(), block_.get() + ValueAt(index));
}

}  // namespace QueueManager
