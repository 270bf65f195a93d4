// The media type and TS server monitors against the scripted server: what
// they report, what they leave in the cache, and how they end.

#include <stdexcept>
#include <thread>
#include <type_traits>

#include "MediaMonitorSupport.h"
#include "QueueManager/Platform/Trace.h"
#include "monitor/QueueMonitorProxy.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using W4Notifier::eGenericObject;

static_assert(!std::is_copy_constructible_v<CQmMediaTypeMonitor> &&
              !std::is_copy_assignable_v<CQmMediaTypeMonitor>);
static_assert(!std::is_copy_constructible_v<CQmTsServerMonitor> &&
              !std::is_copy_assignable_v<CQmTsServerMonitor>);

std::string LoadOfCalls(bool adding, int name) {
  return fmt::format("bool {}, int 125, int {}, int 1, int {}", adding,
                     static_cast<std::int32_t>(Calls().QueryObjectId()), name);
}

class MediaMonitorsTest : public MonitorCacheTest {};

TEST_F(MediaMonitorsTest, MediaTypeMonitorReportsJoinsAsUpdatesAndEndsAsDeallocations) {
  ServeQueue(Calls(), {.events = {Added(1, Attributes({{Xan_State, "C"}}))}});
  MediaMonitor monitor;
  monitor.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));  // inactive: nothing
  EXPECT_THAT(MonitorRequests(), IsEmpty());
  monitor.Activate(eGenericObject, {Xan_State}, true);
  Publish(Calls(), {.stats = Stats(1),
                    .events = {Added(2), Updated(2, Attributes({{Xan_State, "H"}})),
                               Updated(2, Attributes({{Xan_UserName, "u"}})), Removed(1)}});
  EXPECT_THAT(monitor.log.Entries(), ElementsAre("Updated 1 {Xan_State=C}", "Updated 2 {}",
                                                 "Updated 2 {Xan_State=H}", "Deallocated 1"));
  EXPECT_THAT(MonitorRequests(), ElementsAre(LoadOfCalls(false, Xan_State)));
}

TEST_F(MediaMonitorsTest, ASecondActivateReplacesTheFirstActivation) {
  const CEntityId chats = MediaTypeEntity(W4Notifier::eChatConferenceInteraction);
  ServeQueue(Calls(), {.events = {Added(1)}});
  ServeQueue(chats, {.events = {Added(7)}});
  MediaMonitor monitor;
  monitor.Activate(eGenericObject, {Xan_State}, true);
  monitor.Activate(eGenericObject, {Xan_State}, true);  // loaded again
  monitor.Activate(u"ChatConference", {Xan_State}, true);
  EXPECT_EQ(CQueueMonitorProxy::ActiveCount(), 1u);  // nothing orphaned
  EXPECT_EQ(Cache().CachedQueueCount(), 1u);
  EXPECT_FALSE(Cache().IsSubscribed(Calls()));
  Publish(Calls(), {.events = {Added(2)}});
  Publish(chats, {.events = {Added(8)}});
  EXPECT_THAT(monitor.log.Entries(),
              ElementsAre("Updated 1 {}", "Updated 1 {}", "Updated 7 {}", "Updated 8 {}"));
}

TEST_F(MediaMonitorsTest, TsServerMonitorKeepsTheMediaTypeCachedWithoutASubscriptionOfTheCache) {
  ServeQueue(Calls(), {.events = {Added(1, Attributes({{Xan_State, "C"}}))}}, {Xan_State});
  {
    TsMonitor monitor(true);
    monitor.Activate(eGenericObject, {Xan_State});
    monitor.Activate(W4Notifier::eChatConferenceInteraction, {Xan_State});  // ignored
    monitor.RequestAttributeUpdateCallback(CQmAttributeName(Xan_UserName));
    EXPECT_THAT(MonitorRequests(),
                ElementsAre(LoadOfCalls(false, Xan_State), LoadOfCalls(true, Xan_UserName)));
    CQmAttributeValue value;
    EXPECT_TRUE(Cache().QueryAttribute(1, Xan_State, value));
    EXPECT_EQ(value, "C");
    // A media type monitor on the same entity comes and goes: the entity stays.
    MediaMonitor().Activate(eGenericObject, {Xan_State}, true);
    EXPECT_EQ(Cache().CachedQueueCount(), 1u);
    EXPECT_FALSE(Cache().IsSubscribed(Calls()));
    EXPECT_THAT(monitor.log->Entries(), IsEmpty());
  }
  EXPECT_EQ(Cache().CachedQueueCount(), 0u);
}

// A batch: the worker is held in the callback of interaction 1 while
// `events` are published, one message each, then 999 (reported last).
struct BatchCase {
  const char* name;
  bool monitorAll;
  std::vector<std::uint32_t> monitored;
  std::vector<EventFields> events;
  std::vector<std::string> reported;  // between 1 and 999
  std::vector<InteractionId> cached;  // on the entity afterwards (1 is from the load)
};

class TsBatchTest : public MediaMonitorsTest, public ::testing::WithParamInterface<BatchCase> {};

TEST_P(TsBatchTest, ReportsOneMergedMapPerInteractionAndUpdatesTheCache) {
  const BatchCase& c = GetParam();
  ServeQueue(Calls(), {.events = {Added(1)}});
  TsMonitor monitor(c.monitorAll);
  for (const std::uint32_t id : c.monitored) monitor.MonitorInteraction(id);
  for (const std::uint32_t id : {1u, 999u}) monitor.MonitorInteraction(id);
  W4Os::CEvent held(true);
  W4Os::CEvent release(true);
  monitor.hook = [&](std::uint32_t id) {
    if (id != 1) return;
    held.Set();
    release.Wait();
  };
  monitor.Activate(eGenericObject, {Xan_State});
  Publish(Calls(), {.events = {Updated(1, Attributes({{Xan_State, "G"}}))}});
  held.Wait();
  for (const EventFields& event : c.events) Publish(Calls(), {.events = {event}});
  Publish(Calls(), {.events = {Updated(999, Attributes({{Xan_State, "S"}}))}});
  release.Set();
  monitor.log->WaitFor("999 {Xan_State=S}");
  std::vector<std::string> expected = {"1 {Xan_State=G}"};
  expected.insert(expected.end(), c.reported.begin(), c.reported.end());
  expected.push_back("999 {Xan_State=S}");
  EXPECT_THAT(monitor.log->Entries(), ElementsAreArray(expected));
  std::vector<InteractionId> cached;
  Cache().QueryQueueContents(Calls(), cached);
  std::sort(cached.begin(), cached.end());
  EXPECT_THAT(cached, ElementsAreArray(c.cached));
}

const CQmAttributeMap kStateA = Attributes({{Xan_State, "A"}});

INSTANTIATE_TEST_SUITE_P(
    Batches, TsBatchTest,
    ::testing::Values(
        BatchCase{"UnmonitoredAreNotReported", false, {}, {Added(5, kStateA)}, {}, {1, 5}},
        BatchCase{"MonitoredAreReported",
                  false,
                  {5},
                  {Added(6, Attributes({{Xan_State, "B"}})), Added(5, kStateA), Added(7)},
                  {"5 {Xan_State=A}"},
                  {1, 5, 6, 7}},
        BatchCase{"MonitorAllReportsByAscendingId",
                  true,
                  {},
                  {Added(7, Attributes({{Xan_State, "B"}})), Updated(5, kStateA)},
                  {"5 {Xan_State=A}", "7 {Xan_State=B}"},
                  {1, 7}},
        BatchCase{"UpdatesOfOneInteractionMerge",
                  false,
                  {5},
                  {Added(5, kStateA), Updated(5, Attributes({{Xan_UserName, "u"}})),
                   Updated(5, Attributes({{Xan_State, "H"}}))},
                  {"5 {Xan_State=H,Xan_UserName=u}"},
                  {1, 5}},
        BatchCase{
            "RemovalEndsTheReportsAndLeavesTheCache",
            false,
            {5},
            {Added(5, kStateA), Removed(5), Updated(5, Attributes({{Xan_State, "X"}})), Removed(1)},
            {"5 {Xan_State=A}"},
            {}}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(MediaMonitorsTest, WorkerTracesAMalformedMessageAndAThrowingCallbackAndGoesOn) {
  auto capture = std::make_shared<W4Trace::CCaptureSink>();
  W4Trace::AddSink(capture);
  W4Trace::QueueManagerTopic().SetLevel(W4Trace::kLevelFailure);
  ServeQueue(Calls(), {});
  TsMonitor monitor(true);
  monitor.hook = [](std::uint32_t id) {
    if (id == 3) throw std::runtime_error("callback failed");
  };
  monitor.Activate(eGenericObject, {Xan_State});
  CMessage statsMissing;
  WriteServerTime(statsMissing, LocalUtcSeconds());
  statsMissing << true << true;
  PublishRaw(Calls(), statsMissing);
  Publish(Calls(), {.events = {Updated(3, kStateA), Updated(4, kStateA)}});
  monitor.log->WaitFor("4 {Xan_State=A}");
  W4Trace::QueueManagerTopic().SetLevel(W4Trace::kLevelOff);
  W4Trace::RemoveSink(capture);
  EXPECT_THAT(monitor.log->Entries(), ElementsAre("3 {Xan_State=A}", "4 {Xan_State=A}"));
  EXPECT_TRUE(capture->Contains("Malformed notification"));
  EXPECT_TRUE(capture->Contains("callback failed"));
}

// How a TS server monitor ends; with the later ones the worker is inside the
// callback of interaction 5, with 6 still to report.
enum class Ending {
  kNeverActivated,
  kActivatedWithoutConnection,
  kIdle,
  kDestroyedMidBatch,
  kDeactivatedByCallback,
  kDestroyedByCallback
};

class TsEndingTest : public MediaMonitorsTest, public ::testing::WithParamInterface<Ending> {};

TEST_P(TsEndingTest, StopsTheWorkerWithoutHangingOrLaterCallbacks) {
  const Ending ending = GetParam();
  ServeQueue(Calls(), {});
  auto* monitor = new TsMonitor(true);
  const std::shared_ptr<CallbackLog> log = monitor->log;
  W4Os::CEvent inside(true);
  W4Os::CEvent release(true);
  monitor->hook = [&, monitor](std::uint32_t id) {
    if (id != 5) return;
    W4Os::CEvent& reached = inside;  // outlives the monitor, unlike this hook
    if (ending == Ending::kDestroyedMidBatch) release.Wait();
    if (ending == Ending::kDeactivatedByCallback) monitor->Deactivate();
    if (ending == Ending::kDestroyedByCallback) delete monitor;
    reached.Set();
  };
  if (ending == Ending::kActivatedWithoutConnection) W4Notifier::SetDefaultConnection(nullptr);
  if (ending != Ending::kNeverActivated) monitor->Activate(eGenericObject, {Xan_State});
  W4Notifier::SetDefaultConnection(connection_);
  if (ending >= Ending::kDestroyedMidBatch) {
    Publish(Calls(), {.events = {Updated(5, kStateA), Updated(6, kStateA)}});
  }
  if (ending == Ending::kDestroyedMidBatch) {
    log->WaitFor("5 {Xan_State=A}");
    std::thread destroyer([monitor] { delete monitor; });
    release.Set();
    destroyer.join();
  } else if (ending == Ending::kDestroyedByCallback) {
    inside.Wait();
  } else {
    if (ending == Ending::kDeactivatedByCallback) inside.Wait();
    delete monitor;
  }
  const std::vector<std::string> reported = log->Entries();
  Publish(Calls(), {.events = {Updated(5, kStateA)}});
  EXPECT_EQ(log->Entries(), reported);
  if (ending >= Ending::kDeactivatedByCallback) {
    EXPECT_THAT(reported, ElementsAre("5 {Xan_State=A}"));
  }
}

INSTANTIATE_TEST_SUITE_P(Endings, TsEndingTest,
                         ::testing::Values(Ending::kNeverActivated,
                                           Ending::kActivatedWithoutConnection, Ending::kIdle,
                                           Ending::kDestroyedMidBatch,
                                           Ending::kDeactivatedByCallback,
                                           Ending::kDestroyedByCallback));

}  // namespace
}  // namespace QueueManager::testing
