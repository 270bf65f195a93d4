#pragma once

// Entity identifiers of the notifier: an object type and an object id.

#include <compare>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <vector>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/IdString.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace W4Notifier {

/// Names one entity of the notifier: an object type and a 32-bit object id.
/// A value type; copies are independent. Thread-compatible.
///
/// A named entity's object id is derived from its name (letter case ignored),
/// so the same name gives the same id in every process; the id is never 0 or
/// 0xFFFFFFFF. Its scoped name is "<object type name>:<name>"; an entity built
/// from a number has the scoped name "<object type name>:#<id>" unless a named
/// entity with the same type and id was built in this process before.
///
/// Identity (equality, ordering, hashing) is the pair (object type, object id);
/// the name and the `options` argument do not take part.
class QM_EXPORT CEntityId {
 public:
  /// An empty entity: IsSet() is false.
  CEntityId() = default;
  /// An entity of `type` by object id, or by name (an id the name hashes to, kept with it for
  /// scoped names).
  ///@{
  CEntityId(ObjectTypes type, std::uint32_t objectId, int options = 0);
  CEntityId(ObjectTypes type, const W4STD::w4idstring_arg& name, int options = 0);
  ///@}

  /// True when the entity names something (it was built from a type and an
  /// id or a non-empty name).
  bool IsSet() const { return set_; }
  /// The object type, the object id, the options given, and the scoped name.
  ///@{
  ObjectTypes QueryObjectType() const { return type_; }
  std::uint32_t QueryObjectId() const { return objectId_; }
  int QueryOptions() const { return options_; }
  W4STD::w4idstring QueryScopedName() const;
  ///@}

  /// Sets the entity from "<object type name or number>:<name>" (or ":#<id>").
  /// Returns false and resets the entity when the text is not a scoped name.
  bool SetFromScopedName(const W4STD::w4idstring_arg& scopedName);
  /// Makes the entity empty.
  void Reset();

  /// Comparison by object type, then object id; an empty entity equals only an empty one.
  ///@{
  friend bool operator==(const CEntityId& a, const CEntityId& b) {
    return a.type_ == b.type_ && a.objectId_ == b.objectId_ && a.set_ == b.set_;
  }
  friend std::strong_ordering operator<=>(const CEntityId& a, const CEntityId& b) {
    if (auto c = a.set_ <=> b.set_; c != 0) return c;
    if (auto c = a.type_ <=> b.type_; c != 0) return c;
    ///@}
    return a.objectId_ <=> b.objectId_;
  }

  /// The object id of a named entity of any type (never 0 or 0xFFFFFFFF).
  static std::uint32_t ObjectIdFromName(std::u16string_view name);

 private:
  ObjectTypes type_ = eObjectTypeNone;
  std::uint32_t objectId_ = 0;
  int options_ = 0;
  bool set_ = false;
};

using CEntityIdArray = std::vector<CEntityId>;

/// Writes the scoped name (UTF-8), or "<unset>".
QM_EXPORT std::ostream& operator<<(std::ostream& out, const CEntityId& entity);

}  // namespace W4Notifier

template <>
struct std::hash<W4Notifier::CEntityId> {
  std::size_t operator()(const W4Notifier::CEntityId& e) const noexcept {
    return (static_cast<std::size_t>(static_cast<std::uint32_t>(e.QueryObjectType())) << 32) ^
           e.QueryObjectId();
  }
};
