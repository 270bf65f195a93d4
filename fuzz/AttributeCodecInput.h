#pragma once

// The input format of the attribute codec fuzzer, shared with the program that
// writes its seed corpus: one byte that selects the structure to decode, then
// the raw bytes of a message body. The other fuzzers use its message builder
// too.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "QueueManager/Platform/Message.h"

namespace QueueManager::fuzzing {

enum class Structure : std::uint8_t {
  kName = 0,
  kValue = 1,
  kMap = 2,
  kQueueStats = 3,
  kQueueStats2 = 4,
};
inline constexpr std::uint8_t kStructureCount = 5;

// The structure an input selects (its first byte, modulo the count).
inline Structure SelectedStructure(std::uint8_t first) {
  return static_cast<Structure>(first % kStructureCount);
}

// A message with an empty header whose body is exactly `body`, well formed or
// not: the message layer checks fields only when they are read.
inline W4Notifier::CMessage MessageWithBody(std::span<const std::uint8_t> body) {
  constexpr std::size_t kHeader = 4 + 4 * 4 + 4;  // magic and version, header fields, body length
  std::vector<std::uint8_t> bytes;
  bytes.reserve(kHeader + body.size());
  bytes = {'W', '4', 'M', 1};
  bytes.resize(4 + 4 * 4, 0);  // event id, object type, object id, event name length
  const auto size = static_cast<std::uint32_t>(body.size());
  for (int shift = 0; shift < 32; shift += 8) {
    bytes.push_back(static_cast<std::uint8_t>(size >> shift));
  }
  bytes.insert(bytes.end(), body.begin(), body.end());
  return W4Notifier::CMessage::Parse(bytes);
}

// A fuzzer input: the selector byte, then `message`'s body.
inline std::vector<std::uint8_t> MakeInput(std::uint8_t selector,
                                           const W4Notifier::CMessage& message) {
  std::vector<std::uint8_t> input = {selector};
  const auto body = message.BodyBytes();
  input.insert(input.end(), body.begin(), body.end());
  return input;
}

// The fuzzer input that decodes `message`'s body as `structure`.
inline std::vector<std::uint8_t> MakeInput(Structure structure,
                                           const W4Notifier::CMessage& message) {
  return MakeInput(static_cast<std::uint8_t>(structure), message);
}

}  // namespace QueueManager::fuzzing
