#pragma once

// Decoding of the requests that the emulated server serves. A request is read
// completely, and checked to end where its last field ends, before anything
// acts on it: a malformed request is rejected whole and changes nothing.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "Alerting.h"
#include "QueueManager/AttributeMap.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager::Emulator {

enum class eRequest : std::uint8_t {
  // To an interaction's request entity.
  kQueryAttributes,      // names
  kQueryWildcard,        // text
  kMoveAndSet,           // entities (remove from), map, entities2 (add to), flag (legacy form),
                         // and for a sequenced write sequence, view
  kAppend,               // name, value, text (separator)
  kInsert,               // name, value
  kConditionalSet,       // name, value, value2
  kIncrement,            // name, number
  kMask,                 // name, mask, mask2
  kRemove,               // name, value
  kConditionalSetList,   // names, values, values2, flag
  kConditionalSettings,  // flag, settings
  kWatchAttributes,      // ids, names
  kPerformAlerting,      // seconds, entities (from), entities2 (associated), alerts, finalValue
  kEndAlerting,          // finalValue
  kSilentAlerting,       // nothing
  kAlertTimeout,         // finalValue (seconds)
  kQueuesOfObject,       // nothing
  kAllocateIds,          // number (block size)
  kObjectType,           // nothing
  kForwardNotification,  // nested (the notification)
  // To the Queue Manager server.
  kMonitorQueue,       // flag (adding), queue, names
  kCacheReload,        // entities
  kQueueContents,      // queue
  kDeactivationNames,  // names
  kCreateQueue,        // queue
  kRemoveQueue,        // queue
  kQueueStatistics,    // queue
  kQueueActive,        // queue
  kDeallocateAll,      // type
  kInstantiate,        // id, type, map, entities
  kStatServerNames,    // names
  kListQueues,         // type
  kActiveObjects,      // queue, type
  kSelectCall,         // number (selection value), entities
  kServerTime,         // nothing
  // Not of the protocol: the emulator's own round trip (kSyncEvent).
  kSync,  // nothing
};

// One condition of a conditional setting.
struct Condition {
  CQmAttributeName name;
  std::u16string value;  // compared with, unless `other` is set
  CQmAttributeName other;
  std::int32_t comparison = 0;
  bool flag = false;
};

// One attribute to set under conditions.
struct ConditionalSetting {
  bool allConditions = false;
  bool setWhenEmpty = false;
  CQmAttributeName name;
  std::u16string value;
  std::vector<Condition> conditions;
};

// A decoded request: the fields its kind uses (see eRequest), the rest empty.
struct Request {
  eRequest kind{};
  std::uint32_t id = 0;  // the interaction (its entity's object id, or instantiated)
  W4Notifier::ObjectTypes type = W4Notifier::eObjectTypeNone;
  W4Notifier::CEntityId queue;
  CQmAttributeName name;
  std::vector<CQmAttributeName> names;
  std::vector<std::uint32_t> ids;  // interactions listed in the body
  std::u16string value;
  std::u16string value2;
  std::u16string text;
  std::vector<std::u16string> values;
  std::vector<std::u16string> values2;
  std::vector<W4Notifier::CEntityId> entities;
  std::vector<W4Notifier::CEntityId> entities2;
  CQmAttributeMap map;
  std::int32_t number = 0;
  std::uint32_t mask = 0;
  std::uint32_t mask2 = 0;
  bool flag = false;
  std::vector<ConditionalSetting> settings;
  std::uint32_t seconds = 0;
  std::uint32_t finalValue = 0;
  std::vector<AlertOrder> alerts;
  // A sequenced write's number (nonzero) and the view it is echoed on.
  std::uint64_t sequence = 0;
  W4Notifier::CEntityId view;
  W4Notifier::CMessage nested;
};

// Why a request was not decoded.
struct Rejection {
  std::string reason;
};

// Never throws for any message.
std::variant<Request, Rejection> DecodeRequest(const W4Notifier::CMessage& message);

}  // namespace QueueManager::Emulator
