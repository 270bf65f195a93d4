#pragma once

// Reading the fields of a request, shared by the decoders: each reader takes
// the next field, and throws Malformed (or the message's extraction error)
// when it is missing or wrong.

#include <cstdint>
#include <string>
#include <vector>

#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager::Emulator::fields {

// A field that the layout needs is wrong.
struct Malformed {
  std::string reason;
};

std::int32_t Int(const W4Notifier::CMessage& m);
std::uint32_t Unsigned(const W4Notifier::CMessage& m);
bool Bool(const W4Notifier::CMessage& m);
std::uint64_t Unsigned64(const W4Notifier::CMessage& m);
std::u16string Text(const W4Notifier::CMessage& m);
// A non-negative count.
std::uint32_t Count(const W4Notifier::CMessage& m);
// Object type and id.
W4Notifier::CEntityId Entity(const W4Notifier::CMessage& m);
// An entity that is set.
W4Notifier::CEntityId Queue(const W4Notifier::CMessage& m);
// The lists grow one read at a time: a count larger than the fields that
// follow fails at the data end, and never reserves what it announces.
std::vector<W4Notifier::CEntityId> Entities(const W4Notifier::CMessage& m);
std::vector<std::uint32_t> Ids(const W4Notifier::CMessage& m);
std::vector<std::u16string> Texts(const W4Notifier::CMessage& m);
// A non-empty attribute name.
CQmAttributeName Name(const W4Notifier::CMessage& m);
std::vector<CQmAttributeName> Names(const W4Notifier::CMessage& m);

}  // namespace QueueManager::Emulator::fields
