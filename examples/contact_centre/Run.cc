// The contact centre's run, shared by the programs that show it: interactions
// arrive, agents are alerted and handle them, and the library's monitors show
// it live. The scenario drives the emulator's control functions: those of an
// emulator in this process, whose bus the library reaches directly or (with
// --nats) only through a NATS server, or with --remote-emulator those of
// qm_emulator in another process, through its control entity over NATS. Ends
// with a check that the library's cache equals the server's state; exits 1
// when it does not or the emulator cannot be reached, 2 on a bad command line.

#include "Run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "Console.h"
#include "FinalCheck.h"
#include "QueueManager/Emulator/EmulatorClient.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/QueueManager.h"
#include "Scenario.h"
#ifdef QM_DEMO_HAS_NATS
#include "QueueManager/Platform/NatsNotifier.h"
#endif

namespace ContactCentre {
namespace {

using QueueManager::Emulator::CEmulator;
using QueueManager::Emulator::CEmulatorClient;
using QueueManager::Emulator::IEmulatorControl;
using Clock = std::chrono::steady_clock;

// How long the end of the run waits for the server's last alerting answers.
constexpr std::chrono::seconds kPatience{10};
constexpr int kBoardLinesEveryTicks = 10;
// How often a watch without a scenario redraws the board.
constexpr std::chrono::seconds kBoardEvery{1};
// How long a control call of a remote emulator waits for NATS to come back.
constexpr std::uint32_t kUnreachablePatienceMs = 30000;

// Over NATS the cache hears the server's last changes a moment after the
// server made them: the final check gives it this long to catch up.
constexpr std::chrono::milliseconds kCatchUpPoll{50};

// Everything the run shares.
struct Centre {
  // The emulator's bus; null when the emulator is remote.
  std::shared_ptr<W4Notifier::CInProcessBus> bus;
  IEmulatorControl& server;
  // The library's connection on the bus; null over NATS, where the demo
  // cannot take the link down.
  W4Notifier::CInProcessConnection* local;
  // The remote emulator's control, which can renegotiate the library's
  // connection; null when the emulator is in this process.
  CEmulatorClient* remote;
  const Floor& floor;
  Console& console;

  bool CanRenegotiate() const { return local != nullptr || remote != nullptr; }
};

// The call that reaches the server while the cache cannot hear of it.
std::uint32_t AddUnheardCall(Centre& centre) {
  QueueManager::CQmAttributeMap attributes;
  attributes.insert(QueueManager::CQmAttributeName(u"Xan_State"), u"O");
  attributes.insert(QueueManager::CQmAttributeName(u"Xan_RemoteName"), u"J. Okafor");
  attributes.insert(QueueManager::CQmAttributeName(u"Xan_RemoteAddress"), u"+44 20 7946 0999");
  return centre.server.AddInteraction(centre.floor.media.front().type, attributes,
                                      {centre.floor.workgroups.front().entity});
}

// Takes the connection down, lets a call reach the server meanwhile, brings
// the connection back and renegotiates it. Returns the call's id.
std::uint32_t MissCallLocally(Centre& centre) {
  centre.console.Note("== the connection goes down; a call reaches the server meanwhile ==");
  centre.local->Disconnect();
  const std::uint32_t id = AddUnheardCall(centre);
  centre.local->Reconnect(false);
  CEmulator::ForceRenegotiation(*centre.local);
  centre.bus->WaitIdle();
  return id;
}

// The NATS link is not the demo's to take down: the remote emulator loses
// the call's queue notification instead, as a broken link would, and then
// renegotiates the library's connection. Returns the call's id.
std::uint32_t MissCallRemotely(Centre& centre) {
  centre.console.Note("== a call reaches the server; its notification is lost on the way ==");
  const W4Notifier::CEntityId& queue = centre.floor.workgroups.front().entity;
  QueueManager::Emulator::NotificationFaultPlan lost;
  lost.entityType = queue.QueryObjectType();
  lost.objectId = queue.QueryObjectId();
  lost.fault = QueueManager::Emulator::eNotificationFault::kDrop;
  lost.selection = QueueManager::Emulator::FaultSelection::Next(1);
  centre.remote->InjectNotificationFault(lost);
  const std::uint32_t id = AddUnheardCall(centre);
  centre.remote->ForceRenegotiation();
  return id;
}

// Whether the watcher of `queue` holds `id` within the patience (over NATS
// the reload's answer comes a moment after the renegotiation).
bool CacheFinds(const Board& board, const W4Notifier::CEntityId& queue, std::uint32_t id,
                bool wait) {
  const Clock::time_point deadline = Clock::now() + (wait ? kPatience : Clock::duration{});
  for (;;) {
    if (board.Watcher(queue).Contains(QueueManager::InteractionId(id))) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kCatchUpPoll);
  }
}

// A call reaches the server while the cache cannot hear of it; then the
// connection is renegotiated: the cache reloads every watched queue and so
// learns of the call.
void Renegotiate(Centre& centre, Scenario& scenario, const Board& board, int tick) {
  const std::uint32_t id =
      centre.local != nullptr ? MissCallLocally(centre) : MissCallRemotely(centre);
  const NamedQueue& queue = centre.floor.workgroups.front();
  const bool found = CacheFinds(board, queue.entity, id, centre.local == nullptr);
  centre.console.Note(
      fmt::format("== renegotiated: the cache reloaded its queues and {} #{} on {} ==",
                  found ? "found" : "did NOT find", id, queue.name));
  scenario.Adopt(id, centre.floor.media.front().type, 0, tick);
}

// Runs the ticks; the renegotiation comes at half time, once no alerting is
// pending (their answers would be lost with the connection).
bool RunTicks(Centre& centre, Scenario& scenario, Board& board, const Options& options, int ticks) {
  const Clock::time_point start = Clock::now();
  bool halfTime = false;
  bool renegotiated = false;
  for (int tick = 0; tick < ticks; ++tick) {
    std::this_thread::sleep_until(start + tick * Scenario::kTick);
    scenario.Step(tick);
    if (!halfTime && tick >= ticks / 2 && centre.CanRenegotiate()) {
      halfTime = true;
      scenario.HoldOffers(true);
      renegotiated = scenario.Settle(kPatience);
      if (renegotiated) Renegotiate(centre, scenario, board, tick);
      scenario.HoldOffers(false);
    }
    if (tick % kBoardLinesEveryTicks == 0) centre.console.ShowBoard(board.Lines());
    centre.console.Redraw(
        fmt::format("Contact centre on the server emulator{}    {:5.1f} s of "
                    "{:g} s    seed {}",
                    centre.bus == nullptr     ? " over NATS (remote)"
                    : centre.local == nullptr ? " over NATS"
                                              : "",
                    centre.console.Elapsed(), options.durationSeconds, options.seed));
  }
  return renegotiated;
}

// Prints the summary and the final check; true when the check passed.
bool Report(Centre& centre, const Board& board, const Scenario& scenario, const Options& options,
            bool settled) {
  Console& console = centre.console;
  console.Final(fmt::format("Ran {:.1f} s with seed {}: {}", console.Elapsed(), options.seed,
                            Summarize(scenario.Counts())));
  Snapshot cache = CacheSnapshot(board, centre.floor);
  std::vector<std::string> differences =
      Differences(cache, ServerSnapshot(centre.server, centre.floor, board.Names(), cache));
  const Clock::time_point deadline = Clock::now() + kPatience;
  while (!differences.empty() && centre.local == nullptr && Clock::now() < deadline) {
    std::this_thread::sleep_for(kCatchUpPoll);
    cache = CacheSnapshot(board, centre.floor);
    differences =
        Differences(cache, ServerSnapshot(centre.server, centre.floor, board.Names(), cache));
  }
  if (!settled) console.Final("Final check FAILED: alerting answers never came");
  if (differences.empty()) {
    console.Final(fmt::format(
        "Final check passed: the cache equals the server on {} queues and {} interactions",
        cache.contents.size(), cache.InteractionCount()));
    return settled;
  }
  console.Final(fmt::format("Final check FAILED: {} differences between the cache and the server",
                            differences.size()));
  for (const std::string& difference : differences) console.Final("  " + difference);
  return false;
}

// The emulator the run drives, and how the library reaches it: a connection
// on the emulator's bus, NATS with the bus bridged onto it, or NATS alone with
// the emulator in another process.
struct Link {
  std::shared_ptr<W4Notifier::CInProcessBus> bus;  // null: the emulator is remote
  std::unique_ptr<CEmulator> emulator;
  std::unique_ptr<CEmulatorClient> remote;
  std::shared_ptr<W4Notifier::CInProcessConnection> local;
  std::shared_ptr<void> bridge;  // keeps the bridge while the run lasts
  std::shared_ptr<W4Notifier::CNotifierConnection> connection;

  IEmulatorControl& Server() {
    if (emulator) return *emulator;
    return *remote;
  }
  void WaitIdle() {
    if (bus) bus->WaitIdle();
  }
};

#ifdef QM_DEMO_HAS_NATS
// The environment's identity, then the command line's.
W4Notifier::CNatsOptions NatsOptions(const Options& options) {
  W4Notifier::CNatsOptions nats;
  nats.urls = W4Notifier::SplitNatsUrls(options.natsUrl);
  nats.root = "qm_contact_centre";
  W4Notifier::ApplyNatsEnvironment(nats);
  for (const auto& [flag, value] : options.natsSettings) {
    std::string error;
    if (!W4Notifier::ApplyNatsFlag(nats, flag, value, error))
      error = "unknown option '" + flag + "'";
    if (!error.empty()) throw W4Notifier::CNotifierException(error);
  }
  return nats;
}
#endif

// The NATS servers as they may be shown: never with their credentials.
std::string ShownServers(const Options& options) {
#ifdef QM_DEMO_HAS_NATS
  return W4Notifier::RedactNatsUrls(W4Notifier::SplitNatsUrls(options.natsUrl));
#else
  return options.natsUrl.empty() ? std::string() : std::string("NATS");
#endif
}

// Throws CNotifierException when NATS or the remote emulator cannot be
// reached.
void Connect(Link& link, const Options& options) {
  if (!options.remoteEmulator && !options.watchOnly) {
    link.bus = W4Notifier::CInProcessBus::Create();
    link.emulator = std::make_unique<CEmulator>(link.bus);
  }
  if (options.natsUrl.empty()) {
    link.local = link.bus->Connect();
    link.connection = link.local;
    return;
  }
#ifdef QM_DEMO_HAS_NATS
  if (link.bus)
    link.bridge =
        std::make_shared<W4Notifier::CNatsBusBridge>(NatsOptions(options), "emulator", link.bus);
  link.connection = W4Notifier::ConnectNats(NatsOptions(options));
  if (options.remoteEmulator) {
    // A control call waits out NATS being away for a while, as the library's
    // monitors do, rather than end the run at the first one.
    link.remote = std::make_unique<CEmulatorClient>(
        link.connection, CEmulatorClient::kDefaultTimeoutMs, kUnreachablePatienceMs);
    link.remote->Queues(W4Notifier::eWorkgroupQueue);  // is anybody there?
  }
#else
  throw W4Notifier::CNotifierException("this build has no NATS notifier (libnats-dev)");
#endif
}

// The board of the floor, its watchers not yet active.
Board NewBoard(const Floor& floor) {
  return Board(floor, {QueueManager::CQmAttributeName(u"Xan_State"),
                       QueueManager::CQmAttributeName(u"Xan_RemoteName"),
                       QueueManager::CQmAttributeName(u"Xan_RemoteAddress")});
}

// The run proper, once connected; true when the final check passed.
bool RunCentre(Link& link, const Options& options, Console& console, const Floor& floor,
               RunObserver& observer) {
  Centre centre{link.bus, link.Server(), link.local.get(), link.remote.get(), floor, console};
  for (const NamedQueue& queue : floor.Queues()) QueueManager::CreateQueue(queue.entity);
  link.WaitIdle();
  Board board = NewBoard(floor);
  board.Activate();
  observer.Started(board, console);
  struct Ending {
    RunObserver& observer;
    ~Ending() { observer.Ended(); }
  } ending{observer};
  const int ticks =
      std::max(1, static_cast<int>(options.durationSeconds * 1000 / Scenario::kTick.count()));
  Scenario scenario(centre.server, floor, console, options.seed, ticks);
  const bool renegotiated = RunTicks(centre, scenario, board, options, ticks);
  const bool settled = scenario.Finish(kPatience);
  link.WaitIdle();
  observer.Finished(board, centre.server);
  console.ShowBoard(board.Lines());
  console.Redraw("Contact centre on the server emulator    finished");
  const bool passed = Report(centre, board, scenario, options, settled);
  if (!centre.CanRenegotiate())
    console.Final("(no renegotiation over NATS: the link is not the demo's to take down)");
  else if (!renegotiated)
    console.Final("(no renegotiation: the alertings did not settle)");
  return passed;
}

// Shows the floor's queues of a server that others drive, for the duration.
void Watch(const Options& options, Console& console, const Floor& floor, RunObserver& observer) {
  Board board = NewBoard(floor);
  board.Activate();
  observer.Started(board, console);
  const Clock::time_point end =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(
                         std::chrono::duration<double>(options.durationSeconds));
  while (Clock::now() < end) {
    std::this_thread::sleep_for(kBoardEvery);
    console.ShowBoard(board.Lines());
    console.Redraw(
        fmt::format("Queues of {}    {:5.1f} s", ShownServers(options), console.Elapsed()));
  }
  observer.Ended();
}

}  // namespace

int Run(const Options& options, Console::eMode mode, RunObserver& observer) {
  Link link;
  try {
    Connect(link, options);
  } catch (const W4Notifier::CNotifierException& error) {
    std::fprintf(stderr, "cannot reach %s: %s\n", ShownServers(options).c_str(), error.what());
    return 1;
  }
  W4Notifier::SetDefaultConnection(link.connection);
  const Floor floor = DemoFloor();
  Console console(mode, stdout);
  if (options.watchOnly) {
    Watch(options, console, floor, observer);
    W4Notifier::SetDefaultConnection(nullptr);
    return 0;
  }
  bool passed = false;
  try {
    passed = RunCentre(link, options, console, floor, observer);
  } catch (const QueueManager::Emulator::CEmulatorControlError& error) {
    console.Final(std::string("The emulator stopped answering: ") + error.what());
  }
  W4Notifier::SetDefaultConnection(nullptr);
  return passed ? 0 : 1;
}

}  // namespace ContactCentre
