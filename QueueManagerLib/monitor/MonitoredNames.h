#pragma once

// The monitored-name registry: per queue object type, the attribute names
// whose values the server already sends for queues of that type.

#include <bitset>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "attributes/Catalogue.h"

namespace QueueManager {

// Grows only. Not synchronised, not even for reading (lookups remember the
// last type). Standard names are held as one bit per catalogue number, so
// that the per-attribute test of the notification path is a bit test; custom
// names and numbers outside the catalogue go to a hash set. Not synchronised.
class MonitoredNames {
 public:
  void Register(W4Notifier::ObjectTypes type, const CQmAttributeName& name);
  bool IsRegistered(W4Notifier::ObjectTypes type, const CQmAttributeName& name) const;
  // The names of `names` not yet registered for `type`, in their order.
  std::vector<CQmAttributeName> Unregistered(W4Notifier::ObjectTypes type,
                                             const std::vector<CQmAttributeName>& names) const;
  // Whether any name is registered for `type`.
  bool HasAny(W4Notifier::ObjectTypes type) const;
  void Clear() {
    types_.clear();
    last_ = nullptr;
  }

 private:
  struct TypeNames {
    std::bitset<Catalogue::kMaxNumber + 1> standard;
    std::unordered_set<CQmAttributeName> others;
  };
  static bool IsCatalogueNumber(const CQmAttributeName& name) {
    const std::int32_t number = name.QueryW4AttributeName();
    return number >= 0 && number <= Catalogue::kMaxNumber;
  }

  TypeNames& NamesOf(W4Notifier::ObjectTypes type);
  const TypeNames* FindNamesOf(W4Notifier::ObjectTypes type) const;

  std::unordered_map<W4Notifier::ObjectTypes, TypeNames> types_;
  // The type looked up last: a notification asks for one type several times
  // (the nodes of the map stay where they are, so the pointer stays valid).
  mutable W4Notifier::ObjectTypes lastType_ = W4Notifier::eObjectTypeNone;
  mutable TypeNames* last_ = nullptr;
};

}  // namespace QueueManager
