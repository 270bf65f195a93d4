#pragma once

// Queue statistics records.

#include <array>
#include <cstdint>
#include <iosfwd>
#include <map>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager {

/// Twelve counters of one queue, in wire order. A plain value type: distinct
/// objects may be used from different threads.
class QM_EXPORT CQmQueueStats {
 public:
  /// The counters, in wire order.
  ///@{
  static constexpr int kCounterCount = 12;
  using Counters = std::array<std::uint32_t, kCounterCount>;
  ///@}

  CQmQueueStats() = default;
  /// The twelve counters in wire order.
  explicit CQmQueueStats(const Counters& counters) : counters_(counters) {}
  /// The counters in wire order, each by its name: alerting, connected, disconnected, held,
  /// messaging and system interactions; connection calls, and those disconnected; calls, their
  /// active time (seconds) and the longest (seconds) today; calls abandoned today.
  ///@{
  const Counters& QueryCounters() const { return counters_; }

  std::uint32_t QueryAlertingCount() const { return counters_[0]; }
  std::uint32_t QueryConnectedCount() const { return counters_[1]; }
  std::uint32_t QueryDisconnectedCount() const { return counters_[2]; }
  std::uint32_t QueryHeldCount() const { return counters_[3]; }
  std::uint32_t QueryMessagingCount() const { return counters_[4]; }
  std::uint32_t QuerySystemCount() const { return counters_[5]; }
  std::uint32_t QueryTotalConnectionCallCount() const { return counters_[6]; }
  std::uint32_t QueryDisconnectedConnectionCallCount() const { return counters_[7]; }
  std::uint32_t QueryCallCountToday() const { return counters_[8]; }
  std::uint32_t QueryCallActiveTimeToday() const { return counters_[9]; }
  std::uint32_t QueryLongestCallToday() const { return counters_[10]; }
  std::uint32_t QueryAbandonedCallsToday() const { return counters_[11]; }
  ///@}

  /// Alerting + connected + held + messaging, wrapping modulo 2^32.
  std::uint32_t QueryActiveInteractionCount() const;
  /// The active count + disconnected, wrapping modulo 2^32.
  std::uint32_t QueryInteractionCount() const;

  /// Counter by counter.
  ///@{
  bool operator==(const CQmQueueStats& other) const = default;
  ///@}

 private:
  Counters counters_ = {};
};

/// Twelve uint fields in counter order.
QM_EXPORT W4Notifier::CMessage& operator<<(W4Notifier::CMessage& message,
                                           const CQmQueueStats& stats);
/// Throws CNotifierExtractException on a malformed message; `stats` is then
/// unchanged.
QM_EXPORT const W4Notifier::CMessage& operator>>(const W4Notifier::CMessage& message,
                                                 CQmQueueStats& stats);
/// "Alert=1 Connect=2 ... AbandonedToday=12".
QM_EXPORT std::ostream& operator<<(std::ostream& out, const CQmQueueStats& stats);

/// Live counts of one queue per media type (object type of the interactions)
/// and the two connection-call totals. A plain value type: copies are deep and
/// distinct objects may be used from different threads.
class QM_EXPORT CQmQueueStats2 {
 public:
  /// One media type's counts.
  struct MediaTypeCounts {
    /// The interactions alerting, connected, disconnected, held, messaging
    /// and in a system state; compared field by field.
    ///@{
    std::uint32_t Alerting = 0;
    std::uint32_t Connected = 0;
    std::uint32_t Disconnected = 0;
    std::uint32_t Held = 0;
    std::uint32_t Messaging = 0;
    std::uint32_t System = 0;
    bool operator==(const MediaTypeCounts&) const = default;
    ///@}
  };
  /// The counts by media type.
  ///@{
  using MediaTypeMap = std::map<W4Notifier::ObjectTypes, MediaTypeCounts>;
  ///@}

  CQmQueueStats2() = default;

  /// The counts by media type, and the connection call counts.
  ///@{
  const MediaTypeMap& media_type_maps() const { return mediaTypes_; }
  MediaTypeMap& media_type_maps() { return mediaTypes_; }
  std::uint32_t QueryTotalConnectionCallCount() const { return connectionCalls_; }
  std::uint32_t QueryDisconnectedConnectionCallCount() const {
    return disconnectedConnectionCalls_;
  }
  void SetTotalConnectionCallCount(std::uint32_t count) { connectionCalls_ = count; }
  void SetDisconnectedConnectionCallCount(std::uint32_t count) {
    disconnectedConnectionCalls_ = count;
  }
  ///@}

  /// Field by field.
  ///@{
  bool operator==(const CQmQueueStats2& other) const = default;
  ///@}

  /// uint totals, int entry count, then per entry (ascending type) the type
  /// and six uint counts.
  W4Notifier::CMessage& write(W4Notifier::CMessage& message) const;
  /// Replaces the whole record; a type read twice keeps the counts read last;
  /// an entry count below 1 gives an empty table. Throws
  /// CNotifierExtractException on a malformed message; the record is then
  /// unchanged. Work and memory grow with the entries present, never with the
  /// count claimed.
  const W4Notifier::CMessage& read(const W4Notifier::CMessage& message);

 private:
  MediaTypeMap mediaTypes_;
  std::uint32_t connectionCalls_ = 0;
  std::uint32_t disconnectedConnectionCalls_ = 0;
};

QM_EXPORT W4Notifier::CMessage& operator<<(W4Notifier::CMessage& message,
                                           const CQmQueueStats2& stats);
QM_EXPORT const W4Notifier::CMessage& operator>>(const W4Notifier::CMessage& message,
                                                 CQmQueueStats2& stats);
/// " ConnectionCalls=1 DisconnectedConnectionCalls=2", then per media type a
/// line "\n<type>: Alerting=.. Connected=.. Disconnected=.. Held=.. Messaging=..
/// System=..".
QM_EXPORT std::ostream& operator<<(std::ostream& out, const CQmQueueStats2& stats);

}  // namespace QueueManager
