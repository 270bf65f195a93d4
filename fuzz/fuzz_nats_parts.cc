// The joiner of NATS message parts on any sequence of parts: its bounds hold
// after every part, what it hands out is exactly as long as its header said,
// and a message split by the sender joins back to itself.

#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "platform/nats/Parts.h"

using namespace W4Notifier::nats;

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::span<const std::uint8_t> input(data, size);
  if (input.empty()) return 0;
  const std::size_t room = input[0] % 64 + 1;
  input = input.subspan(1);
  // The sender's side: split and join back.
  const auto parts = SplitPayload(input, room);
  PartJoiner joiner;
  const auto start = PartJoiner::Clock::now();
  if (parts.size() > 1) {
    PartJoiner::Outcome outcome;
    for (std::uint32_t i = 0; i < parts.size(); ++i) {
      outcome = joiner.Add("s", {1, i + 1, static_cast<std::uint32_t>(parts.size()), input.size()},
                           parts[i], start);
    }
    Require(outcome.whole &&
            std::equal(outcome.whole->begin(), outcome.whole->end(), input.begin(), input.end()));
  }
  // A hostile sender: each 6-byte step is a part (stream, id, index, count,
  // total, size), its bytes taken from what follows.
  PartJoiner::Limits limits;
  limits.maxBytes = 64;
  limits.maxJoins = 3;
  PartJoiner hostile(limits);
  const char* streams[] = {"a", "b", "c", "d"};
  for (std::size_t step = 0; input.size() >= 6; ++step) {
    const PartHeader header{input[1] % 4u, input[2] % 5u, input[3] % 5u, input[4] % 80u};
    const std::size_t bytes = std::min<std::size_t>(input[5] % 40u, input.size() - 6);
    const auto outcome = hostile.Add(streams[input[0] % 4], header, input.subspan(6, bytes),
                                     start + std::chrono::seconds(step));
    Require(hostile.Bytes() <= limits.maxBytes && hostile.Joins() <= limits.maxJoins);
    if (outcome.whole) Require(outcome.whole->size() == header.total);
    input = input.subspan(6 + bytes);
  }
  return 0;
}
