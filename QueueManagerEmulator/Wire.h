#pragma once

// Encoding of what the emulated server sends: the server time header, queue
// statistics in both forms, queue bodies and the sections of monitor queue
// and cache reload answers. The all-queues entity of a type (object id
// 0xFFFFFFFF) stands for the sum of that type's queues.

#include "QueueManager/Platform/Message.h"
#include "ServerState.h"

namespace QueueManager::Emulator {

// An entity list: the count, then each entity's object type and id.
void WriteEntities(W4Notifier::CMessage& out, const std::vector<CEntityId>& entities);
// The server's time in 100-nanosecond intervals since 1601-01-01 UTC: the
// current time moved by the clock's offset; all bits set (a negative count:
// no time) for an invalid clock or a time before 1601.
std::uint64_t ServerTime(const ServerState& state);
// High and low 32 bits of ServerTime.
void WriteServerTime(W4Notifier::CMessage& message, const ServerState& state);
// One reading of the clocks, which every message of one operation tells:
// ServerTime and ServerState::NowSeconds.
struct ServerMoment {
  std::uint64_t serverTime = 0;
  std::int64_t seconds = 0;
};
ServerMoment TakeMoment(const ServerState& state);
// Publishes the deactivation report of `interaction`, about to be forgotten,
// when some client asked for one (see LifeCycle.cc).
void ReportDeactivation(const ServerState& state, const InteractionState& interaction,
                        Changes& changes);
// The server clock notification (event 3 of the server): the time header alone.
W4Notifier::CMessage ClockNotification(const ServerState& state);
// The twelve counters.
void WriteStatistics(W4Notifier::CMessage& message, const ServerState& state,
                     const CEntityId& queue);
// The second record: the two totals and the counts per media type.
void WriteStatistics2(W4Notifier::CMessage& message, const ServerState& state,
                      const CEntityId& queue);
// A queue body: exists, statistics, the events and, with `trailer`, the
// sequence number and the second statistics record. A queue that does not
// exist is written as exists false and nothing else. The sequence number is
// the queue's own count; a view's is `writeSequence`, that of the client
// write the body echoes (0 for none), which its lightweight monitors compare
// with their own writes' numbers. Stays count up to `now` (NowSeconds).
void WriteQueueBody(W4Notifier::CMessage& message, const ServerState& state, std::int64_t now,
                    const CEntityId& queue, const std::vector<ServerQueueEvent>& events,
                    bool trailer, std::uint64_t writeSequence = 0);
// The events that bring a client's view of `queue` to its contents: one
// addition per interaction, with the monitored attributes. With
// `valuesOnly` (a client that already holds the contents and asks for more
// names) each event carries the values and adds nothing.
std::vector<ServerQueueEvent> ContentEvents(const ServerState& state, const CEntityId& queue,
                                            bool valuesOnly = false);
// A section of a monitor queue or cache reload answer: the queue entity, the
// names reported for its type, and its body (with the trailer for `trailer`;
// `valuesOnly` as for ContentEvents).
void WriteQueueSection(W4Notifier::CMessage& message, const ServerState& state,
                       const CEntityId& queue, bool trailer, bool valuesOnly = false);
// One interaction update record: the entity fields, the always-notify flag
// (the client reports the record even when it carries none of its names), the
// deallocated flag and the attributes.
void WriteInteractionRecord(W4Notifier::CMessage& message, const CEntityId& interaction,
                            bool alwaysNotify, bool deallocated, const CQmAttributeMap& attributes);
// The record of what the server holds of `id`: its attributes (only those of
// `names`, when given) or, for an id it does not know, a deallocation.
void WriteInteractionSnapshot(W4Notifier::CMessage& message, const ServerState& state,
                              std::uint32_t id, bool alwaysNotify,
                              const std::vector<CQmAttributeName>* names);
// The notification that publishes `record` (event 7 of the interaction's
// request entity).
W4Notifier::CMessage InteractionNotification(const ServerInteractionRecord& record);
// The notification that publishes `change` (event 0 of the queue entity) at `at`.
W4Notifier::CMessage QueueNotification(const ServerState& state, const QueueChange& change,
                                       const ServerMoment& at);

}  // namespace QueueManager::Emulator
