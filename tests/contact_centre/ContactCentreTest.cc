// The contact-centre demo's parts that hold logic.

#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>

#include <fmt/format.h>

#include "Board.h"
#include "Console.h"
#include "FinalCheck.h"
#include "Options.h"
#include "QueueManager/QueueManager.h"
#include "Scenario.h"

namespace ContactCentre {
namespace {

TEST(ContactCentreOptions, AcceptsTheDocumentedOptionsAndRefusesTheRest) {
  // The options read, or a part of the error (empty when accepted).
  const std::tuple<std::vector<std::string>, double, std::uint32_t, bool, bool, const char*>
      cases[] = {
          {{}, 20, 1, false, false, ""},
          {{"--duration", "3", "--seed", "7", "--quiet"}, 3, 7, true, false, ""},
          {{"--duration", "0.5"}, 0.5, 1, false, false, ""},
          {{"--seed", "4294967295"}, 20, 4294967295U, false, false, ""},
          {{"--help"}, 20, 1, false, true, ""},
          {{"--bogus"}, 20, 1, false, false, "unknown option '--bogus'"},
          {{"--duration"}, 20, 1, false, false, "--duration needs a value"},
          {{"--duration", "0"}, 20, 1, false, false, "--duration wants"},
          {{"--duration", "-2"}, 20, 1, false, false, "--duration wants"},
          {{"--duration", "nan"}, 20, 1, false, false, "--duration wants"},
          {{"--duration", "3601"}, 20, 1, false, false, "--duration wants"},
          {{"--duration", "3s"}, 20, 1, false, false, "--duration wants"},
          {{"--seed", "4294967296"}, 20, 1, false, false, "--seed wants"},
          {{"--seed", "-1"}, 20, 1, false, false, "--seed wants"},
          {{"--seed", ""}, 20, 1, false, false, "--seed wants"},
          {{"--quiet", "extra"}, 20, 1, true, false, "unknown option 'extra'"},
      };
  for (const auto& [arguments, duration, seed, quiet, help, error] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const ParsedOptions parsed = ParseOptions(arguments);
    if (*error == '\0') {
      EXPECT_EQ(parsed.error, "");
      EXPECT_EQ(parsed.options.durationSeconds, duration);
      EXPECT_EQ(parsed.options.seed, seed);
      EXPECT_EQ(parsed.options.quiet, quiet);
      EXPECT_EQ(parsed.options.help, help);
    } else {
      EXPECT_THAT(parsed.error, ::testing::HasSubstr(error));
    }
  }
}

TEST(ContactCentreOptions, NatsTakesAUrlList) {
  EXPECT_EQ(ParseOptions({"--nats", "nats://127.0.0.1:4222,nats://h:2", "--quiet"}).options.natsUrl,
            "nats://127.0.0.1:4222,nats://h:2");
  EXPECT_EQ(ParseOptions({}).options.natsUrl, "");
  EXPECT_THAT(ParseOptions({"--nats"}).error, ::testing::HasSubstr("--nats needs a value"));
  for (const char* none : {"", " , "})
    EXPECT_THAT(ParseOptions({"--nats", none}).error, ::testing::HasSubstr("--nats wants a URL"));
  EXPECT_TRUE(ParseOptions({"--remote-emulator", "--nats", "nats://h:1"}).options.remoteEmulator);
  EXPECT_THAT(ParseOptions({"--remote-emulator"}).error,
              ::testing::HasSubstr("--remote-emulator needs --nats URL"));
}

// The final check: it finds every kind of divergence planted in a snapshot,
// and a cache that missed the server's changes.

using ::testing::ElementsAre;
using ::testing::IsEmpty;

Snapshot Agreed() {
  Snapshot snapshot;
  snapshot.contents = {{"Sales", {1, 2}}, {"alice", {2}}};
  snapshot.counts = {{"Sales", "alert 1, conn 1"}, {"alice", "alert 0, conn 1"}};
  snapshot.attributes = {{1, {{"Xan_State", "O"}}}, {2, {{"Xan_State", "C"}}}};
  return snapshot;
}

TEST(ContactCentreFinalCheck, ReportsEachPlantedDivergence) {
  const std::tuple<const char*, std::function<void(Snapshot & cache, Snapshot & server)>,
                   const char*>
      cases[] = {
          {"an interaction the cache missed",
           [](Snapshot&, Snapshot& s) { s.contents["Sales"].push_back(3); },
           "queue Sales: cache holds #1 #2, server #1 #2 #3"},
          {"a queue the cache never loaded",
           [](Snapshot& c, Snapshot&) { c.contents["alice"].clear(); },
           "queue alice: cache holds nothing, server #2"},
          {"a queue the server does not have", [](Snapshot& c, Snapshot&) { c.contents["bob"]; },
           "queue bob: cache holds nothing, server no such queue"},
          {"stale counts", [](Snapshot& c, Snapshot&) { c.counts["Sales"] = "alert 2, conn 0"; },
           "queue Sales counts: cache alert 2, conn 0, server alert 1, conn 1"},
          {"a stale value", [](Snapshot&, Snapshot& s) { s.attributes[1]["Xan_State"] = "A"; },
           "#1 Xan_State: cache 'O', server 'A'"},
          {"a value the cache lacks",
           [](Snapshot&, Snapshot& s) { s.attributes[2]["Xan_RemoteName"] = "K. Osei"; },
           "#2 Xan_RemoteName: cache '(none)', server 'K. Osei'"},
          {"an interaction the server forgot",
           [](Snapshot&, Snapshot& s) { s.attributes.erase(2); },
           "#2: in the cache, unknown to the server"},
      };
  EXPECT_THAT(Differences(Agreed(), Agreed()), IsEmpty());
  for (const auto& [what, plant, expected] : cases) {
    SCOPED_TRACE(what);
    Snapshot cache = Agreed();
    Snapshot server = Agreed();
    plant(cache, server);
    EXPECT_THAT(Differences(cache, server), ElementsAre(expected));
  }
}

// A cache that missed notifications while the connection was down differs
// from the server until a renegotiation reloads it.
// The demo floor's queues on an emulator, over the process's default
// connection.
class ContactCentreOnEmulator : public ::testing::Test {
 protected:
  ContactCentreOnEmulator() {
    W4Notifier::SetDefaultConnection(connection);
    for (const NamedQueue& queue : floor.Queues()) server.CreateQueue(queue.entity);
  }
  ~ContactCentreOnEmulator() override { W4Notifier::SetDefaultConnection(nullptr); }

  const std::shared_ptr<W4Notifier::CInProcessBus> bus = W4Notifier::CInProcessBus::Create();
  QueueManager::Emulator::CEmulator server{bus};
  const std::shared_ptr<W4Notifier::CInProcessConnection> connection = bus->Connect();
  const Floor floor = DemoFloor();
};

TEST_F(ContactCentreOnEmulator, FindsTheChangesACacheMissedUntilItReloads) {
  const QueueManager::CQmAttributeName state(u"Xan_State");
  QueueManager::CQmAttributeMap offering;
  offering.insert(state, u"O");
  const W4Notifier::ObjectTypes call = floor.media.front().type;
  const std::uint32_t first = server.AddInteraction(call, offering, {floor.workgroups[0].entity});
  {
    Board board(floor, {state});
    board.Activate();
    const auto check = [&] {
      bus->WaitIdle();
      const Snapshot cache = CacheSnapshot(board, floor);
      return Differences(cache, ServerSnapshot(server, floor, board.Names(), cache));
    };
    EXPECT_THAT(check(), IsEmpty());

    connection->Disconnect();
    QueueManager::CQmAttributeMap held;
    held.insert(state, u"H");
    server.SetAttributes(first, held);
    const std::uint32_t second =
        server.AddInteraction(call, offering, {floor.workgroups[1].entity});
    connection->Reconnect(false);
    EXPECT_THAT(
        check(),
        ElementsAre(fmt::format("queue Sales counts: cache alert 1, conn 0, held 0, msg 0, disc 0, "
                                "sys 0, server alert 0, conn 0, held 1, msg 0, disc 0, sys 0"),
                    fmt::format("queue Support: cache holds nothing, server #{}", second),
                    ::testing::StartsWith("queue Support counts:"),
                    fmt::format("#{} Xan_State: cache 'O', server 'H'", first)));

    QueueManager::Emulator::CEmulator::ForceRenegotiation(*connection);
    EXPECT_THAT(check(), IsEmpty());
  }
}

// The screen: which lines each mode writes, and the board's columns.

using ::testing::EndsWith;

// A console writing to memory; Lines() gives what it wrote.
class CapturedConsole {
 public:
  explicit CapturedConsole(Console::eMode mode)
      : out_(open_memstream(&buffer_, &size_)), console_(mode, out_) {}
  ~CapturedConsole() {
    std::fclose(out_);
    std::free(buffer_);
  }
  Console& operator*() { return console_; }
  std::vector<std::string> Lines() {
    std::fflush(out_);
    std::vector<std::string> lines;
    std::istringstream text(std::string(buffer_, size_));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* out_;
  Console console_;
};

TEST(ContactCentreConsole, LinesModePrintsTheHeaderAndOnlyTheQueuesThatChanged) {
  CapturedConsole console(Console::eMode::kLines);
  (*console).ShowBoard({"header", "Sales 0", "alice 0"});
  (*console).ShowBoard({"header", "Sales 0", "alice 0"});  // unchanged: nothing
  (*console).ShowBoard({"header", "Sales 1", "alice 0"});
  std::vector<std::string> lines = console.Lines();
  ASSERT_EQ(lines.size(), 5U);
  EXPECT_THAT(lines[0], EndsWith("s  | header"));
  EXPECT_THAT(lines[2], EndsWith("s  | alice 0"));
  EXPECT_THAT(lines[3], EndsWith("s  | header"));
  EXPECT_THAT(lines[4], EndsWith("s  | Sales 1"));
}

TEST(ContactCentreConsole, QuietModeWritesOnlyTheFinalLines) {
  CapturedConsole console(Console::eMode::kQuiet);
  (*console).SetLabel(3, {"call", "Sales", "alice"});
  (*console).Event(3, "answered");
  (*console).Note("renegotiated");
  (*console).ShowBoard({"header"});
  (*console).Redraw("title");
  (*console).Final("check passed");
  EXPECT_THAT(console.Lines(), ElementsAre("check passed"));
}

TEST(ContactCentreConsole, LiveModeRepaintsInPlaceOnlyOnRedraw) {
  CapturedConsole console(Console::eMode::kLive);
  (*console).Event(3, "answered");
  EXPECT_THAT(console.Lines(), IsEmpty());
  (*console).ShowBoard({"header"});
  (*console).Redraw("title");
  (*console).Redraw("title");
  const std::vector<std::string> lines = console.Lines();
  ASSERT_EQ(lines.size(), 11U);
  EXPECT_EQ(lines[0], "\x1b[2J\x1b[Htitle\x1b[K");  // the screen is cleared once
  EXPECT_EQ(lines[2], "header\x1b[K");
  EXPECT_THAT(lines[4], EndsWith("answered\x1b[K"));
  EXPECT_EQ(lines[5], "\x1b[J\x1b[Htitle\x1b[K");  // then only the cursor goes home
  EXPECT_EQ(lines[10], "\x1b[J");                  // and what was below goes
}

TEST(ContactCentreConsole, EventsAndBoardLinesKeepTheirColumns) {
  const std::string short_ = FormatEvent(1.25, 7, {"call", "Sales", "bob"}, "answered");
  const std::string long_ = FormatEvent(123.5, 1234, {"e-mail", "Support", "carol"}, "answered");
  EXPECT_EQ(short_, "   1.2s  #7    call    Sales    bob     answered");
  EXPECT_EQ(short_.find("answered"), long_.find("answered"));

  QueueManager::CQmQueueStats::Counters counters{1, 2, 3, 4, 5, 6};
  const std::vector<std::string> board =
      FormatBoard({{"Sales", "workgroup", QueueManager::CQmQueueStats(counters)},
                   {"alice", "agent", QueueManager::CQmQueueStats()}});
  ASSERT_EQ(board.size(), 3U);
  EXPECT_EQ(board[0].size(), board[1].size());
  EXPECT_EQ(board[1].size(), board[2].size());
  // active: alerting, connected, held and messaging; total: all six counts.
  EXPECT_THAT(board[1], EndsWith("     1     2     4     5     3     6      12     21"));
}

// The scenario against the server emulator, stepped as fast as it goes: the
// agents' work goes through the library, and the cache follows the server.

TEST_F(ContactCentreOnEmulator, ALongRunEndsWithEveryAlertingAnsweredAndTheCacheEqualToTheServer) {
  Console console(Console::eMode::kQuiet, stdout);
  constexpr int kTicks = 400;
  {
    Board board(floor, {QueueManager::CQmAttributeName(u"Xan_State"),
                        QueueManager::CQmAttributeName(u"Xan_RemoteName")});
    board.Activate();
    Scenario scenario(server, floor, console, 7, kTicks);
    for (int tick = 0; tick < kTicks; ++tick) {
      scenario.Step(tick);
      bus->WaitIdle();  // each order reaches the server before the next decision
    }
    ASSERT_TRUE(scenario.Finish(std::chrono::seconds(30)));
    EXPECT_EQ(scenario.PendingAlertings(), 0U);
    bus->WaitIdle();

    const ScenarioCounts& counts = scenario.Counts();
    EXPECT_GT(counts.answered, 0U);
    EXPECT_GT(counts.hangUps, 0U);
    EXPECT_GT(counts.agentTransfers + counts.workgroupTransfers, 0U);
    EXPECT_GE(counts.conferenceParties, 2U);
    EXPECT_EQ(server.MalformedRequests(), 0U) << server.LastRejection();
    const Snapshot cache = CacheSnapshot(board, floor);
    EXPECT_THAT(Differences(cache, ServerSnapshot(server, floor, board.Names(), cache)),
                ::testing::IsEmpty());
    // Nothing is left alerting: each agent's queue holds at most what it handles.
    for (const NamedQueue& agent : floor.agents)
      EXPECT_EQ(server.Counts(agent.entity)->alerting, 0U) << agent.name;
  }
}

}  // namespace
}  // namespace ContactCentre
