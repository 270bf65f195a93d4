// The final check: it finds every kind of divergence planted in a snapshot,
// and a cache that missed the server's changes.

#include <gmock/gmock.h>

#include <functional>
#include <tuple>

#include <fmt/format.h>

#include "FinalCheck.h"
#include "QueueManager/QueueManager.h"

namespace ContactCentre {
namespace {

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
TEST(ContactCentreFinalCheck, FindsTheChangesACacheMissedUntilItReloads) {
  const auto bus = W4Notifier::CInProcessBus::Create();
  QueueManager::Emulator::CEmulator server(bus);
  const auto connection = bus->Connect();
  W4Notifier::SetDefaultConnection(connection);
  const Floor floor = DemoFloor();
  for (const NamedQueue& queue : floor.Queues()) server.CreateQueue(queue.entity);
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
  W4Notifier::SetDefaultConnection(nullptr);
}

}  // namespace
}  // namespace ContactCentre
