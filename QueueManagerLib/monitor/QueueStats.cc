#include "QueueManager/QueueStats.h"

#include <ostream>
#include <utility>

#include "QueueManager/Platform/Text.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;

constexpr const char* kStatsLabels[CQmQueueStats::kCounterCount] = {
    "Alert=",
    " Connect=",
    " Disconnect=",
    " Held=",
    " Messaging=",
    " System=",
    " ConnectionCalls=",
    " DisconnectedConnectionCalls=",
    " TotalCountToday=",
    " TotalTimeToday=",
    " LongestToday=",
    " AbandonedToday=",
};

void WriteCounts(CMessage& message, const CQmQueueStats2::MediaTypeCounts& counts) {
  message << counts.Alerting << counts.Connected << counts.Disconnected << counts.Held
          << counts.Messaging << counts.System;
}

CQmQueueStats2::MediaTypeCounts ReadCounts(const CMessage& message) {
  CQmQueueStats2::MediaTypeCounts counts;
  message >> counts.Alerting >> counts.Connected >> counts.Disconnected >> counts.Held >>
      counts.Messaging >> counts.System;
  return counts;
}

}  // namespace

// ---- CQmQueueStats ----

std::uint32_t CQmQueueStats::QueryActiveInteractionCount() const {
  return QueryAlertingCount() + QueryConnectedCount() + QueryHeldCount() + QueryMessagingCount();
}

std::uint32_t CQmQueueStats::QueryInteractionCount() const {
  return QueryActiveInteractionCount() + QueryDisconnectedCount();
}

CMessage& operator<<(CMessage& message, const CQmQueueStats& stats) {
  for (const std::uint32_t counter : stats.QueryCounters()) message << counter;
  return message;
}

const CMessage& operator>>(const CMessage& message, CQmQueueStats& stats) {
  // Decoded aside, so that a truncated message leaves `stats` as it was.
  CQmQueueStats::Counters counters;
  for (std::uint32_t& counter : counters) message >> counter;
  stats = CQmQueueStats(counters);
  return message;
}

std::ostream& operator<<(std::ostream& out, const CQmQueueStats& stats) {
  const CQmQueueStats::Counters& counters = stats.QueryCounters();
  for (int i = 0; i < CQmQueueStats::kCounterCount; ++i) {
    out << kStatsLabels[i] << counters[static_cast<std::size_t>(i)];
  }
  return out;
}

// ---- CQmQueueStats2 ----

CMessage& CQmQueueStats2::write(CMessage& message) const {
  // The count and the types go out as plain ints; readers take a type back
  // with the ObjectTypes operation, which accepts an int field.
  message << connectionCalls_ << disconnectedConnectionCalls_
          << static_cast<std::int32_t>(mediaTypes_.size());
  for (const auto& [type, counts] : mediaTypes_) {
    message << static_cast<std::int32_t>(type);
    WriteCounts(message, counts);
  }
  return message;
}

const CMessage& CQmQueueStats2::read(const CMessage& message) {
  // Decoded into a fresh record and then swapped in, so that a malformed
  // message leaves this one unchanged. Every entry is seven fields and the
  // first one missing throws, so a hostile count ends the loop as soon as
  // the data does.
  CQmQueueStats2 decoded;
  std::int32_t count = 0;
  message >> decoded.connectionCalls_ >> decoded.disconnectedConnectionCalls_ >> count;
  for (std::int32_t i = 0; i < count; ++i) {
    W4Notifier::ObjectTypes type;
    message >> type;
    decoded.mediaTypes_[type] = ReadCounts(message);
  }
  *this = std::move(decoded);
  return message;
}

CMessage& operator<<(CMessage& message, const CQmQueueStats2& stats) {
  return stats.write(message);
}

const CMessage& operator>>(const CMessage& message, CQmQueueStats2& stats) {
  return stats.read(message);
}

std::ostream& operator<<(std::ostream& out, const CQmQueueStats2& stats) {
  out << " ConnectionCalls=" << stats.QueryTotalConnectionCallCount()
      << " DisconnectedConnectionCalls=" << stats.QueryDisconnectedConnectionCallCount();
  for (const auto& [type, counts] : stats.media_type_maps()) {
    out << '\n'
        << W4Os::WideToNarrowLossy(W4Notifier::GetNotifierObjectTypeName(type).str())
        << ": Alerting=" << counts.Alerting << " Connected=" << counts.Connected
        << " Disconnected=" << counts.Disconnected << " Held=" << counts.Held
        << " Messaging=" << counts.Messaging << " System=" << counts.System;
  }
  return out;
}

}  // namespace QueueManager
