#include "monitor/EventAttributes.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "attributes/NameInPlace.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;

// The least an entry occupies on the wire: a number field and an empty
// text field. Bounds what a claimed count may reserve.
constexpr std::size_t kMinEntryBytes = 10;
// The value texts' first room, in code units.
constexpr std::size_t kFirstTextUnits = 128;

}  // namespace

void EventAttributes::clear() {
  entries_.clear();
  textsUsed_ = 0;
  mapBuilt_ = false;
}

void EventAttributes::Read(const CMessage& message) {
  clear();
  std::int32_t count = 0;
  message >> count;
  if (count <= 0) return;
  try {
    ReadEntries(message, count);
  } catch (...) {
    clear();
    throw;
  }
}

void EventAttributes::ReadEntries(const CMessage& message, std::int32_t count) {
  entries_.reserve(
      std::min(static_cast<std::size_t>(count), message.RemainingBytes() / kMinEntryBytes));
  std::u16string scratch;
  bool inOrder = true;
  for (std::int32_t i = 0; i < count; ++i) {
    CQmAttributeName name = ReadNameInPlace(message, scratch);
    const std::span<const std::uint8_t> bytes = message.ReadWideBytes();
    const std::size_t units = bytes.size() / 2;
    const std::size_t at = GrowTexts(units);
    if constexpr (std::endian::native == std::endian::little) {
      if (units != 0) std::memcpy(texts_.data() + at, bytes.data(), bytes.size());
    } else {
      for (std::size_t u = 0; u < units; ++u) {
        texts_[at + u] = static_cast<char16_t>(bytes[2 * u] | bytes[2 * u + 1] << 8);
      }
    }
    if (!entries_.empty() && !(entries_.back().name < name)) inOrder = false;
    entries_.push_back(
        Entry{std::move(name), static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(units)});
  }
  if (!inOrder) SortAndMerge();
}

void EventAttributes::SortAndMerge() {
  // The stable sort leaves the entries of one name in arrival order: the
  // first keeps its spelling and takes the value of the last.
  std::stable_sort(entries_.begin(), entries_.end(),
                   [](const Entry& a, const Entry& b) { return a.name < b.name; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    if (kept != 0 && !(entries_[kept - 1].name < entries_[i].name)) {
      entries_[kept - 1].valueAt = entries_[i].valueAt;
      entries_[kept - 1].valueLength = entries_[i].valueLength;
    } else if (kept++ != i) {
      entries_[kept - 1] = std::move(entries_[i]);
    }
  }
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(kept), entries_.end());
}

std::size_t EventAttributes::GrowTexts(std::size_t units) {
  const std::size_t at = textsUsed_;
  // Offsets and lengths are kept in 32 bits; a message body is no larger.
  if (units > std::numeric_limits<std::uint32_t>::max() - at) {
    throw std::length_error("event attributes too long");
  }
  // Room for a typical event's values at the first growth, then doubling: a
  // fresh object (one per event where events are kept) grows once or twice.
  if (units > texts_.size() - at) {
    texts_.resize(std::max({at + units, 2 * texts_.size(), kFirstTextUnits}));
  }
  textsUsed_ = at + units;
  return at;
}

void EventAttributes::Assign(const CQmAttributeMap& map) {
  clear();
  entries_.reserve(map.size());
  for (const auto& [name, value] : map) {
    const std::u16string& text = value.QueryString();
    const std::size_t at = GrowTexts(text.size());
    std::copy(text.begin(), text.end(), texts_.begin() + static_cast<std::ptrdiff_t>(at));
    entries_.push_back(
        Entry{name, static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(text.size())});
  }
}

EventAttributes::EventAttributes(const EventAttributes& other)
    : entries_(other.entries_),
      texts_(other.texts_.begin(),
             other.texts_.begin() + static_cast<std::ptrdiff_t>(other.textsUsed_)),
      textsUsed_(other.textsUsed_) {}

EventAttributes& EventAttributes::operator=(const EventAttributes& other) {
  if (this != &other) {
    clear();
    entries_ = other.entries_;
    const std::size_t at = GrowTexts(other.textsUsed_);
    std::copy_n(other.texts_.begin(), other.textsUsed_,
                texts_.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return *this;
}

void EventAttributes::BuildMap(CQmAttributeMap& map) const {
  map.clear();
  map.reserve(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    map.insert(entries_[i].name, CQmAttributeValue(Value(i)));
  }
}

const CQmAttributeMap& EventAttributes::Map() const {
  if (!mapBuilt_) {
    BuildMap(map_);
    mapBuilt_ = true;
  }
  return map_;
}

}  // namespace QueueManager
