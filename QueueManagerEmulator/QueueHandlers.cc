// The requests to the Queue Manager server: queue administration and
// queries, queue monitoring, the cache reload, instantiation and the name
// lists that clients hand in. A query never creates a queue; a monitor queue
// request and a move onto a queue create it on first reference. The monitor
// queue request is also the activation of the lightweight monitors, and with
// the cache reload opens a view (see ServerState.h); a view answers
// contents, statistics and activity like a queue, but is neither created nor
// removed, nor joined or left by a move.

#include "HandlerParts.h"
#include "Wire.h"

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CMessage;

bool IsAllQueues(const CEntityId& queue) {
  return queue.QueryObjectId() == W4Notifier::kAllObjects;
}

// The answer lists the all-queues entity (the type's sums) and then each
// queue of the type, or the one queue asked for. A client that asks for more
// names (the flag) holds the contents already: it gets the values, and an
// interaction it holds is not added to its view a second time.
CMessage MonitorQueue(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  if (IsView(r.queue)) {
    state.OpenView(r.queue);
  } else if (!IsAllQueues(r.queue)) {
    state.CreateQueue(r.queue, changes);
  }
  state.RegisterNames(r.queue.QueryObjectType(), r.names);
  CMessage out;
  WriteServerTime(out, state);
  WriteQueueSection(out, state, r.queue, true, r.flag);
  if (IsAllQueues(r.queue)) {
    for (const CEntityId& queue : state.QueuesOfType(r.queue.QueryObjectType())) {
      WriteQueueSection(out, state, queue, true, r.flag);
    }
  }
  return out;
}

CMessage CacheReload(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  CMessage out;
  WriteServerTime(out, state);
  for (const CEntityId& entity : r.entities) {
    if (IsView(entity)) state.OpenView(entity);
    if (entity.QueryObjectType() == W4Notifier::eInteractionRequest) {
      out << static_cast<std::int32_t>(entity.QueryObjectType())
          << static_cast<std::int32_t>(entity.QueryObjectId());
      WriteInteractionSnapshot(out, state, entity.QueryObjectId(), false, nullptr);
    } else {
      WriteQueueSection(out, state, entity, false);
    }
  }
  return out;
}

CMessage QueueContents(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  std::vector<CEntityId> contents;
  if (const ServerQueue* record = state.FindRecord(r.queue)) {
    for (const std::uint32_t id : record->members) {
      contents.emplace_back(state.FindInteraction(id)->type, id, 0);
    }
  }
  CMessage out;
  WriteEntities(out, contents);
  return out;
}

CMessage DeactivationNames(const Request& r, std::uint16_t client, ServerState& state, Changes&) {
  state.Client(client).deactivationNames = r.names;
  return {};
}

CMessage StatServerNames(const Request& r, std::uint16_t client, ServerState& state, Changes&) {
  state.Client(client).statServerNames = r.names;
  return {};
}

CMessage CreateQueue(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  if (!IsAllQueues(r.queue)) state.CreateQueue(r.queue, changes);
  return {};
}

CMessage RemoveQueue(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  state.RemoveQueue(r.queue, changes);
  return {};
}

// The twelve counters, or for a client set to the two-record form the type's
// sums and then the queue's own record.
CMessage Statistics(const Request& r, std::uint16_t client, ServerState& state, Changes&) {
  const bool found = state.FindRecord(r.queue) != nullptr;
  CMessage out;
  out << found;
  if (!found) return out;
  const ClientRecord* settings = state.FindClient(client);
  if (settings != nullptr && settings->twoRecordStatistics) {
    WriteStatistics2(out, state, CEntityId(r.queue.QueryObjectType(), W4Notifier::kAllObjects, 0));
    WriteStatistics2(out, state, r.queue);
  } else {
    WriteStatistics(out, state, r.queue);
  }
  return out;
}

CMessage QueueActive(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  CMessage out;
  out << (state.FindRecord(r.queue) != nullptr);
  return out;
}

CMessage DeallocateAll(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  for (const std::uint32_t id : state.InteractionsOfType(r.type)) {
    state.RemoveInteraction(id, changes);
  }
  return {};
}

// Id 0 (or 0xFFFFFFFF) asks the server for the next free id; an id in use
// answers false with the existing interaction's entity.
CMessage Instantiate(const Request& r, std::uint16_t, ServerState& state, Changes& changes) {
  std::uint32_t id = r.id;
  if (id == 0 || id == W4Notifier::kAllObjects) id = state.NextFreeId();
  const InteractionState* existing = state.FindInteraction(id);
  const bool created = existing == nullptr;
  if (created) {
    state.AddInteraction(id, r.type, r.map, changes);
    for (const CEntityId& queue : r.entities) state.Join(id, queue, changes);
  }
  CMessage out;
  out << created << static_cast<std::int32_t>(created ? r.type : state.FindInteraction(id)->type)
      << static_cast<std::int32_t>(id);
  return out;
}

CMessage ListQueues(const Request& r, std::uint16_t, ServerState& state, Changes&) {
  CMessage out;
  WriteEntities(out, state.QueuesOfType(r.type));
  return out;
}

// The server's time, for the client's clock skew.
CMessage ServerTime(const Request&, std::uint16_t, ServerState& state, Changes&) {
  CMessage out;
  WriteServerTime(out, state);
  return out;
}

// Answered after every notification published before it (the outbox sends
// in order); names the client as the server knows it.
CMessage Sync(const Request&, std::uint16_t client, ServerState&, Changes&) {
  CMessage out;
  out << static_cast<std::uint32_t>(client);
  return out;
}

}  // namespace

Handler QueueHandler(eRequest kind) {
  switch (kind) {
    case eRequest::kMonitorQueue:
      return MonitorQueue;
    case eRequest::kCacheReload:
      return CacheReload;
    case eRequest::kQueueContents:
      return QueueContents;
    case eRequest::kDeactivationNames:
      return DeactivationNames;
    case eRequest::kStatServerNames:
      return StatServerNames;
    case eRequest::kCreateQueue:
      return CreateQueue;
    case eRequest::kRemoveQueue:
      return RemoveQueue;
    case eRequest::kQueueStatistics:
      return Statistics;
    case eRequest::kQueueActive:
      return QueueActive;
    case eRequest::kDeallocateAll:
      return DeallocateAll;
    case eRequest::kInstantiate:
      return Instantiate;
    case eRequest::kListQueues:
      return ListQueues;
    case eRequest::kServerTime:
      return ServerTime;
    case eRequest::kSync:
      return Sync;
    default:
      return QueueObjectHandler(kind);
  }
}

}  // namespace QueueManager::Emulator
