// libFuzzer target: decodes arbitrary message bytes as the server's report of
// a deactivated interaction. The decoder must never throw (anything escaping
// is reported as a crash) nor allocate for the lengths and counts it is told;
// it must leave the caller's message where it was; a report that stops short
// keeps no attributes; and a complete one, written again, must decode
// complete and, after one trip has given names and values their wire form,
// stay equal trip after trip.
//
// Input: the raw bytes of a message body.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "AttributeCodecInput.h"
#include "QueueManager/InteractionLifeCycle.h"
#include "requests/RequestFields.h"

namespace QueueManager::fuzzing {
namespace {

using W4Notifier::CMessage;

void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "deactivation report decode failed: %s\n", what);
  std::abort();
}

// The report as the server would write it, with an empty block.
CMessage Written(const CDeactivationData& data) {
  CMessage message;
  requests::WriteEntity(message, data.QueryEntityId());
  message << std::uint32_t{0};
  data.QueryAttributes().Write(message);
  return message;
}

CDeactivationData WrittenAndRead(const CDeactivationData& data) {
  const CDeactivationData again(Written(data));
  Require(again.IsComplete(), "a written report did not decode whole");
  Require(again.QueryEntityId() == data.QueryEntityId(), "the entity changed on the way");
  return again;
}

void CheckInput(std::span<const std::uint8_t> input) {
  const CMessage message = MessageWithBody(input);
  const CDeactivationData data(message);
  Require(message.QueryReadPosition() == 0, "the caller's message was read");
  if (!data.IsComplete()) {
    Require(data.QueryAttributes().empty(), "an incomplete report kept attributes");
    return;
  }
  Require(data.QueryEntityId().IsSet(), "a complete report without an entity");
  const CDeactivationData once = WrittenAndRead(data);
  const CDeactivationData twice = WrittenAndRead(once);
  Require(twice.QueryAttributes() == once.QueryAttributes(), "the attributes changed");
}

}  // namespace
}  // namespace QueueManager::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  QueueManager::fuzzing::CheckInput(std::span<const std::uint8_t>(data, size));
  return 0;
}
