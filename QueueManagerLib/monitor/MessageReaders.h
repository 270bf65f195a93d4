#pragma once

// Readers of the parts of the server's queue messages. Each reads one part
// completely or throws W4Notifier::CNotifierExtractException; the values read
// are only handed out once the whole part was read, so that a malformed
// message never changes the cache halfway through a part.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "monitor/ClockSkew.h"
#include "monitor/EventAttributes.h"
#include "monitor/InteractionMonitorStore.h"
#include "monitor/ThreadLease.h"

namespace QueueManager {

// One interaction event of a queue body.
struct QueueEvent {
  W4Notifier::CEntityId interaction;
  bool added = false;
  bool removed = false;
  EventAttributes attributes;
};

// The events of one queue body, read into storage kept from one body to the
// next: once warm, reading a body allocates nothing. Not synchronised.
class QueueEventList {
 public:
  // The next event to read into (holding whatever it held before).
  QueueEvent& Add() {
    if (size_ == events_.size()) events_.emplace_back();
    return events_[size_++];
  }
  // REQUIRES: an event was added.
  void DropLast() { --size_; }
  void Reserve(std::size_t count) { events_.reserve(count); }
  void Clear() { size_ = 0; }
  std::span<const QueueEvent> Events() const { return {events_.data(), size_}; }

 private:
  std::vector<QueueEvent> events_;
  std::size_t size_ = 0;
};

// A list borrowed from the calling thread's pool.
using QueueEventsLease = ThreadLease<QueueEventList>;

// The server time header: high and low 32 bits (two uint fields).
ServerSeconds ReadServerTimeHeader(W4Notifier::CMessage& message);
// An entity as two int fields: object type, object id.
W4Notifier::CEntityId ReadEntity(W4Notifier::CMessage& message);
// An int count and that many names. A huge count costs nothing up front: the
// names are read one by one until the data end.
std::vector<CQmAttributeName> ReadNameList(W4Notifier::CMessage& message);
// Entity, added, removed, attribute map, into `event` (reused, so that its
// map keeps its storage from one event to the next). On an exception `event`
// holds a mix of old and new fields and must not be applied.
void ReadQueueEvent(W4Notifier::CMessage& message, QueueEvent& event);
// The head of an event alone: entity, added, removed. The attributes
// follow in the message.
void ReadQueueEventHead(W4Notifier::CMessage& message, QueueEvent& event);
// Entity, always-notify flag, deallocated flag, attribute map.
InteractionReloadRecord ReadInteractionRecord(W4Notifier::CMessage& message);
// A queue body up to its events: the exists flag and the statistics, which
// are read and dropped. The number of events announced, or nullopt for a
// queue reported gone (whose body ends there).
std::optional<std::uint32_t> SkipToQueueEvents(W4Notifier::CMessage& message);
// The interaction events of a whole queue notification: the server time
// header and the statistics are read and dropped, a queue reported gone
// carries none, and the optional trailer after the events is left unread.
std::vector<QueueEvent> ReadNotificationEvents(W4Notifier::CMessage& message);

}  // namespace QueueManager
