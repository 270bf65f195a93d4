#include "platform/nats/Parts.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <random>

namespace W4Notifier::nats {
namespace {

// A decimal number as FormatPart writes it: digits alone, no leading zeros.
template <class T>
std::optional<T> ParseDecimal(std::string_view text) {
  if (text.empty() || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  T value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::size_t PartRoom(std::int64_t maxPayload) {
  if (maxPayload <= 0) return 0;
  const auto limit = static_cast<std::uint64_t>(maxPayload);
  // A server configured below the header room still takes something.
  if (limit <= 2 * kHeaderRoom) return static_cast<std::size_t>(limit / 2);
  return static_cast<std::size_t>(limit - kHeaderRoom);
}

std::vector<std::span<const std::uint8_t>> SplitPayload(std::span<const std::uint8_t> bytes,
                                                        std::size_t room) {
  std::vector<std::span<const std::uint8_t>> parts;
  if (room == 0 || bytes.size() > kMaxMessageBytes) return parts;
  if (bytes.size() <= room) {
    parts.push_back(bytes);
    return parts;
  }
  const std::size_t count = (bytes.size() + room - 1) / room;
  if (count > kMaxParts) return parts;
  parts.reserve(count);
  for (std::size_t offset = 0; offset < bytes.size(); offset += room) {
    parts.push_back(bytes.subspan(offset, std::min(room, bytes.size() - offset)));
  }
  return parts;
}

PartHeaderText FormatPart(const PartHeader& header) {
  return {std::to_string(header.id),
          std::to_string(header.index) + "/" + std::to_string(header.count),
          std::to_string(header.total)};
}

std::optional<PartHeader> ParsePartHeader(std::string_view id, std::string_view part,
                                          std::string_view total) {
  const std::size_t slash = part.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const auto parsedId = ParseDecimal<std::uint64_t>(id);
  const auto index = ParseDecimal<std::uint32_t>(part.substr(0, slash));
  const auto count = ParseDecimal<std::uint32_t>(part.substr(slash + 1));
  const auto bytes = ParseDecimal<std::uint64_t>(total);
  if (!parsedId || !index || !count || !bytes) return std::nullopt;
  if (*count < 2 || *count > kMaxParts || *index < 1 || *index > *count) return std::nullopt;
  if (*bytes > kMaxMessageBytes) return std::nullopt;
  return PartHeader{*parsedId, *index, *count, *bytes};
}

std::uint64_t NewMessageId() {
  static std::atomic<std::uint64_t> next{[] {
    std::random_device random;
    return (std::uint64_t{random()} << 32) ^ random();
  }()};
  return next.fetch_add(1, std::memory_order_relaxed);
}

PartJoiner::Outcome PartJoiner::Add(std::string_view stream, const PartHeader& header,
                                    std::span<const std::uint8_t> bytes, Clock::time_point now) {
  Outcome outcome;
  // A join whose sender went away mid-message never ends by itself.
  while (!joins_.empty() && now - joins_.front().started > limits_.maxAge) {
    Drop(joins_.begin(), "its parts stopped coming", outcome);
  }
  auto join =
      std::find_if(joins_.begin(), joins_.end(), [&](const Join& j) { return j.stream == stream; });
  if (join != joins_.end() && join->header.id != header.id) {
    // One message at a time per stream: the other one lost its remaining parts.
    Drop(join, "another message came before its last part", outcome);
    join = joins_.end();
  }
  auto refuse = [&](const char* why) {
    outcome.dropped.push_back(Dropped{std::string(stream), header.id, why});
    return std::move(outcome);
  };
  if (header.count < 2 || header.index < 1 || header.index > header.count ||
      header.count > kMaxParts || header.total > kMaxMessageBytes)
    return refuse("its part header is invalid");
  if (join == joins_.end()) {
    if (header.index != 1) return refuse("a part came without the ones before it");
    if (bytes.size() > header.total) return refuse("a part is larger than the message");
    if (joins_.size() >= limits_.maxJoins) Drop(joins_.begin(), "too many joins", outcome);
    if (bytes.size() > limits_.maxBytes) return refuse("it is larger than the joins may hold");
    MakeRoom(bytes.size(), joins_.end(), outcome);
    joins_.push_back(Join{std::string(stream), header, {}, now});
    join = std::prev(joins_.end());
  } else {
    const PartHeader& last = join->header;
    const char* why = nullptr;
    if (header.count != last.count || header.total != last.total) {
      why = "its parts disagree on its size";
    } else if (header.index != last.index + 1) {
      why = header.index <= last.index ? "a part came twice" : "a part is missing";
    } else if (bytes.size() > header.total - join->bytes.size()) {
      why = "its parts are larger than the message";
    } else if (join->bytes.size() + bytes.size() > limits_.maxBytes) {
      why = "it is larger than the joins may hold";
    }
    if (why != nullptr) {
      Drop(join, why, outcome);
      return outcome;
    }
    MakeRoom(bytes.size(), join, outcome);
    join->header = header;
  }
  join->bytes.insert(join->bytes.end(), bytes.begin(), bytes.end());
  bytes_ += bytes.size();
  if (header.index < header.count) return outcome;
  if (join->bytes.size() != header.total) {
    Drop(join, "its parts are smaller than the message", outcome);
    return outcome;
  }
  bytes_ -= join->bytes.size();
  outcome.whole = std::move(join->bytes);
  joins_.erase(join);
  return outcome;
}

void PartJoiner::Drop(JoinList::iterator join, std::string why, Outcome& outcome) {
  outcome.dropped.push_back(Dropped{std::move(join->stream), join->header.id, std::move(why)});
  bytes_ -= join->bytes.size();
  joins_.erase(join);
}

void PartJoiner::MakeRoom(std::size_t bytes, JoinList::const_iterator keep, Outcome& outcome) {
  auto oldest = joins_.begin();
  while (bytes_ + bytes > limits_.maxBytes && oldest != joins_.end()) {
    if (oldest == keep) {
      ++oldest;
      continue;
    }
    auto next = std::next(oldest);
    Drop(oldest, "the joins hold too many bytes", outcome);
    oldest = next;
  }
}

}  // namespace W4Notifier::nats
