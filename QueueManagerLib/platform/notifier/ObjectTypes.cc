#include "QueueManager/Platform/ObjectTypes.h"

#include <array>
#include <string>

#include "QueueManager/Platform/Text.h"

namespace W4Notifier {
namespace {

struct NamedType {
  ObjectTypes type;
  std::u16string_view name;
};

constexpr std::array<NamedType, 11> kNamedTypes = {{
    {eWorkgroupQueue, u"WorkgroupQueue"},
    {eUserQueue, u"UserQueue"},
    {eStationQueue, u"StationQueue"},
    {eConferenceInteraction, u"Conference"},
    {eQueueManagerServer, u"QueueManager"},
    {eInteractionRequest, u"Interaction"},
    {eGenericObject, u"GenericObject"},
    {eAttributeMatch, u"AttributeMatch"},
    {eChatConferenceInteraction, u"ChatConference"},
    {eObjectTypeEntity, u"ObjectType"},
    {eGenericObject2, u"GenericObject2"},
}};

std::optional<ObjectTypes> ParseDecimal(std::u16string_view text) {
  if (text.empty() || text.size() > 11) return std::nullopt;
  bool negative = text.front() == u'-';
  if (negative) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::int64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  if (negative) value = -value;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<ObjectTypes>(value);
}

}  // namespace

W4STD::w4idstring GetNotifierObjectTypeName(ObjectTypes type) {
  for (const NamedType& named : kNamedTypes) {
    if (named.type == type) return W4STD::w4idstring(named.name);
  }
  return W4STD::w4idstring(std::to_string(static_cast<std::int32_t>(type)));
}

std::optional<ObjectTypes> ObjectTypeFromName(std::u16string_view name) {
  for (const NamedType& named : kNamedTypes) {
    if (W4Os::EqualsNoCase(named.name, name)) return named.type;
  }
  return ParseDecimal(name);
}

}  // namespace W4Notifier
