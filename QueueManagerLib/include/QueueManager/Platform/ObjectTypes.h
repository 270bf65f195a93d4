#pragma once

// Object types of the notifier's entities.

#include <cstdint>
#include <optional>
#include <string_view>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/IdString.h"

namespace W4Notifier {

/// The object type of an entity. The enumerators are the values this system
/// fixes; any other 32-bit value is a valid object type too.
enum ObjectTypes : std::int32_t {
  eObjectTypeNone = 0,
  eWorkgroupQueue = 3,
  eUserQueue = 9,
  eStationQueue = 10,
  eConferenceInteraction = 20,
  eQueueManagerServer = 29,
  eInteractionRequest = 30,
  eGenericObject = 70,
  eAttributeMatch = 80,
  eChatConferenceInteraction = 100,
  eObjectTypeEntity = 125,
  eGenericObject2 = 195,
};

/// The object type of a server's control entity (the server emulator's seeds,
/// inspections and faults): transports that carry requests between processes
/// keep its requests apart, so that only operators may send them.
inline constexpr ObjectTypes kControlObjectType{0x7E4D};

/// The object id that stands for every object of a type.
inline constexpr std::uint32_t kAllObjects = 0xFFFFFFFFu;

/// The notifier's name of an object type: a fixed name for the enumerated
/// values, the decimal number for any other. Thread-safe.
QM_EXPORT W4STD::w4idstring GetNotifierObjectTypeName(ObjectTypes type);

/// The object type named by `name` (as GetNotifierObjectTypeName writes it,
/// letter case ignored, or a decimal number); nothing when it names none.
QM_EXPORT std::optional<ObjectTypes> ObjectTypeFromName(std::u16string_view name);

}  // namespace W4Notifier
