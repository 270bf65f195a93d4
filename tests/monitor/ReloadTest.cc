// The reload of the cache after a renegotiated connection, and the seam to
// the interaction monitors.

#include <algorithm>
#include <mutex>

#include <fmt/format.h>

#include "CacheTestSupport.h"
#include "QueueManager/TsServerMonitor.h"
#include "monitor/MediaTypeEntity.h"
#include "monitor/QmCache.h"

namespace QueueManager::testing {
namespace {

// Interaction monitors as the cache sees them: one watched interaction with
// one attribute.
class FakeStore : public IInteractionMonitorStore {
 public:
  bool QueryAttribute(std::uint32_t id, const CQmAttributeName& name,
                      CQmAttributeValue& value) override {
    if (id != kWatched || name != Xan_UserName) return false;
    value = "watched";
    return true;
  }
  W4Notifier::ObjectTypes QueryObjectType(std::uint32_t id) override {
    return id == kWatched ? W4Notifier::eGenericObject2 : W4Notifier::eObjectTypeNone;
  }
  void CollectWatchedInteractions(std::vector<std::uint32_t>& ids) override {
    ids.push_back(kWatched);
  }

  static constexpr std::uint32_t kWatched = 5000;
};

class ReloadTest : public MonitorCacheTest {
 protected:
  // Renegotiates with the server answering the reload request with `reload`.
  void Renegotiate(const CMessage& reload) {
    server_->Respond(ServerEntity(), kCacheReloadEvent, reload);
    connection_->Renegotiate();
    server_->WaitIdle();
  }
};

// The reload reconciles what changed meanwhile and removes the queues that
// are gone; the sections read are delivered though the rest is malformed.
TEST_F(ReloadTest, ReconcilesTheQueuesAndRemovesThoseThatAreGone) {
  const CEntityId queue = UserQueue(3001);
  const CEntityId gone = UserQueue(3002);
  ServeQueue(queue, {.events = {Added(1, Attributes({{Xan_State, "A"}})), Added(2)}}, {Xan_State});
  ServeQueue(gone, {.events = {Added(21)}});
  RecordingMonitor monitor;
  monitor.Activate(queue, {Xan_State}, true);
  monitor.ClearLog();
  RecordingMonitor goneMonitor;
  goneMonitor.Activate(gone, {Xan_State}, true);
  goneMonitor.ClearLog();

  CMessage reload;
  WriteServerTime(reload, LocalUtcSeconds());
  // Interaction 1 changed, 2 left, 3 joined (the server does not mark it
  // added: the cache works that out).
  WriteSection(
      reload, queue, {},
      {.stats = Stats(9), .events = {Updated(1, Attributes({{Xan_State, "C"}})), Updated(3, {})}});
  WriteSection(reload, gone, {}, {.exists = false});
  reload << std::int32_t{9} << std::int32_t{3004} << true;  // a bool where names belong
  Renegotiate(reload);

  EXPECT_THAT(MonitorRequests(kCacheReloadEvent),  // the queues in the cache's order
              ElementsAre(::testing::AnyOf("int 2, int 9, int 3001, int 9, int 3002",
                                           "int 2, int 9, int 3002, int 9, int 3001")));
  EXPECT_THAT(monitor.Log(),
              ElementsAre("Stats 9", "Updated 1 {Xan_State=C}", "Added 3 {}", "Removed 2"));
  EXPECT_THAT(goneMonitor.Log(), ElementsAre("QueueRemoved"));
  EXPECT_EQ(Cache().CachedQueueCount(), 1u);
  EXPECT_EQ(Cache().CachedInteractionCount(), 2u);
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(1, Xan_State, value));
  EXPECT_EQ(value, "C");
}

// The interactions the monitors watch are reloaded with the queues; the
// monitors refresh them on their own, so nobody is called back for them.
TEST_F(ReloadTest, InteractionMonitorsAreAskedForTheirInteractions) {
  Cache().OnConnectionRenegotiated();  // nothing cached: nothing sent
  server_->WaitIdle();
  EXPECT_THAT(server_->RequestsTo(ServerEntity(), kCacheReloadEvent), IsEmpty());
  FakeStore store;
  Cache().SetInteractionMonitorStore(&store);
  const CEntityId queue = UserQueue(3005);
  ServeQueue(queue, {});
  RecordingMonitor monitor;
  monitor.Activate(queue, {Xan_State}, true);

  // Lookups the cache cannot answer go to the store.
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(FakeStore::kWatched, Xan_UserName, value));
  EXPECT_EQ(value, "watched");
  EXPECT_FALSE(Cache().QueryAttribute(FakeStore::kWatched, Xan_State, value));
  server_->ClearTraffic();
  EXPECT_EQ(InteractionId(FakeStore::kWatched).QueryObjectType(), W4Notifier::eGenericObject2);
  EXPECT_THAT(server_->Requests(), IsEmpty());

  CMessage reload;
  WriteServerTime(reload, LocalUtcSeconds());
  reload << std::int32_t{30} << std::int32_t{5000};  // an interaction record
  reload << std::int32_t{30} << std::int32_t{5000} << true << false;
  Attributes({{Xan_State, "H"}}).Write(reload);
  Renegotiate(reload);
  EXPECT_THAT(MonitorRequests(kCacheReloadEvent),
              ElementsAre("int 2, int 9, int 3005, int 30, int 5000"));
  Cache().SetInteractionMonitorStore(nullptr);
}

// A TS server monitor alone: the cache holds no subscription and the
// monitor's inbox hears nothing of the renegotiation, yet the entity it holds
// is reloaded, and what changed meanwhile reaches the cache.
TEST_F(ReloadTest, AnEntityHeldByATsServerMonitorAloneIsReloaded) {
  RecordingTsMonitor ts(true);
  const CEntityId calls = MediaTypeEntity(W4Notifier::eGenericObject);
  ServeQueue(calls, {.events = {Added(1, Attributes({{Xan_State, "A"}}))}}, {Xan_State});
  ts.Activate(W4Notifier::eGenericObject, {Xan_State});
  CMessage reload;
  WriteServerTime(reload, LocalUtcSeconds());
  WriteSection(reload, calls, {}, {.events = {Added(1, Attributes({{Xan_State, "B"}})), Added(2)}});
  Renegotiate(reload);
  EXPECT_THAT(MonitorRequests(kCacheReloadEvent),
              ElementsAre(fmt::format("int 1, int 125, int {}",
                                      static_cast<std::int32_t>(calls.QueryObjectId()))));
  CQmAttributeValue value;
  EXPECT_TRUE(Cache().QueryAttribute(1, Xan_State, value));
  EXPECT_EQ(value, "B");
  EXPECT_TRUE(Cache().IsInteractionInQueue(calls, 2));
}

}  // namespace
}  // namespace QueueManager::testing
