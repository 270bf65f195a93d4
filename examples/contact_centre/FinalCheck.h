#pragma once

// The closing check: the library's cache against the server's state.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Board.h"
#include "Floor.h"
#include "QueueManager/Emulator/Emulator.h"

namespace ContactCentre {

// One side's view of the watched queues, as comparable text.
struct Snapshot {
  // Per queue name: the ids it holds, ascending.
  std::map<std::string, std::vector<std::uint32_t>> contents;
  // Per queue name: "alert 1, conn 2, held 0, msg 0, disc 1, sys 0".
  std::map<std::string, std::string> counts;
  // Per interaction, per attribute name: the value; a missing attribute has
  // no entry.
  std::map<std::uint32_t, std::map<std::string, std::string>> attributes;

  std::size_t InteractionCount() const;
};

// What the cache holds: the board's monitors' contents and statistics, and
// the cached values of the monitored names (never a request to the server).
Snapshot CacheSnapshot(const Board& board, const Floor& floor);
// What the server holds for the same queues, and for the interactions of
// `cache` (an interaction the server does not know has no attributes entry).
Snapshot ServerSnapshot(const QueueManager::Emulator::IEmulatorControl& server, const Floor& floor,
                        const std::vector<QueueManager::CQmAttributeName>& names,
                        const Snapshot& cache);
// "alert 1, conn 2, held 0, msg 0, disc 1, sys 0".
std::string CountsText(std::uint32_t alert, std::uint32_t conn, std::uint32_t held,
                       std::uint32_t msg, std::uint32_t disc, std::uint32_t sys);
// One line per difference; empty when the two agree.
std::vector<std::string> Differences(const Snapshot& cache, const Snapshot& server);

}  // namespace ContactCentre
