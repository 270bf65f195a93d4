#pragma once

// The attributes that the caching monitor holds for one object, stored
// compactly.

#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <utility>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"

namespace QueueManager::lightweight {

// Not synchronised (the caller's bucket lock guards it); move-only, as its
// entries may point into the monitor's set of monitored names.
//
// A CQmAttributeMap entry is an 80-byte node holding a copy of its name,
// whose text (a custom name's) is one more allocation; a monitor caching
// 100,000 objects of the same few names would spend most of its memory on
// those copies. Here an entry is its value and one word naming it: a
// standard name's number, or a pointer to the monitor's copy of a monitored
// custom name; only an unmonitored custom name has a copy of its own. The
// entries lie in one array, in CQmAttributeMap's order.
class CachedAttributes {
 public:
  using Names = std::unordered_set<CQmAttributeName>;

  // The value stored under `name`, or null.
  const CQmAttributeValue* Find(const CQmAttributeName& name) const;
  // Stores every value of `received`, replacing the value of a name already
  // present. A new name is taken from `monitored` when it is there.
  // REQUIRES: `monitored` does not change while this object holds entries.
  void Store(const CQmAttributeMap& received, const Names& monitored);
  CQmAttributeMap ToMap() const;
  void clear() { entries_.clear(); }

 private:
  // One word: a number shifted past the tag bits with kNumber set, or a
  // pointer with kOwned set when this name owns it.
  class Name {
   public:
    Name(const CQmAttributeName& name, const Names& monitored);
    Name(Name&& other) noexcept : bits_(std::exchange(other.bits_, kNumber)) {}
    Name& operator=(Name&& other) noexcept {
      std::swap(bits_, other.bits_);
      return *this;
    }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;
    ~Name();

    // Ordered before `name` as CQmAttributeMap orders its names.
    bool Before(const CQmAttributeName& name) const {
      if ((bits_ & kNumber) != 0) return name > Number();
      return *Pointer() < name;
    }
    bool Is(const CQmAttributeName& name) const {
      if ((bits_ & kNumber) != 0) return name == Number();
      return *Pointer() == name;
    }
    CQmAttributeName Get() const {
      if ((bits_ & kNumber) != 0) return CQmAttributeName(Number());
      return *Pointer();
    }

   private:
    static constexpr std::uintptr_t kNumber = 1;
    static constexpr std::uintptr_t kOwned = 2;
    static constexpr std::uintptr_t kTags = 3;
    static constexpr int kNumberShift = 2;
    static_assert(alignof(CQmAttributeName) > kTags);

    eAttributeName Number() const {
      return static_cast<eAttributeName>(
          static_cast<std::int32_t>(static_cast<std::uint32_t>(bits_ >> kNumberShift)));
    }
    const CQmAttributeName* Pointer() const {
      return reinterpret_cast<const CQmAttributeName*>(bits_ & ~kTags);
    }

    std::uintptr_t bits_;
  };
  struct Entry {
    Name name;
    CQmAttributeValue value;
  };

  // The position of the first entry not ordered before `name`.
  std::size_t LowerBound(const CQmAttributeName& name) const;

  std::vector<Entry> entries_;
};

}  // namespace QueueManager::lightweight
