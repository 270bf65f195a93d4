#pragma once

// The demo's command line.

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "CommandLine.h"

namespace ContactCentre {

struct Options {
  double durationSeconds = 20.0;
  std::uint32_t seed = 1;
  bool quiet = false;
  // The NATS server(s) to reach the emulator through, comma-separated; empty:
  // the in-process notifier.
  std::string natsUrl;
  // With natsUrl: drive an emulator of another process (qm_emulator) through
  // its control entity, instead of one in this process.
  bool remoteEmulator = false;
  // With natsUrl: only watch the floor's queues on a server elsewhere, for
  // the duration: no emulator, no scenario, no final check.
  bool watchOnly = false;
  // The NATS identity options ("--nats-user", ...) as given, in order: the
  // notifier's own parser reads them.
  std::vector<std::pair<std::string, std::string>> natsSettings;
  bool help = false;
};

// What the command line asked for: options, or a text to print instead of
// running (the help, the version, or an error: exit status 2).
struct ParsedOptions {
  Options options;
  std::string error;  // empty when the command line was understood
  QueueManager::CommandLine::ParseResult outcome;
};

// Reads `arguments` (without the program name). A duration must be a
// positive number of seconds up to an hour, a seed a decimal 32-bit number.
// `extend` adds a program's own options.
ParsedOptions ParseOptions(const std::vector<std::string>& arguments,
                           const std::string& program = "qm_contact_centre",
                           const std::function<void(CLI::App&)>& extend = {});

}  // namespace ContactCentre
