#pragma once

// The stays of the members of one queue or view, with the sums that its time
// statistics are read from. Every notification of a queue carries those
// statistics, so they are kept up to date as stays begin, end and change
// rather than counted afresh from every member each time.

#include <cstdint>
#include <map>
#include <set>
#include <utility>

namespace QueueManager::Emulator {

// A member's stay on a queue or view.
struct Stay {
  std::int64_t since = 0;     // server seconds at joining
  bool connected = false;     // it was connected at some time of its stay
  bool disconnected = false;  // it is disconnected now
};

// The time statistics of a queue or view, or the sums of a type's queues.
struct StayTotals {
  std::uint32_t connectionCalls = 0;              // members connected at some time of their stay
  std::uint32_t disconnectedConnectionCalls = 0;  // those of them disconnected now
  std::uint32_t activeSeconds = 0;                // every stay's length, so far
  std::uint32_t longestSeconds = 0;               // the longest stay
};

// The open stays of one record, by interaction id, and the closed ones'
// sums. A stay's length at a time is its seconds since joining, as 0 before
// the joining (a clock moved back) and at most 0xFFFFFFFF. Not thread-safe;
// owned by its queue or view record.
class StayBook {
 public:
  const Stay* Find(std::uint32_t id) const;
  std::size_t Size() const { return stays_.size(); }
  // Replaces a stay `id` may have without closing it.
  void Begin(std::uint32_t id, const Stay& stay);
  // Closes the stay of `id` at `now`, adding its length to the closed ones;
  // false when it has none.
  bool End(std::uint32_t id, std::int64_t now);
  // Both do nothing for an id without a stay.
  void MarkConnected(std::uint32_t id);
  void SetDisconnected(std::uint32_t id, bool disconnected);
  // Adds this record's statistics at `now` to `totals`: counts and times
  // summed (the times up to 0xFFFFFFFF), the longest stay kept.
  void AddTo(StayTotals& totals, std::int64_t now) const;
  // The kept sums equal those counted afresh from the stays.
  bool IsConsistent() const;

 private:
  // The sums over the open stays that every reading needs.
  struct Sums {
    std::uint64_t since = 0;  // wraps: read only as differences that fit
    std::uint32_t connected = 0;
    std::uint32_t disconnectedConnected = 0;
    bool operator==(const Sums&) const = default;
  };
  void Count(const Stay& stay, int sign);
  static std::uint32_t LengthAt(const Stay& stay, std::int64_t now);
  // The open stays' lengths at `now` summed and their longest. REQUIRES: some
  // stay is open.
  std::pair<std::uint64_t, std::uint32_t> OpenLengths(std::int64_t now) const;
  // The same, stay by stay: for a time at which some of them are clamped.
  std::pair<std::uint64_t, std::uint32_t> OpenLengthsOneByOne(std::int64_t now) const;

  std::map<std::uint32_t, Stay> stays_;
  std::multiset<std::int64_t> joined_;  // the open stays' `since`, for the earliest and latest
  Sums sums_;
  std::uint64_t closedSeconds_ = 0;  // the stays of those that left
  std::uint32_t longestClosed_ = 0;  // the longest of them
};

}  // namespace QueueManager::Emulator
