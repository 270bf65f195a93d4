#include "RequestDecoder.h"

#include "QueueManager/Emulator/Emulator.h"

#include <exception>
#include <functional>
#include <map>
#include <utility>

#include <fmt/format.h>

#include "Fields.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "ServerState.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

using namespace fields;

ConditionalSetting Setting(const CMessage& m) {
  ConditionalSetting s;
  s.allConditions = Bool(m);
  s.setWhenEmpty = Bool(m);
  s.name = Name(m);
  s.value = Text(m);
  for (std::uint32_t i = Unsigned(m); i > 0; --i) {
    Condition c;
    c.name = Name(m);
    c.value = Text(m);
    c.other.Read(m);  // empty when the value is compared
    c.comparison = Int(m);
    c.flag = Bool(m);
    s.conditions.push_back(std::move(c));
  }
  return s;
}

void DecodePerformAlerting(const CMessage& m, Request& r) {
  r.seconds = Unsigned(m);
  r.entities = Entities(m);
  r.entities2 = Entities(m);
  for (std::uint32_t i = Count(m); i > 0; --i) {
    AlertOrder order;
    order.party = Entity(m);
    ReadAlertParameters(m, order.parameters);
    r.alerts.push_back(std::move(order));
  }
  r.finalValue = Unsigned(m);
}

// A lightweight monitor's write of attributes ends in its sequence number and
// the media type entity it watches, where its echo is to go.
void DecodeWriteSequence(const CMessage& m, Request& r) {
  if (m.IsAtEndOfData()) return;
  if (r.flag || r.map.size() == 0) throw Malformed{"a sequence number without attributes"};
  unsigned long long sequence = 0;
  m >> sequence;
  if (sequence == 0) throw Malformed{"sequence number 0"};
  r.sequence = sequence;
  r.view = Entity(m);
  if (r.view.QueryObjectType() != W4Notifier::eObjectTypeEntity || !IsView(r.view)) {
    throw Malformed{"a sequenced write names no media type entity"};
  }
}

// The plain form names the interaction's request entity in front; the legacy
// form (flag) names the object's own entity, and carries no attributes.
void DecodeMoveAndSet(const CMessage& m, Request& r) {
  const CEntityId self = Entity(m);
  if (self.QueryObjectId() != r.id || !self.IsSet()) {
    throw Malformed{"entity fields do not name the addressed interaction"};
  }
  r.flag = self.QueryObjectType() != W4Notifier::eInteractionRequest;
  r.type = self.QueryObjectType();
  r.entities = Entities(m);
  r.map.Read(m);
  r.entities2 = Entities(m);
  if (r.flag && r.map.size() != 0) throw Malformed{"attributes in a legacy move"};
  DecodeWriteSequence(m, r);
}

// The notification handed on must concern the interaction it is sent to.
void DecodeForward(const CMessage& m, Request& r) {
  m >> r.nested;
  if (r.nested.QueryObjectId() != r.id) {
    throw Malformed{"the forwarded notification concerns another object"};
  }
}

using Decoder = std::function<void(const CMessage&, Request&)>;
struct Entry {
  eRequest kind;
  Decoder decode;
};

const std::map<int, Entry>& InteractionRequests() {
  static const std::map<int, Entry> table{
      {0, {eRequest::kQueryAttributes, [](auto& m, auto& r) { r.names = Names(m); }}},
      {1, {eRequest::kQueryWildcard, [](auto& m, auto& r) { r.text = Text(m); }}},
      {3,
       {eRequest::kAppend,
        [](auto& m, auto& r) {
          r.name = Name(m);
          r.value = Text(m);
          r.text = Text(m);
        }}},
      {4,
       {eRequest::kInsert,
        [](auto& m, auto& r) {
          r.name = Name(m);
          r.value = Text(m);
        }}},
      {7, {eRequest::kMoveAndSet, DecodeMoveAndSet}},
      {8,
       {eRequest::kWatchAttributes,
        [](auto& m, auto& r) {
          r.ids = Ids(m);
          r.names = Names(m);
        }}},
      {9,
       {eRequest::kConditionalSet,
        [](auto& m, auto& r) {
          r.name = Name(m);
          r.value = Text(m);
          r.value2 = Text(m);
        }}},
      {10,
       {eRequest::kIncrement,
        [](auto& m, auto& r) {
          r.name = Name(m);
          r.number = Int(m);
        }}},
      {11,
       {eRequest::kMask,
        [](auto& m, auto& r) {
          r.name = Name(m);
          r.mask = Unsigned(m);
          r.mask2 = Unsigned(m);
        }}},
      {12,
       {eRequest::kRemove,
        [](auto& m, auto& r) {
          r.name = Name(m);
          r.value = Text(m);
        }}},
      {13,
       {eRequest::kConditionalSetList,
        [](auto& m, auto& r) {
          r.names = Names(m);
          r.values = Texts(m);
          r.values2 = Texts(m);
          r.flag = Bool(m);
          if (r.values.size() != r.names.size() || r.values2.size() != r.names.size()) {
            throw Malformed{"names and values differ in number"};
          }
        }}},
      {14,
       {eRequest::kConditionalSettings,
        [](auto& m, auto& r) {
          r.flag = Bool(m);
          for (std::uint32_t i = Unsigned(m); i > 0; --i) r.settings.push_back(Setting(m));
        }}},
      {15, {eRequest::kPerformAlerting, DecodePerformAlerting}},
      {16, {eRequest::kEndAlerting, [](auto& m, auto& r) { r.finalValue = Unsigned(m); }}},
      {6, {eRequest::kQueuesOfObject, [](auto&, auto&) {}}},
      {17, {eRequest::kSilentAlerting, [](auto&, auto&) {}}},
      {37, {eRequest::kObjectType, [](auto&, auto&) {}}},
      {35, {eRequest::kAllocateIds, [](auto& m, auto& r) { r.number = Int(m); }}},
      {19, {eRequest::kAlertTimeout, [](auto& m, auto& r) { r.finalValue = Unsigned(m); }}},
      {18, {eRequest::kForwardNotification, DecodeForward}},
  };
  return table;
}

const std::map<int, Entry>& ServerRequests() {
  static const std::map<int, Entry> table{
      {0,
       {eRequest::kMonitorQueue,
        [](auto& m, auto& r) {
          r.flag = Bool(m);
          r.queue = Queue(m);
          r.names = Names(m);
        }}},
      {2, {eRequest::kCacheReload, [](auto& m, auto& r) { r.entities = Entities(m); }}},
      {4, {eRequest::kQueueContents, [](auto& m, auto& r) { r.queue = Queue(m); }}},
      {5, {eRequest::kDeactivationNames, [](auto& m, auto& r) { r.names = Names(m); }}},
      {6, {eRequest::kCreateQueue, [](auto& m, auto& r) { r.queue = Queue(m); }}},
      {7, {eRequest::kRemoveQueue, [](auto& m, auto& r) { r.queue = Queue(m); }}},
      {8, {eRequest::kQueueStatistics, [](auto& m, auto& r) { r.queue = Queue(m); }}},
      {10, {eRequest::kQueueActive, [](auto& m, auto& r) { r.queue = Queue(m); }}},
      {13,
       {eRequest::kDeallocateAll,
        [](auto& m, auto& r) { r.type = static_cast<W4Notifier::ObjectTypes>(Int(m)); }}},
      {14,
       {eRequest::kInstantiate,
        [](auto& m, auto& r) {
          r.id = Unsigned(m);
          r.type = static_cast<W4Notifier::ObjectTypes>(Int(m));
          r.map.Read(m);
          r.entities = Entities(m);
          r.number = Int(m);
        }}},
      {9,
       {eRequest::kActiveObjects,
        [](auto& m, auto& r) {
          r.queue = Queue(m);
          r.type = static_cast<W4Notifier::ObjectTypes>(Int(m));
        }}},
      {12,
       {eRequest::kSelectCall,
        [](auto& m, auto& r) {
          r.number = Int(m);
          r.entities = Entities(m);
        }}},
      {16, {eRequest::kServerTime, [](auto&, auto&) {}}},
      {kSyncEvent, {eRequest::kSync, [](auto&, auto&) {}}},
      {17, {eRequest::kStatServerNames, [](auto& m, auto& r) { r.names = Names(m); }}},
      {18,
       {eRequest::kListQueues,
        [](auto& m, auto& r) { r.type = static_cast<W4Notifier::ObjectTypes>(Int(m)); }}},
  };
  return table;
}

const Entry* FindEntry(const CMessage& message) {
  const std::map<int, Entry>* table = nullptr;
  if (message.QueryEntityId() ==
      CEntityId(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects, 0)) {
    table = &ServerRequests();
  } else if (message.QueryObjectType() == W4Notifier::eInteractionRequest) {
    table = &InteractionRequests();
  } else {
    return nullptr;
  }
  const auto it = table->find(message.QueryEventId());
  return it == table->end() ? nullptr : &it->second;
}

}  // namespace

std::variant<Request, Rejection> DecodeRequest(const CMessage& message) {
  const Entry* entry = FindEntry(message);
  if (entry == nullptr) {
    return Rejection{fmt::format("no request {} for object type {}", message.QueryEventId(),
                                 static_cast<std::int32_t>(message.QueryObjectType()))};
  }
  Request request;
  request.kind = entry->kind;
  if (message.QueryObjectType() == W4Notifier::eInteractionRequest) {
    request.id = message.QueryObjectId();
  }
  const std::size_t start = message.QueryReadPosition();
  message.Rewind();
  try {
    entry->decode(message, request);
    if (!message.IsAtEndOfData()) throw Malformed{"fields after the end of the request"};
  } catch (const Malformed& e) {
    message.RestoreReadPosition(start);
    return Rejection{fmt::format("malformed request {}: {}", message.QueryEventId(), e.reason)};
  } catch (const std::exception& e) {
    message.RestoreReadPosition(start);
    return Rejection{fmt::format("malformed request {}: {}", message.QueryEventId(), e.what())};
  }
  message.RestoreReadPosition(start);
  return request;
}

}  // namespace QueueManager::Emulator
