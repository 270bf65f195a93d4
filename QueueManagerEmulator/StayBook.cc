#include "StayBook.h"

#include <algorithm>
#include <limits>

namespace QueueManager::Emulator {
namespace {

constexpr std::uint32_t kLongest = std::numeric_limits<std::uint32_t>::max();

std::uint32_t AddClamped(std::uint32_t a, std::uint64_t b) {
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{a} + std::min<std::uint64_t>(b, kLongest), kLongest));
}

}  // namespace

const Stay* StayBook::Find(std::uint32_t id) const {
  const auto it = stays_.find(id);
  return it == stays_.end() ? nullptr : &it->second;
}

void StayBook::Count(const Stay& stay, int sign) {
  const auto since = static_cast<std::uint64_t>(stay.since);
  const std::uint32_t connected = stay.connected ? 1 : 0;
  const std::uint32_t disconnected = stay.connected && stay.disconnected ? 1 : 0;
  if (sign > 0) {
    sums_.since += since;
    sums_.connected += connected;
    sums_.disconnectedConnected += disconnected;
  } else {
    sums_.since -= since;
    sums_.connected -= connected;
    sums_.disconnectedConnected -= disconnected;
  }
}

void StayBook::Begin(std::uint32_t id, const Stay& stay) {
  const auto [it, added] = stays_.try_emplace(id, stay);
  if (!added) {
    Count(it->second, -1);
    joined_.erase(joined_.find(it->second.since));
    it->second = stay;
  }
  Count(stay, +1);
  joined_.insert(stay.since);
}

bool StayBook::End(std::uint32_t id, std::int64_t now) {
  const auto it = stays_.find(id);
  if (it == stays_.end()) return false;
  Count(it->second, -1);
  joined_.erase(joined_.find(it->second.since));
  const std::uint32_t length = LengthAt(it->second, now);
  closedSeconds_ += length;
  longestClosed_ = std::max(longestClosed_, length);
  stays_.erase(it);
  return true;
}

void StayBook::MarkConnected(std::uint32_t id) {
  const auto it = stays_.find(id);
  if (it == stays_.end() || it->second.connected) return;
  Count(it->second, -1);
  it->second.connected = true;
  Count(it->second, +1);
}

void StayBook::SetDisconnected(std::uint32_t id, bool disconnected) {
  const auto it = stays_.find(id);
  if (it == stays_.end()) return;
  Count(it->second, -1);
  it->second.disconnected = disconnected;
  Count(it->second, +1);
}

std::uint32_t StayBook::LengthAt(const Stay& stay, std::int64_t now) {
  if (now <= stay.since) return 0;
  // The difference of two signed values that may lie far apart: exact in
  // unsigned arithmetic once it is known to be positive.
  const std::uint64_t length =
      static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(stay.since);
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(length, kLongest));
}

void StayBook::AddTo(StayTotals& totals, std::int64_t now) const {
  totals.activeSeconds = AddClamped(totals.activeSeconds, closedSeconds_);
  totals.longestSeconds = std::max(totals.longestSeconds, longestClosed_);
  totals.connectionCalls += sums_.connected;
  totals.disconnectedConnectionCalls += sums_.disconnectedConnected;
  if (stays_.empty()) return;
  const auto [open, longest] = OpenLengths(now);
  totals.activeSeconds = AddClamped(totals.activeSeconds, open);
  totals.longestSeconds = std::max(totals.longestSeconds, longest);
}

std::pair<std::uint64_t, std::uint32_t> StayBook::OpenLengths(std::int64_t now) const {
  const std::int64_t earliest = *joined_.begin();
  if (*joined_.rbegin() > now) return OpenLengthsOneByOne(now);
  // Exact: `earliest` is at most `now`.
  const std::uint64_t longest =
      static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(earliest);
  if (longest > kLongest) return OpenLengthsOneByOne(now);
  // No stay is clamped: the lengths sum to count * now less the sum of the
  // joining times, which wrap alike; the true sum fits.
  return {static_cast<std::uint64_t>(now) * stays_.size() - sums_.since,
          static_cast<std::uint32_t>(longest)};
}

std::pair<std::uint64_t, std::uint32_t> StayBook::OpenLengthsOneByOne(std::int64_t now) const {
  std::uint64_t sum = 0;
  std::uint32_t longest = 0;
  for (const auto& entry : stays_) {
    const std::uint32_t length = LengthAt(entry.second, now);
    sum = std::min<std::uint64_t>(sum + length, kLongest);
    longest = std::max(longest, length);
  }
  return {sum, longest};
}

bool StayBook::IsConsistent() const {
  StayBook recounted;
  for (const auto& [id, stay] : stays_) recounted.Begin(id, stay);
  return recounted.sums_ == sums_ && recounted.joined_ == joined_;
}

}  // namespace QueueManager::Emulator
