#include "lightweight/CachedAttributes.h"

#include <memory>

namespace QueueManager::lightweight {

CachedAttributes::Name::Name(const CQmAttributeName& name, const Names& monitored) {
  const eAttributeName number = name.QueryW4AttributeName();
  if (number != eNonStandardAttribute) {
    bits_ =
        static_cast<std::uintptr_t>(static_cast<std::uint32_t>(number)) << kNumberShift | kNumber;
    return;
  }
  if (const auto it = monitored.find(name); it != monitored.end()) {
    bits_ = reinterpret_cast<std::uintptr_t>(&*it);
    return;
  }
  bits_ = reinterpret_cast<std::uintptr_t>(new CQmAttributeName(name)) | kOwned;
}

CachedAttributes::Name::~Name() {
  if ((bits_ & kOwned) != 0) delete Pointer();
}

std::size_t CachedAttributes::LowerBound(const CQmAttributeName& name) const {
  std::size_t first = 0;
  std::size_t count = entries_.size();
  while (count > 0) {
    const std::size_t half = count / 2;
    if (entries_[first + half].name.Before(name)) {
      first += half + 1;
      count -= half + 1;
    } else {
      count = half;
    }
  }
  return first;
}

const CQmAttributeValue* CachedAttributes::Find(const CQmAttributeName& name) const {
  const std::size_t at = LowerBound(name);
  if (at == entries_.size() || !entries_[at].name.Is(name)) return nullptr;
  return &entries_[at].value;
}

void CachedAttributes::Store(const CQmAttributeMap& received, const Names& monitored) {
  // One walk of both sorted sequences replaces the values of names present
  // and builds the entries of new names with their places; then, with
  // nothing left that may throw, the old entries move into an array of the
  // new size.
  if (entries_.empty()) {
    entries_.reserve(received.size());
    for (const auto& [name, value] : received)
      entries_.push_back(Entry{Name(name, monitored), value});
    return;
  }
  std::vector<std::pair<std::size_t, Entry>> fresh;
  std::size_t i = 0;
  for (const auto& [name, value] : received) {
    while (i < entries_.size() && entries_[i].name.Before(name)) ++i;
    if (i < entries_.size() && entries_[i].name.Is(name)) {
      entries_[i].value = value;
    } else {
      fresh.emplace_back(i, Entry{Name(name, monitored), value});
    }
  }
  if (fresh.empty()) return;
  std::vector<Entry> merged;
  merged.reserve(entries_.size() + fresh.size());
  i = 0;
  for (auto& [at, entry] : fresh) {
    while (i < at) merged.push_back(std::move(entries_[i++]));
    merged.push_back(std::move(entry));
  }
  while (i < entries_.size()) merged.push_back(std::move(entries_[i++]));
  entries_ = std::move(merged);
}

CQmAttributeMap CachedAttributes::ToMap() const {
  CQmAttributeMap map;
  map.reserve(entries_.size());
  for (const Entry& entry : entries_) map.insert(entry.name.Get(), entry.value);
  return map;
}

}  // namespace QueueManager::lightweight
