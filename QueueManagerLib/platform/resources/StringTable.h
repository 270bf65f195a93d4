#pragma once

// The strings of the client resource library.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "platform/resources/SharedMutex.h"

namespace W4Clnt {

// Registered strings by language and id, over the built-in neutral table.
// Thread-safe: lookups share a reader lock, changes take it exclusively.
class CStringTable {
 public:
  // The one table behind GetW4ClntString; never destroyed, so that lookups
  // from static destructors stay valid.
  static CStringTable& Instance();

  bool Register(std::uint16_t language, std::uint32_t id, std::string text);
  bool Unregister(std::uint16_t language, std::uint32_t id);
  void Clear();
  // Empty when no string is known (lookup order in Resources.h).
  std::string Find(std::uint32_t id, std::uint16_t language) const;

 private:
  using Key = std::pair<std::uint16_t, std::uint32_t>;

  std::optional<std::string> FindRegistered(std::uint32_t id, std::uint16_t language) const
      QM_THREAD_ANNOTATION(requires_shared_capability(mutex_));

  mutable CSharedMutex mutex_;
  std::map<Key, std::string> strings_ QM_GUARDED_BY(mutex_);
};

}  // namespace W4Clnt
