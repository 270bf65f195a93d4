#include "CommandLine.h"

#include <cstdio>
#include <filesystem>
#include <string_view>

#include "QueueManager/Version.h"

#ifdef QM_CLI_HAS_NATS
#include "QueueManager/Platform/NatsNotifier.h"
#endif

namespace QueueManager::CommandLine {
namespace {

std::string ErrorText(const CLI::Error& error) {
  const std::string what = error.what();
  // CLI11 says "--seed: 1 required UINT missing" for a value-taking option at
  // the end of the line.
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error) != nullptr && what.ends_with(" missing")) {
    if (const std::size_t colon = what.find(": "); colon != std::string::npos)
      return what.substr(0, colon) + " needs a value";
  }
  return what;
}

}  // namespace

std::string ProgramName(const std::string& invoked) {
  const std::string name = std::filesystem::path(invoked).filename().string();
  return name.empty() ? invoked : name;
}

void Prepare(CLI::App& app, const std::string& program) {
  app.name(ProgramName(program));
  app.set_version_flag("--version",
                       ProgramName(program) + " " + std::string(QueueManager::Version()),
                       "print the version");
  app.set_help_flag("-h,--help", "print this text");
  // Arguments no option takes are reported by Parse, in its own words.
  app.allow_extras();
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

ParseResult Parse(CLI::App& app, const std::vector<std::string>& arguments) {
  // CLI11 takes them last first.
  std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
  try {
    app.parse(reversed);
  } catch (const CLI::CallForHelp&) {
    return {ParseResult::eStop::kHelp, app.help()};
  } catch (const CLI::CallForVersion& version) {
    return {ParseResult::eStop::kVersion, version.what()};
  } catch (const CLI::Error& error) {
    return {ParseResult::eStop::kError, WithoutCredentials(ErrorText(error))};
  }
  if (const std::vector<std::string> extra = app.remaining(); !extra.empty())
    return {ParseResult::eStop::kError,
            WithoutCredentials("unknown option '" + extra.front() + "'")};
  return {};
}

int Report(const ParseResult& result, const std::string& program) {
  switch (result.stop) {
    case ParseResult::eStop::kNone:
      return -1;
    case ParseResult::eStop::kHelp:
      std::fputs(result.text.c_str(), stdout);
      return 0;
    case ParseResult::eStop::kVersion:
      std::printf("%s\n", result.text.c_str());
      return 0;
    case ParseResult::eStop::kError:
      break;
  }
  std::fprintf(stderr, "%s: %s\nRun %s --help for the options.\n", ProgramName(program).c_str(),
               result.text.c_str(), ProgramName(program).c_str());
  return kExitUsage;
}

std::string WithoutCredentials(std::string text) {
  // Each word with an '@' loses what comes before its last one (after its
  // scheme, if it has one): "user:secret@" with or without "nats://".
  const auto isBlank = [](char c) { return c == ' ' || c == '\'' || c == '"' || c == ','; };
  for (std::size_t word = 0; word < text.size();) {
    std::size_t end = word;
    while (end < text.size() && !isBlank(text[end])) ++end;
    const std::string_view part(text.data() + word, end - word);
    const std::size_t at = part.rfind('@');
    const std::size_t scheme = part.find("://");
    const std::size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    if (at != std::string_view::npos && at >= start) {
      text.erase(word + start, at + 1 - start);
      end -= at + 1 - start;
    }
    word = end + 1;
  }
  return text;
}

CLI::Option* AddNatsServers(CLI::App& app, std::string& urls) {
  return app
      .add_option_function<std::string>(
          "--nats",
          [&urls](const std::string& list) {
            if (list.find_first_not_of(", ") == std::string::npos)
              throw CLI::ValidationError(
                  "--nats wants a URL or a comma-separated list of them, such as "
                  "nats://127.0.0.1:4222");
#ifdef QM_CLI_HAS_NATS
            for (const std::string& url : W4Notifier::SplitNatsUrls(list)) {
              if (const std::string reason = W4Notifier::NatsUrlError(url); !reason.empty())
                throw CLI::ValidationError("--nats " + W4Notifier::RedactNatsUrl(url) + ": " +
                                           reason);
            }
#endif
            urls = list;
          },
          "the NATS server(s), e.g. nats://127.0.0.1:4222")
      ->type_name("URL[,URL...]");
}

#ifdef QM_CLI_HAS_NATS
void AddNatsIdentity(CLI::App& app,
                     std::function<void(const std::string& flag, const std::string& value)> take) {
  for (const W4Notifier::CNatsFlag& setting : W4Notifier::NatsFlags()) {
    const std::string flag = setting.flag;
    CLI::Option* option = app.add_option_function<std::string>(
        flag,
        [flag, take, secret = setting.secret](const std::string& value) {
          if (secret) {
            // Read once here, so that an unreadable file is a bad command line.
            W4Notifier::CNatsOptions scratch;
            std::string error;
            W4Notifier::ApplyNatsFlag(scratch, flag, value, error);
            if (!error.empty()) throw CLI::ValidationError(error);
          }
          take(flag, value);
        },
        std::string(setting.help) + " [" + setting.variable + "]");
    option->type_name(setting.argument)->group("NATS identity");
    // Without the check's own name, which the help would show after FILE.
    if (std::string_view(setting.argument) == "FILE")
      option->check(CLI::Validator(CLI::ExistingFile).description(""));
  }
}
#endif

}  // namespace QueueManager::CommandLine
