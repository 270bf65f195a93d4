// Decoding the server's report of a deactivated interaction.

#include <fmt/format.h>

#include <cstdint>
#include <vector>

#include "QueueManager/InteractionLifeCycle.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/Trace.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;

// Reads past the server's opaque block: its announced length, then the raw
// bytes. The bytes are never looked at; what is checked is that the block is
// as long as announced. A block announced empty may be sent as an empty raw
// field or as no field at all.
void SkipOpaqueBlock(const CMessage& report) {
  std::uint32_t length = 0;
  report >> length;
  if (length == 0 &&
      (report.IsAtEndOfData() || report.PeekFieldType() != W4Notifier::FieldType::kBytes)) {
    return;
  }
  // Sized by the field that is there, never by the length announced.
  std::vector<std::uint8_t> block;
  report.Extract(block);
  if (block.size() == length) return;
  throw W4Notifier::CNotifierExtractException(
      fmt::format("opaque block of {} bytes where {} were announced", block.size(), length));
}

}  // namespace

CDeactivationData::CDeactivationData(const CMessage& message) {
  // A copy reads on its own position and leaves the caller's where it is.
  const CMessage report = message;
  try {
    entity_ = requests::ReadEntity(report);
    SkipOpaqueBlock(report);
    attributes_.Read(report);
    complete_ = true;
  } catch (const W4Notifier::CException& error) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelFailure,
             "QueueManager::CDeactivationData::CDeactivationData",
             "malformed deactivation report from ({}, {}): {}",
             static_cast<std::int32_t>(message.QueryObjectType()), message.QueryObjectId(),
             error.what());
  }
}

}  // namespace QueueManager
