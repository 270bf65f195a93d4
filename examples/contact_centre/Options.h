#pragma once

// The demo's command line.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

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
  // The NATS identity options ("--nats-user", ...) as given, in order: the
  // notifier's own parser reads them.
  std::vector<std::pair<std::string, std::string>> natsSettings;
  bool help = false;
};

// What the command line asked for: options, or an error to show with the
// usage (exit status 2).
struct ParsedOptions {
  Options options;
  std::string error;  // empty when the command line was understood
};

// Reads `arguments` (without the program name). A duration must be a
// positive number of seconds up to an hour, a seed a decimal 32-bit number.
ParsedOptions ParseOptions(const std::vector<std::string>& arguments);

// The usage text, `program` as the command's name.
std::string Usage(const std::string& program);

}  // namespace ContactCentre
