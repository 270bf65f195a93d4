// qm_emulator: the Queue Manager server emulator as a program of its own,
// served to NATS clients, so that applications under test run in other
// processes; they seed, inspect and fault it through its control entity
// (CEmulatorClient). Runs until SIGTERM or SIGINT.

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Sync.h"

namespace {

// The exit statuses (README "Running over NATS").
constexpr int kExitStopped = 0;  // SIGTERM or SIGINT, at any time
constexpr int kExitFailed = 1;   // NATS not reached, ready file not written
constexpr int kExitUsage = 2;    // bad command line

// Enough for a test's queues; a bigger number is more likely a typing error.
constexpr std::uint32_t kMostSeededQueues = 1000;

struct Arguments {
  W4Notifier::CNatsOptions nats;
  std::uint32_t queues = 0;
  std::string readyFile;
  bool help = false;
  bool version = false;
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
                            argument.starts_with("--nats-") || argument == "--ready-file";
    if (takesValue && i + 1 == arguments.size()) {
      parsed.error = argument + " needs a value";
    } else if (argument == "--help" || argument == "-h") {
      parsed.help = true;
    } else if (argument == "--version") {
      parsed.version = true;
    } else if (argument == "--ready-file") {
      parsed.readyFile = arguments[++i];
    } else if (argument == "--nats") {
      parsed.nats.urls = W4Notifier::SplitNatsUrls(arguments[++i]);
    } else if (argument == "--root") {
      parsed.nats.root = arguments[++i];
      if (!W4Notifier::IsValidNatsRoot(parsed.nats.root))
        parsed.error =
            "--root wants dot-separated words of [A-Za-z0-9_-], not '" + parsed.nats.root + "'";
    } else if (argument == "--seed") {
      if (!ReadCount(arguments[++i], parsed.queues))
        parsed.error = "--seed wants a number of queues up to 1000, not '" + arguments[i] + "'";
    } else if (!argument.starts_with("--nats-") ||
               !W4Notifier::ApplyNatsFlag(parsed.nats, argument, arguments[++i], parsed.error)) {
      parsed.error = "unknown option '" + argument + "'";
    }
  }
  if (parsed.error.empty() && !parsed.help && !parsed.version && parsed.nats.urls.empty())
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
         " --nats URL[,URL...] [--root ROOT] [--seed N] [--ready-file PATH]\n"
         "Serves the Queue Manager server emulator to NATS clients until SIGTERM or SIGINT;\n"
         "its control functions are served too (CEmulatorClient).\n"
         "  --nats URL         the NATS server(s), e.g. nats://127.0.0.1:4222\n"
         "  --root ROOT        the subject root of the deployment (default qm)\n"
         "  --seed N           creates the workgroup queues 1 to N at start (default none)\n"
         "  --ready-file PATH  written once serving, removed at exit\n"
         "  --version          the version\n"
         "  --help             this text\n"
         "Exits 0 when stopped by a signal, 1 when NATS cannot be reached, 2 on a bad\n"
         "command line.\n" +
         W4Notifier::NatsOptionsHelp();
}

// Where a stop signal goes. Thread-safe; lives until the process exits.
class StopRequests {
 public:
  // Takes SIGTERM and SIGINT on a thread of its own from now on.
  // REQUIRES: the signals are blocked in every thread.
  void Start(const sigset_t& signals) {
    std::thread([this, signals] {
      for (int signal = 0;;) {
        if (sigwait(&signals, &signal) == 0) OnSignal();
      }
    }).detach();
  }
  // From now on a signal asks for an orderly end (AwaitStop). Before, it
  // ends the process at once: nothing is served yet that would need one.
  void BeginServing() {
    W4Os::MutexLock lock(&mutex_);
    serving_ = true;
  }
  void AwaitStop() {
    W4Os::MutexLock lock(&mutex_);
    while (!stopRequested_) stopped_.Wait();
  }

 private:
  void OnSignal() {
    {
      W4Os::MutexLock lock(&mutex_);
      // A second signal does not wait for the orderly end either.
      if (serving_ && !stopRequested_) {
        stopRequested_ = true;
        stopped_.SignalAll();
        return;
      }
    }
    std::fflush(stdout);
    std::_Exit(kExitStopped);
  }

  W4Os::Mutex mutex_;
  W4Os::CondVar stopped_{&mutex_};
  bool serving_ QM_GUARDED_BY(mutex_) = false;
  bool stopRequested_ QM_GUARDED_BY(mutex_) = false;
};

// Writes the ready file whole (through a temporary name), so that a
// supervisor that polls for it never reads it half-written.
bool WriteReadyFile(const std::string& path) {
  const std::string temporary = path + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = std::fprintf(file, "%ld\n", static_cast<long>(::getpid())) > 0;
  return std::fclose(file) == 0 && written && std::rename(temporary.c_str(), path.c_str()) == 0;
}

int Serve(const Arguments& arguments, StopRequests& stops) {
  auto bus = W4Notifier::CInProcessBus::Create();
  QueueManager::Emulator::CEmulator server(bus);
  server.ServeControlRequests();
  for (std::uint32_t id = 1; id <= arguments.queues; ++id)
    server.CreateQueue(W4Notifier::CEntityId(W4Notifier::eWorkgroupQueue, id));
  try {
    W4Notifier::CNatsBusBridge bridge(arguments.nats, "qm_emulator", bus);
    stops.BeginServing();  // before the ready file, which the orderly end removes
    if (!arguments.readyFile.empty() && !WriteReadyFile(arguments.readyFile)) {
      std::fprintf(stderr, "qm_emulator: cannot write %s\n", arguments.readyFile.c_str());
      return kExitFailed;
    }
    std::printf("qm_emulator: serving root '%s' on %s\n", arguments.nats.root.c_str(),
                W4Notifier::RedactNatsUrls(arguments.nats.urls).c_str());
    std::fflush(stdout);
    stops.AwaitStop();
    if (!arguments.readyFile.empty()) std::remove(arguments.readyFile.c_str());
  } catch (const W4Notifier::CNotifierException& error) {
    std::fprintf(stderr, "qm_emulator: %s\n", error.what());
    return kExitFailed;
  }
  return kExitStopped;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = argc > 0 ? argv[0] : "qm_emulator";
  const Arguments arguments =
      Parse(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
  if (!arguments.error.empty()) {
    std::fprintf(stderr, "%s: %s\n%s", program.c_str(), arguments.error.c_str(),
                 Usage(program).c_str());
    return kExitUsage;
  }
  if (arguments.help) {
    std::fputs(Usage(program).c_str(), stdout);
    return 0;
  }
  if (arguments.version) {
    std::printf("qm_emulator %s\n", QM_EMULATOR_VERSION);
    return 0;
  }
  // Blocked before any thread starts, so that every thread inherits it and
  // only the stop thread takes them.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  static StopRequests& stops = *new StopRequests;  // its thread outlives main
  stops.Start(stopSignals);
  return Serve(arguments, stops);
}
