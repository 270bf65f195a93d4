#pragma once

// Messages larger than a NATS server takes in one piece travel as numbered
// parts. Every part carries the message's id, "<index>/<count>" (from 1) and
// the whole message's size in headers; the parts of one message go out back
// to back on one connection, so that NATS keeps their order for each
// subscriber. The receiver joins them before anything else sees the message,
// and checks every part: the sender may be anybody.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace W4Notifier::nats {

inline constexpr const char* kPartIdHeader = "Qm-Part-Id";
inline constexpr const char* kPartHeader = "Qm-Part";
inline constexpr const char* kPartTotalHeader = "Qm-Part-Total";
// What a part leaves of the server's limit for the headers of the message.
inline constexpr std::size_t kHeaderRoom = 2048;
// The largest message sent or joined, and the most parts it may have.
inline constexpr std::uint64_t kMaxMessageBytes = std::uint64_t{256} << 20;
inline constexpr std::uint32_t kMaxParts = 1u << 16;

struct PartHeader {
  std::uint64_t id = 0;
  std::uint32_t index = 0;  // from 1
  std::uint32_t count = 0;
  std::uint64_t total = 0;  // bytes of the whole message
  friend bool operator==(const PartHeader&, const PartHeader&) = default;
};

// The most body bytes one NATS message may carry on a connection whose
// server takes `maxPayload` bytes (headers included); 0 for a nonsensical
// limit.
std::size_t PartRoom(std::int64_t maxPayload);

// `bytes` cut into parts of at most `room` bytes: the whole as its only part
// when it fits, nothing when it cannot be sent (more than kMaxMessageBytes
// or kMaxParts parts). REQUIRES: room > 0.
std::vector<std::span<const std::uint8_t>> SplitPayload(std::span<const std::uint8_t> bytes,
                                                        std::size_t room);

// The header values of a part, and back; ParsePartHeader refuses what
// FormatPart would not have written and what no sender may send (fewer than
// two parts, an index out of range, too many parts, too many bytes).
struct PartHeaderText {
  std::string id;
  std::string part;
  std::string total;
};
PartHeaderText FormatPart(const PartHeader& header);
std::optional<PartHeader> ParsePartHeader(std::string_view id, std::string_view part,
                                          std::string_view total);

// A message id for this process: random start, then counting, so that ids
// of different senders practically never meet. Thread-safe.
std::uint64_t NewMessageId();

// Joins the parts of messages. A stream is what one sender sends to one
// receiver (a subject with its sender): it carries one message's parts at
// a time, in order. Not thread-safe; a value type.
class PartJoiner {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    std::size_t maxBytes = std::size_t{512} << 20;  // bytes held by all joins
    std::size_t maxJoins = 64;                      // joins in progress
    Clock::duration maxAge = std::chrono::seconds(30);
  };
  // A message given up, with the reason.
  struct Dropped {
    std::string stream;
    std::uint64_t id = 0;
    std::string why;
  };
  struct Outcome {
    std::optional<std::vector<std::uint8_t>> whole;  // the message, once its last part came
    std::vector<Dropped> dropped;                    // joins given up meanwhile
  };

  PartJoiner() = default;
  explicit PartJoiner(Limits limits) : limits_(limits) {}

  Outcome Add(std::string_view stream, const PartHeader& header,
              std::span<const std::uint8_t> bytes, Clock::time_point now);
  std::size_t Joins() const { return joins_.size(); }
  std::size_t Bytes() const { return bytes_; }

 private:
  struct Join {
    std::string stream;
    PartHeader header;  // of the last part taken
    std::vector<std::uint8_t> bytes;
    Clock::time_point started;
  };
  using JoinList = std::list<Join>;  // oldest first

  void Drop(JoinList::iterator join, std::string why, Outcome& outcome);
  // Makes room for `bytes` more, dropping the oldest joins but `keep`.
  void MakeRoom(std::size_t bytes, JoinList::const_iterator keep, Outcome& outcome);

  Limits limits_;
  JoinList joins_;
  std::size_t bytes_ = 0;
};

}  // namespace W4Notifier::nats
