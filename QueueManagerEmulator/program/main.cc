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
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CommandLine.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Sync.h"

namespace {

// The exit statuses (README "Running over NATS"); a bad command line is
// CommandLine::kExitUsage (2).
constexpr int kExitStopped = 0;  // SIGTERM or SIGINT, at any time
constexpr int kExitFailed = 1;   // NATS not reached, ready file not written

// Enough for a test's queues; a bigger number is more likely a typing error.
constexpr std::uint32_t kMostSeededQueues = 1000;

struct Arguments {
  W4Notifier::CNatsOptions nats;
  std::uint32_t queues = 0;
  std::string readyFile;
};

// The environment's identity first, then the command line's. Returns the exit
// status when the program is not to go on.
std::optional<int> Parse(const std::string& program, const std::vector<std::string>& arguments,
                         Arguments& parsed) {
  namespace Cli = QueueManager::CommandLine;
  try {
    W4Notifier::ApplyNatsEnvironment(parsed.nats);
  } catch (const W4Notifier::CNotifierException& error) {
    return Cli::Report({Cli::ParseResult::eStop::kError, error.what()}, program);
  }
  CLI::App app(
      "Serves the Queue Manager server emulator to NATS clients until SIGTERM or SIGINT;\n"
      "its control functions are served too (CEmulatorClient).");
  Cli::Prepare(app, program);
  app.footer(
      "Exits 0 when stopped by a signal, 1 when NATS cannot be reached, 2 on a bad\n"
      "command line. Each NATS identity option may come from its environment variable\n"
      "instead; a secret from VARIABLE or the file VARIABLE_FILE names. tls://HOST:PORT\n"
      "or QM_NATS_TLS=1 turns TLS on as well.");
  std::string urls;
  Cli::AddNatsServers(app, urls)->required();
  app.add_option_function<std::string>(
         "--root",
         [&parsed](const std::string& root) {
           if (!W4Notifier::IsValidNatsRoot(root))
             throw CLI::ValidationError("--root wants dot-separated words of [A-Za-z0-9_-], not '" +
                                        root + "'");
           parsed.nats.root = root;
         },
         "the subject root of the deployment (default qm)")
      ->type_name("ROOT");
  app.add_option_function<std::string>(
         "--seed",
         [&parsed](const std::string& text) {
           const char* end = text.data() + text.size();
           const auto [stop, error] = std::from_chars(text.data(), end, parsed.queues);
           if (error != std::errc() || stop != end || text.empty() ||
               parsed.queues > kMostSeededQueues)
             throw CLI::ValidationError("--seed wants a number of queues up to 1000, not '" + text +
                                        "'");
         },
         "creates the workgroup queues 1 to N at start (default none)")
      ->type_name("N");
  app.add_option("--ready-file", parsed.readyFile, "written once serving, removed at exit")
      ->type_name("PATH")
      ->check(CLI::Validator(
          [](const std::string& path) {
            const std::filesystem::path directory = std::filesystem::path(path).parent_path();
            std::error_code error;
            return directory.empty() || std::filesystem::is_directory(directory, error)
                       ? std::string()
                       : "no directory " + directory.string();
          },
          "", "in an existing directory"));
  Cli::AddNatsIdentity(app, [&parsed](const std::string& flag, const std::string& value) {
    std::string error;
    W4Notifier::ApplyNatsFlag(parsed.nats, flag, value, error);
  });
  const int status = Cli::Report(Cli::Parse(app, arguments), program);
  if (status >= 0) return status;
  parsed.nats.urls = W4Notifier::SplitNatsUrls(urls);
  return std::nullopt;
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
  Arguments arguments;
  if (const std::optional<int> status = Parse(
          program, std::vector<std::string>(argv + std::min(argc, 1), argv + argc), arguments))
    return *status;
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
