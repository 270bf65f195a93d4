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

ParsedOptions ParseOptions(const std::vector<std::string>& arguments, const std::string& program,
                           const std::function<void(CLI::App&)>& extend) {
  namespace Cli = QueueManager::CommandLine;
  ParsedOptions parsed;
  Options& options = parsed.options;
  CLI::App app(
      "A contact centre on the in-process Queue Manager server emulator: calls, chats\n"
      "and e-mails arrive, agents are alerted, answer, hold, transfer and hang up, and\n"
      "the library's monitors show it live. Ends with a check that the library's cache\n"
      "equals the server's state (exit status 1 when it does not).");
  Cli::Prepare(app, program);
  app.add_option_function<std::string>(
         "--duration",
         [&options](const std::string& text) {
           if (!ReadDuration(text, options.durationSeconds))
             throw CLI::ValidationError(
                 fmt::format("--duration wants seconds in (0, 3600], not '{}'", text));
         },
         "how long the contact centre runs (default 20)")
      ->type_name("SECONDS");
  app.add_option_function<std::string>(
         "--seed",
         [&options](const std::string& text) {
           if (!ReadWhole(std::string_view(text), options.seed))
             throw CLI::ValidationError(
                 fmt::format("--seed wants a number up to 4294967295, not '{}'", text));
         },
         "the scenario's random seed; a seed replays its decisions")
      ->type_name("N");
  Cli::AddNatsServers(app, options.natsUrl)
      ->description(
          "reach the emulator through these NATS servers\n"
          "(it stays in this process, bridged onto NATS;\n"
          "the library talks to it only over NATS)");
  app.add_flag("--remote-emulator", options.remoteEmulator,
               "with --nats: drive qm_emulator --root\n"
               "qm_contact_centre, of another process, through\n"
               "its control entity; a control call waits up\n"
               "to 30 s for NATS to come back");
  app.add_flag("--quiet", options.quiet, "print only the summary and the final check");
#ifdef QM_CLI_HAS_NATS
  Cli::AddNatsIdentity(app, [&options](const std::string& flag, const std::string& value) {
    options.natsSettings.emplace_back(flag, value);
  });
  app.footer(
      "Each NATS identity option may come from its environment variable instead\n"
      "(QM_NATS_...), as for qm_emulator.");
#endif
  if (extend) extend(app);
  parsed.outcome = Cli::Parse(app, arguments);
  if (parsed.outcome.stop == Cli::ParseResult::eStop::kNone && options.remoteEmulator &&
      options.natsUrl.empty())
    parsed.outcome = {Cli::ParseResult::eStop::kError, "--remote-emulator needs --nats URL"};
  if (parsed.outcome.stop == Cli::ParseResult::eStop::kError) parsed.error = parsed.outcome.text;
  options.help = parsed.outcome.stop == Cli::ParseResult::eStop::kHelp;
  return parsed;
}

}  // namespace ContactCentre
