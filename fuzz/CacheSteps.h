#pragma once

// The step form of fuzz_cache_messages' inputs, shared with the program that
// writes its seed corpus. An input is a sequence of steps, each an operation
// byte (modulo kOperationCount) and the argument bytes its operation reads;
// a missing argument byte reads as zero.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace QueueManager::fuzzing {

enum class Op : std::uint8_t {
  kDeliver = 0,       // lane with messages (modulo the count)
  kDeliverAll = 1,    // every lane until all are empty
  kServerChange = 2,  // b: queue b & 1, interaction 1 + (b >> 1) % 6, kind (b >> 1) / 6 % 4:
                      // join, leave, new Xan_State value, queue removed
  kAnswer = 3,        // b < kAnswerEvery: pending request b % count; else every one, oldest first
  kFail = 4,          // b: pending request b % count, then rejected, timed out, cancelled
  kActivate = 5,      // b: monitor b % 3 (0, 1: one queue; 2: all queues), queue b / 3 % 2
                      // (7 or 8)
  kDeactivate = 6,    // monitor
  kAddNames = 7,      // monitor: asks for Xan_Note too
  kInteractionWatch = 8,  // b: interaction 1 + b % 6; (b / 6) odd deactivates
  kConnectionLost = 9,    // in-flight requests lost, notifications dropped until renegotiated
  kRenegotiated = 10,     // every subscriber told, on its lane
  kRaw = 11,              // path, length (255: the rest), body bytes: a hostile server message
};
inline constexpr std::uint8_t kOperationCount = 12;
inline constexpr std::uint8_t kAnswerEvery = 128;

// Paths of a raw message (its first argument, modulo kRawPathCount): a
// notification of queue 7 applied at once; one published on queue 7 (8 when
// the quotient is odd) and left on the lanes; the answer to the oldest
// pending load; that to a reload; a TS server monitor's batch (every
// interaction reported when the quotient is odd).
inline constexpr std::uint8_t kRawPathCount = 5;
inline constexpr std::uint8_t kRawRest = 255;

// Appends steps to an input.
class StepWriter {
 public:
  StepWriter& Add(Op op, std::initializer_list<std::uint8_t> arguments = {}) {
    bytes_.push_back(static_cast<std::uint8_t>(op));
    bytes_.insert(bytes_.end(), arguments.begin(), arguments.end());
    return *this;
  }
  // A raw message step; a body too long for its length byte is the rest of
  // the input.
  StepWriter& Raw(std::uint8_t path, std::span<const std::uint8_t> body) {
    Add(Op::kRaw, {path, static_cast<std::uint8_t>(std::min<std::size_t>(body.size(), kRawRest))});
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    return *this;
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace QueueManager::fuzzing
