#pragma once

// What the wallboard shows: each queue's statistics and contents, and each
// interaction's watched attributes, as the board's watchers reported them;
// and the JSON texts that carry it to the page.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Board.h"
#include "Console.h"

namespace Wallboard {

struct QueueRow {
  std::string name;
  std::string kind;  // "workgroup" or "agent"
  std::uint32_t alerting = 0;
  std::uint32_t connected = 0;
  std::uint32_t held = 0;
  std::uint32_t messaging = 0;
  std::uint32_t disconnected = 0;
  std::uint32_t system = 0;
  std::uint32_t active = 0;
  std::uint32_t total = 0;
  std::vector<std::uint32_t> ids;  // ascending

  bool operator==(const QueueRow&) const = default;
};

struct InteractionRow {
  std::uint32_t id = 0;
  std::string medium;  // empty when the run did not label it
  std::map<std::string, std::string> attributes;

  bool operator==(const InteractionRow&) const = default;
};

// A plain value.
struct WallView {
  std::vector<QueueRow> queues;  // in the floor's order
  std::map<std::uint32_t, InteractionRow> interactions;
};

// The view of what `board`'s watchers last reported; `console` names the
// media. Callable from any thread.
WallView Compose(const ContactCentre::Board& board, const ContactCentre::Console& console);

// {"seq":N,"queues":[...],"interactions":[...]}: everything.
std::string SnapshotJson(const WallView& view, std::uint64_t seq);
// {"seq":N,"queues":[...],"interactions":[...],"gone":[ids]}: the rows that
// differ from `before`; empty when none does.
std::string ChangeJson(const WallView& before, const WallView& after, std::uint64_t seq);

}  // namespace Wallboard
