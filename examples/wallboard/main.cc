// The contact centre on the server emulator, shown on a live wallboard in a
// browser: the demo's run (see Run.h), with the board's news served as a web
// page and its Server-Sent Events stream. Exits as the demo does: 1 when the
// final check fails or the emulator cannot be reached, 2 on a bad command
// line; 1 as well when the wallboard cannot listen.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Options.h"
#include "Run.h"
#include "WallboardServer.h"

int main(int argc, char** argv) {
  using namespace ContactCentre;
  const std::string program = argc > 0 ? argv[0] : "qm_wallboard";
  Wallboard::ServerOptions server;
  bool everyAddress = false;
  bool watch = false;
  const ParsedOptions parsed = ParseOptions(
      std::vector<std::string>(argv + std::min(argc, 1), argv + argc), program,
      [&server, &everyAddress, &watch](CLI::App& app) {
        app.add_option("--port", server.port, "the wallboard's HTTP port (default 8080; 0: any)")
            ->check(CLI::Range(0, 65535));
        app.add_flag("--listen-everywhere", everyAddress,
                     "serve every address of this machine, not\nonly loopback");
        app.add_option("--max-streams", server.limits.maxStreams,
                       "how many pages may watch at once (default 32)")
            ->check(CLI::Range(1, 1000));
        app.add_flag(
            "--watch", watch,
            "with --nats: only watch the queues of a server\nthat others drive, for the duration");
      });
  if (const int status = QueueManager::CommandLine::Report(parsed.outcome, program); status >= 0)
    return status;
  if (watch && parsed.options.natsUrl.empty()) {
    std::fprintf(stderr, "--watch needs --nats URL\n");
    return 2;
  }
  Options options = parsed.options;
  options.watchOnly = watch;
  if (everyAddress) server.host = "0.0.0.0";
  Wallboard::WallboardObserver wallboard(server);
  if (!wallboard.Listen()) {
    std::fprintf(stderr, "%s\n", wallboard.Error().c_str());
    return 1;
  }
  std::printf("Wallboard: %s\n", wallboard.Address().c_str());
  std::fflush(stdout);
  // The page is the board: the terminal keeps the address and the summary.
  return Run(options, Console::eMode::kQuiet, wallboard);
}
