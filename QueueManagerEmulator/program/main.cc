// qm_emulator: the Queue Manager server emulator as a program of its own,
// served to NATS clients, so that applications under test run in other
// processes; they seed, inspect and fault it through its control entity
// (CEmulatorClient). Runs until SIGTERM or SIGINT; exits 2 on a bad command line and
// 1 when NATS cannot be reached.

#include <signal.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"

namespace {

// Enough for a test's queues; a bigger number is more likely a typing error.
constexpr std::uint32_t kMostSeededQueues = 1000;

struct Arguments {
  W4Notifier::CNatsOptions nats;
  std::uint32_t queues = 0;
  bool help = false;
  std::string error;
};

bool ReadCount(std::string_view text, std::uint32_t& count) {
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, count);
  return error == std::errc() && stop == end && !text.empty() && count <= kMostSeededQueues;
}

Arguments Parse(const std::vector<std::string>& arguments) {
  Arguments parsed;
  try {
    W4Notifier::ApplyNatsEnvironment(parsed.nats);
  } catch (const W4Notifier::CNotifierException& error) {
    parsed.error = error.what();
  }
  for (std::size_t i = 0; i < arguments.size() && parsed.error.empty(); ++i) {
    const std::string& argument = arguments[i];
    const bool takesValue = argument == "--nats" || argument == "--root" || argument == "--seed" ||
                            argument.starts_with("--nats-");
    if (takesValue && i + 1 == arguments.size()) {
      parsed.error = argument + " needs a value";
    } else if (argument == "--help" || argument == "-h") {
      parsed.help = true;
    } else if (argument == "--nats") {
      parsed.nats.urls = W4Notifier::SplitNatsUrls(arguments[++i]);
    } else if (argument == "--root") {
      parsed.nats.root = arguments[++i];
    } else if (argument == "--seed") {
      if (!ReadCount(arguments[++i], parsed.queues))
        parsed.error = "--seed wants a number of queues up to 1000, not '" + arguments[i] + "'";
    } else if (!argument.starts_with("--nats-") ||
               !W4Notifier::ApplyNatsFlag(parsed.nats, argument, arguments[++i], parsed.error)) {
      parsed.error = "unknown option '" + argument + "'";
    }
  }
  if (parsed.error.empty() && !parsed.help && parsed.nats.urls.empty())
    parsed.error = "--nats URL is required";
  for (const std::string& url : parsed.nats.urls) {
    const std::string reason = W4Notifier::NatsUrlError(url);
    if (parsed.error.empty() && !reason.empty())
      parsed.error = "--nats " + W4Notifier::RedactNatsUrl(url) + ": " + reason;
  }
  return parsed;
}

std::string Usage(const std::string& program) {
  return "usage: " + program +
         " --nats URL[,URL...] [--root ROOT] [--seed N] [--help]\n"
         "Serves the Queue Manager server emulator to NATS clients until SIGTERM or SIGINT;\n"
         "its control functions are served too (CEmulatorClient).\n"
         "  --nats URL   the NATS server(s), e.g. nats://127.0.0.1:4222\n"
         "  --root ROOT  the subject root of the deployment (default qm)\n"
         "  --seed N     creates the workgroup queues 1 to N at start (default none)\n"
         "  --help       this text\n" +
         W4Notifier::NatsOptionsHelp();
}

// Serves until SIGTERM or SIGINT. The signals are blocked in every thread
// (they are started after this) and taken here by sigwait.
int Serve(const Arguments& arguments, const sigset_t& stopSignals) {
  auto bus = W4Notifier::CInProcessBus::Create();
  QueueManager::Emulator::CEmulator server(bus);
  server.ServeControlRequests();
  for (std::uint32_t id = 1; id <= arguments.queues; ++id)
    server.CreateQueue(W4Notifier::CEntityId(W4Notifier::eWorkgroupQueue, id));
  try {
    W4Notifier::CNatsBusBridge bridge(arguments.nats, "qm_emulator", bus);
    std::printf("qm_emulator: serving root '%s' on %s\n", arguments.nats.root.c_str(),
                W4Notifier::RedactNatsUrls(arguments.nats.urls).c_str());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
  } catch (const W4Notifier::CNotifierException& error) {
    std::fprintf(stderr, "qm_emulator: %s\n", error.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = argc > 0 ? argv[0] : "qm_emulator";
  const Arguments arguments =
      Parse(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  if (!arguments.error.empty()) {
    std::fprintf(stderr, "%s: %s\n%s", program.c_str(), arguments.error.c_str(),
                 Usage(program).c_str());
    return 2;
  }
  if (arguments.help) {
    std::fputs(Usage(program).c_str(), stdout);
    return 0;
  }
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return Serve(arguments, stopSignals);
}
