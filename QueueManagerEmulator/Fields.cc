#include "Fields.h"

#include <fmt/format.h>

namespace QueueManager::Emulator::fields {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

std::int32_t Int(const CMessage& m) {
  std::int32_t value = 0;
  m >> value;
  return value;
}

std::uint32_t Unsigned(const CMessage& m) {
  std::uint32_t value = 0;
  m >> value;
  return value;
}

bool Bool(const CMessage& m) {
  bool value = false;
  m >> value;
  return value;
}

std::uint64_t Unsigned64(const CMessage& m) {
  unsigned long long value = 0;
  m >> value;
  return value;
}

std::u16string Text(const CMessage& m) {
  std::u16string text;
  m >> text;
  return text;
}

std::uint32_t Count(const CMessage& m) {
  const std::int32_t count = Int(m);
  if (count < 0) throw Malformed{fmt::format("negative count {}", count)};
  return static_cast<std::uint32_t>(count);
}

CEntityId Entity(const CMessage& m) {
  const std::int32_t type = Int(m);
  const std::int32_t id = Int(m);
  return CEntityId(static_cast<W4Notifier::ObjectTypes>(type), static_cast<std::uint32_t>(id), 0);
}

CEntityId Queue(const CMessage& m) {
  CEntityId queue = Entity(m);
  // An unset entity goes on the wire with no object type.
  if (queue.QueryObjectType() == W4Notifier::eObjectTypeNone) {
    throw Malformed{"queue entity not set"};
  }
  return queue;
}

std::vector<CEntityId> Entities(const CMessage& m) {
  std::vector<CEntityId> out;
  for (std::uint32_t i = Count(m); i > 0; --i) out.push_back(Entity(m));
  return out;
}

std::vector<std::uint32_t> Ids(const CMessage& m) {
  std::vector<std::uint32_t> out;
  for (std::uint32_t i = Count(m); i > 0; --i) out.push_back(Unsigned(m));
  return out;
}

std::vector<std::u16string> Texts(const CMessage& m) {
  std::vector<std::u16string> out;
  for (std::uint32_t i = Count(m); i > 0; --i) out.push_back(Text(m));
  return out;
}

CQmAttributeName Name(const CMessage& m) {
  CQmAttributeName name;
  name.Read(m);
  if (name.empty()) throw Malformed{"empty attribute name"};
  return name;
}

std::vector<CQmAttributeName> Names(const CMessage& m) {
  std::vector<CQmAttributeName> out;
  for (std::uint32_t i = Count(m); i > 0; --i) out.push_back(Name(m));
  return out;
}

}  // namespace QueueManager::Emulator::fields
