#pragma once

// A hash map from 32-bit ids to values, stored in one array.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace QueueManager {

// Open addressing with linear probing: a lookup reads the slot the id hashes
// to and its neighbours, which are in the same or the next cache line, and
// finds the value in the slot itself. A node-based table needs two or three
// dependent memory reads for the same lookup, which is what a notification
// for one of 100,000 cached interactions pays for.
//
// An empty map holds no array, and a small one a small array: a queue record
// holds one, and most queues hold a few interactions.
//
// Erasure shifts the following entries back, so there are no tombstones.
// Insertion and erasure move values: pointers and references into the map
// stay valid only until the next insertion or erasure. Not synchronised.
template <class Value>
class FlatIdMap {
 public:
  FlatIdMap() = default;

  Value* Find(std::uint32_t id) {
    if (slots_.empty()) return nullptr;
    for (std::size_t slot = Home(id);; slot = Next(slot)) {
      if (!slots_[slot].used) return nullptr;
      if (slots_[slot].id == id) return &slots_[slot].value;
    }
  }
  const Value* Find(std::uint32_t id) const { return const_cast<FlatIdMap*>(this)->Find(id); }

  // The value of `id`, default-constructed when it was absent.
  Value& operator[](std::uint32_t id) {
    if (slots_.empty()) {
      Rehash(kMinimumSlots);
    } else if ((size_ + 1) * kLoadDenominator > slots_.size() * kLoadNumerator) {
      Rehash(slots_.size() * 2);
    }
    std::size_t slot = Home(id);
    for (; slots_[slot].used; slot = Next(slot)) {
      if (slots_[slot].id == id) return slots_[slot].value;
    }
    slots_[slot].used = true;
    slots_[slot].id = id;
    ++size_;
    return slots_[slot].value;
  }

  // True when `id` was present.
  bool Erase(std::uint32_t id) {
    if (slots_.empty()) return false;
    std::size_t hole = Home(id);
    for (;; hole = Next(hole)) {
      if (!slots_[hole].used) return false;
      if (slots_[hole].id == id) break;
    }
    // Move back every following entry whose home lies at or before the hole
    // (cyclically), so that probing still finds it.
    for (std::size_t slot = Next(hole); slots_[slot].used; slot = Next(slot)) {
      const std::size_t home = Home(slots_[slot].id);
      if (((slot - home) & mask_) >= ((slot - hole) & mask_)) {
        slots_[hole].id = slots_[slot].id;
        slots_[hole].value = std::move(slots_[slot].value);
        hole = slot;
      }
    }
    slots_[hole] = Slot();
    --size_;
    return true;
  }

  // Calls visit(id, value) for each entry, in no particular order; the map
  // must not change meanwhile.
  template <class Visit>
  void ForEach(Visit visit) const {
    for (const Slot& slot : slots_) {
      if (slot.used) visit(slot.id, slot.value);
    }
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Frees the array.
  void clear() {
    std::vector<Slot>().swap(slots_);
    size_ = 0;
  }

 private:
  struct Slot {
    std::uint32_t id = 0;
    bool used = false;
    Value value{};
  };
  static constexpr std::size_t kMinimumSlots = 8;
  // At most seven eighths full.
  static constexpr std::size_t kLoadNumerator = 7;
  static constexpr std::size_t kLoadDenominator = 8;

  // Fibonacci hashing: ids that are consecutive numbers spread evenly.
  std::size_t Home(std::uint32_t id) const {
    return static_cast<std::size_t>((static_cast<std::uint64_t>(id) * 0x9E3779B97F4A7C15ull) >>
                                    shift_);
  }
  std::size_t Next(std::size_t slot) const { return (slot + 1) & mask_; }

  void Rehash(std::size_t slotCount) {
    std::vector<Slot> old = std::move(slots_);
    slots_ = std::vector<Slot>(slotCount);
    mask_ = slotCount - 1;
    shift_ = 64 - std::countr_zero(slotCount);
    for (Slot& slot : old) {
      if (!slot.used) continue;
      std::size_t target = Home(slot.id);
      while (slots_[target].used) target = Next(target);
      slots_[target] = std::move(slot);
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  int shift_ = 0;
  std::size_t size_ = 0;
};

}  // namespace QueueManager
