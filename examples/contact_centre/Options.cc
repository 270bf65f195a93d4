#include "Options.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <system_error>

#include <fmt/format.h>

namespace ContactCentre {
namespace {

constexpr double kLongestRunSeconds = 3600.0;

// std::from_chars with the whole text consumed, or false.
template <class Number>
bool ReadWhole(std::string_view text, Number& number) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, number);
  return error == std::errc() && stop == end && !text.empty();
}

bool ReadDuration(std::string_view text, double& seconds) {
  double value = 0;
  if (!ReadWhole(text, value) || !std::isfinite(value) || value <= 0 ||
      value > kLongestRunSeconds) {
    return false;
  }
  seconds = value;
  return true;
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& arguments) {
  ParsedOptions parsed;
  Options& options = parsed.options;
  for (std::size_t i = 0; i < arguments.size() && parsed.error.empty(); ++i) {
    const std::string& argument = arguments[i];
    const bool takesValue = argument == "--duration" || argument == "--seed" ||
                            argument == "--nats" || argument.starts_with("--nats-");
    if (takesValue && i + 1 == arguments.size()) {
      parsed.error = fmt::format("{} needs a value", argument);
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--remote-emulator") {
      options.remoteEmulator = true;
    } else if (argument == "--quiet") {
      options.quiet = true;
    } else if (argument == "--nats") {
      options.natsUrl = arguments[++i];
      if (options.natsUrl.find_first_not_of(", ") == std::string::npos)
        parsed.error =
            "--nats wants a URL or a comma-separated list of them, such as "
            "nats://127.0.0.1:4222";
    } else if (argument == "--duration") {
      if (!ReadDuration(arguments[++i], options.durationSeconds))
        parsed.error = fmt::format("--duration wants seconds in (0, 3600], not '{}'", arguments[i]);
    } else if (argument == "--seed") {
      if (!ReadWhole(std::string_view(arguments[++i]), options.seed))
        parsed.error =
            fmt::format("--seed wants a number up to 4294967295, not '{}'", arguments[i]);
    } else if (argument.starts_with("--nats-")) {
      options.natsSettings.emplace_back(argument, arguments[++i]);
    } else {
      parsed.error = fmt::format("unknown option '{}'", argument);
    }
  }
  if (parsed.error.empty() && options.remoteEmulator && options.natsUrl.empty())
    parsed.error = "--remote-emulator needs --nats URL";
  return parsed;
}

std::string Usage(const std::string& program) {
  return fmt::format(
      "usage: {} [--duration SECONDS] [--seed N] [--nats URL[,URL...] [--remote-emulator]]\n"
      "       [--quiet] [--help]\n"
      "A contact centre on the in-process Queue Manager server emulator: calls, chats\n"
      "and e-mails arrive, agents are alerted, answer, hold, transfer and hang up, and\n"
      "the library's monitors show it live. Ends with a check that the library's cache\n"
      "equals the server's state (exit status 1 when it does not).\n"
      "  --duration SECONDS  how long the contact centre runs (default 20)\n"
      "  --seed N            the scenario's random seed; a seed replays its decisions\n"
      "  --nats URL[,URL...] reach the emulator through these NATS servers: the emulator\n"
      "                      stays in this process, bridged onto NATS, and the library\n"
      "                      talks to it only over NATS\n"
      "  --remote-emulator   with --nats: drive the emulator of another process\n"
      "                      (qm_emulator --nats URL --root qm_contact_centre) through\n"
      "                      its control entity; a control call waits up to 30 s\n"
      "                      for NATS to come back\n"
      "  --nats-...          the NATS identity options of qm_emulator (--nats-user,\n"
      "                      --nats-password-file, --nats-ca, ...; see qm_emulator\n"
      "                      --help) and their QM_NATS_... environment variables\n"
      "  --quiet             print only the summary and the final check\n"
      "  --help              this text\n",
      program);
}

}  // namespace ContactCentre
