// The requests to an interaction's request entity. An interaction the server
// does not know changes nothing: queries answer no values, changes answer
// false (or the empty value) and an element edit of it is dropped.
//
// The attribute watch request (event 8) answers one record per listed
// interaction with the values it holds of the names asked for, the
// always-notify flag set so that the client reports the interaction even when
// none of them has a value; an interaction it does not know is answered with
// a deallocation record. Sent to the interaction's own entity about it alone,
// it is an activation: the client watches those names from then on. Sent to
// another entity (the form that asks about many at once) it is a snapshot and
// watches nothing new.

#include <limits>

#include "Conditions.h"
#include "HandlerParts.h"
#include "Wire.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CMessage;

void WriteValues(CMessage& out, const std::vector<CQmAttributeValue>& values) {
  out << static_cast<std::int32_t>(values.size());
  for (const CQmAttributeValue& value : values) out << value.QueryString();
}

CQmAttributeValue Current(const ServerState& state, const Request& r,
                          const CQmAttributeName& name) {
  const InteractionState* interaction = state.FindInteraction(r.id);
  return interaction == nullptr ? CQmAttributeValue() : interaction->attributes.Query(name);
}

void SetOne(ServerState& state, std::uint32_t id, const CQmAttributeName& name,
            const CQmAttributeValue& value, Changes& changes) {
  CQmAttributeMap map;
  map.insert(name, value);
  state.SetAttributes(id, map, changes);
}

CMessage Query(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  std::vector<CQmAttributeValue> values;
  if (state.FindInteraction(r.id) != nullptr) {
    for (const CQmAttributeName& name : r.names) values.push_back(Current(state, r, name));
  }
  CMessage out;
  WriteValues(out, values);
  return out;
}

CMessage Wildcard(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  CQmAttributeMap matches;
  if (const InteractionState* interaction = state.FindInteraction(r.id)) {
    for (const auto& [name, value] : interaction->attributes) {
      if (GlobMatches(r.text, name.DisplayName())) matches.insert(name, value);
    }
  }
  // The attribute list has the attribute map's layout.
  CMessage out;
  matches.Write(out);
  return out;
}

// A queue to leave of no object type (an unset entity's fields) stands for
// every queue. The legacy form puts an
// object the server does not know on its queues as a new object of its
// entity's type, and answers an int: 1 done, 0 for an object it does not
// know (and is not told to put on a queue). A sequenced write (a lightweight
// monitor's) is echoed once on the media type entity it names.
CMessage MoveAndSet(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  bool known = state.FindInteraction(r.id) != nullptr;
  if (!known && r.flag && !r.entities2.empty() && r.id != W4Notifier::kAllObjects) {
    state.AddInteraction(r.id, r.type, CQmAttributeMap(), changes);
    known = true;
  }
  if (known) {
    for (const CEntityId& queue : r.entities) {
      if (queue.QueryObjectType() != W4Notifier::eObjectTypeNone) {
        state.Leave(r.id, queue, changes);
      } else {
        for (const CEntityId& each : std::vector<CEntityId>(state.FindInteraction(r.id)->queues)) {
          state.Leave(r.id, each, changes);
        }
      }
    }
    state.SetAttributes(r.id, r.map, changes);
    for (const CEntityId& queue : r.entities2) state.Join(r.id, queue, changes);
    if (r.sequence != 0) state.EchoWrite(r.id, r.view, r.sequence, r.map, changes);
  }
  CMessage out;
  if (r.flag) {
    out << std::int32_t{known ? 1 : 0};
  } else {
    out << known;
  }
  return out;
}

// Append, insert and remove: the edited value, answered as now in force.
template <class Edit>
CMessage EditElements(const Request& r, ServerState& state, Changes& changes, Edit edit) {
  CQmAttributeValue value = Current(state, r, r.name);
  if (state.FindInteraction(r.id) != nullptr) {
    edit(value);
    SetOne(state, r.id, r.name, value, changes);
  }
  CMessage out;
  out << value.QueryString();
  return out;
}

CMessage Append(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  return EditElements(r, state, changes, [&r](CQmAttributeValue& value) {
    value = value.QueryString().empty() ? r.value : value.QueryString() + r.text + r.value;
  });
}

CMessage Insert(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  return EditElements(r, state, changes, [&r](CQmAttributeValue& value) {
    value.insert(std::u16string_view(r.value));
  });
}

CMessage Remove(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  return EditElements(r, state, changes, [&r](CQmAttributeValue& value) { value.remove(r.value); });
}

// Compare and set: the second value replaces the first.
CMessage ConditionalSet(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  const bool done =
      state.FindInteraction(r.id) != nullptr && Current(state, r, r.name).QueryString() == r.value;
  if (done) SetOne(state, r.id, r.name, CQmAttributeValue(r.value2), changes);
  CMessage out;
  out << done << Current(state, r, r.name).QueryString();
  return out;
}

// An empty attribute counts as 0; any other text that is no number refuses.
bool Number(const CQmAttributeValue& value, long& number) {
  number = 0;
  return value.QueryString().empty() || value.Query(number);
}

CMessage Increment(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  long number = 0;
  bool done = state.FindInteraction(r.id) != nullptr && Number(Current(state, r, r.name), number);
  const long sum = number + r.number;
  // The int range does not wrap: an increment that would leave it is refused.
  done = done && sum >= std::numeric_limits<std::int32_t>::min() &&
         sum <= std::numeric_limits<std::int32_t>::max();
  if (done) {
    number = sum;
    SetOne(state, r.id, r.name, CQmAttributeValue(number), changes);
  }
  CMessage out;
  out << done << static_cast<std::int32_t>(done ? number : 0);
  return out;
}

CMessage Mask(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  long number = 0;
  const bool done = state.FindInteraction(r.id) != nullptr &&
                    Number(Current(state, r, r.name), number) && number >= 0 &&
                    number <= std::numeric_limits<std::uint32_t>::max();
  std::uint32_t result = 0;
  if (done) {
    result = (static_cast<std::uint32_t>(number) & r.mask) | r.mask2;
    SetOne(state, r.id, r.name, CQmAttributeValue(result), changes);
  }
  CMessage out;
  out << done << result;
  return out;
}

// The list forms decide every entry against the values before the request;
// with the flag set they are all or nothing. Done: every entry was set.
CMessage ConditionalSetList(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  const bool known = state.FindInteraction(r.id) != nullptr;
  CQmAttributeMap toSet;
  std::size_t matched = 0;
  for (std::size_t i = 0; known && i < r.names.size(); ++i) {
    if (Current(state, r, r.names[i]).QueryString() != r.values[i]) continue;
    toSet.insert(r.names[i], r.values2[i]);
    ++matched;
  }
  const bool done = known && matched == r.names.size();
  if (done || !r.flag) state.SetAttributes(r.id, toSet, changes);
  CQmAttributeMap result;
  for (const CQmAttributeName& name : r.names) result.insert(name, Current(state, r, name));
  CMessage out;
  out << done;
  result.Write(out);
  return out;
}

CMessage ConditionalSettings(const Request& r, std::uint16_t, ServerState& state,
                             Changes& changes) {
  const InteractionState* interaction = state.FindInteraction(r.id);
  CQmAttributeMap toSet;
  std::size_t applying = 0;
  for (const ConditionalSetting& setting : r.settings) {
    if (interaction == nullptr || !Applies(setting, interaction->attributes)) continue;
    toSet.insert(setting.name, setting.value);
    ++applying;
  }
  const bool done = interaction != nullptr && applying == r.settings.size();
  if (done || !r.flag) state.SetAttributes(r.id, toSet, changes);
  std::vector<CQmAttributeValue> values;
  if (interaction != nullptr) {
    for (const ConditionalSetting& setting : r.settings) {
      values.push_back(Current(state, r, setting.name));
    }
  }
  CMessage out;
  out << done;
  WriteValues(out, values);
  return out;
}

CMessage WatchAttributes(const Request& r, std::uint16_t client, ServerState& state, Changes&) {
  const bool activation = r.ids.size() == 1 && r.ids.front() == r.id;
  CMessage out;
  for (const std::uint32_t id : r.ids) {
    if (activation && state.FindInteraction(id) != nullptr) state.Watch(client, id, r.names);
    WriteInteractionSnapshot(out, state, id, true, &r.names);
  }
  return out;
}

}  // namespace

Handler InteractionHandler(eRequest kind) {
  switch (kind) {
    case eRequest::kQueryAttributes:
      return Query;
    case eRequest::kQueryWildcard:
      return Wildcard;
    case eRequest::kMoveAndSet:
      return MoveAndSet;
    case eRequest::kAppend:
      return Append;
    case eRequest::kInsert:
      return Insert;
    case eRequest::kRemove:
      return Remove;
    case eRequest::kConditionalSet:
      return ConditionalSet;
    case eRequest::kIncrement:
      return Increment;
    case eRequest::kMask:
      return Mask;
    case eRequest::kConditionalSetList:
      return ConditionalSetList;
    case eRequest::kConditionalSettings:
      return ConditionalSettings;
    case eRequest::kWatchAttributes:
      return WatchAttributes;
    default:
      if (const Handler handler = AlertingHandler(kind)) return handler;
      if (const Handler handler = LifeCycleHandler(kind)) return handler;
      return QueueObjectHandler(kind);
  }
}

}  // namespace QueueManager::Emulator
