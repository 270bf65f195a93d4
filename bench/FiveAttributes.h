#pragma once

// The five attributes the monitor benchmarks update: four standard names
// and one custom name, with short values that vary with `variant`.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"

namespace bench {

inline const std::vector<QueueManager::CQmAttributeName>& FiveNames() {
  static const std::vector<QueueManager::CQmAttributeName> names = {
      QueueManager::Xan_State, QueueManager::Xan_UserName, QueueManager::Xan_Workgroup,
      QueueManager::Xan_LocalName, QueueManager::CQmAttributeName(u"CustomerTier")};
  return names;
}

inline QueueManager::CQmAttributeMap FiveAttributes(std::uint32_t variant) {
  QueueManager::CQmAttributeMap map;
  for (std::size_t i = 0; i < FiveNames().size(); ++i) {
    map.insert(FiveNames()[i],
               u"value " + std::u16string(1, static_cast<char16_t>(u'a' + (variant + i) % 26)));
  }
  return map;
}

}  // namespace bench
