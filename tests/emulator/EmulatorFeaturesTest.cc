// The monitors of every kind, alerting and the legacy queue object functions
// against the server emulator.

#include <functional>
#include <future>
#include <sstream>
#include <string>
#include <tuple>

#include <fmt/format.h>

#include "QueueManager/Alerting.h"
#include "QueueManager/AttributeMonitor.h"
#include "QueueManager/CachingObjectTypeMonitor.h"
#include "QueueManager/ConditionalUpdates.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/QueueObjects.h"
#include "QueueManager/TsServerMonitor.h"
#include "emulator/EmulatorTestSupport.h"
#include "interaction/InteractionTestSupport.h"
#include "lightweight/LightweightTestSupport.h"
#include "monitor/CacheTrace.h"
#include "monitor/MediaTypeEntity.h"
#include "support/Waits.h"

namespace QueueManager::Emulator {
namespace {

using ::testing::IsEmpty;
using testing::RecordingConferenceMonitor;
using testing::RecordingInteractionMonitor;
using testing::RecordingMediaMonitor;
using testing::RecordingTsMonitor;
using ::testing::UnorderedElementsAre;

// The callbacks since the last call.
std::vector<std::string> Take(testing::EntryLog& log) {
  std::vector<std::string> lines = log.Log();
  log.ClearLog();
  return lines;
}

using InteractionMonitorTest = EmulatorTest;

TEST_F(InteractionMonitorTest, ReportsWatchedChangesFromRequestsAndControlThenTheEnd) {
  const std::uint32_t id = Add({{u"Xan_State", u"A"}, {u"Custom", u"x"}});
  RecordingInteractionMonitor watcher;
  watcher.Activate(id, {kState}, false);
  watcher.Activate(id + 100, {kState}, true);  // unknown to the server
  Sync();
  // The two answers come on different threads.
  EXPECT_THAT(Take(watcher), UnorderedElementsAre("Updated 1 {Xan_State=A}", "Deallocated 101"));
  watcher.RequestAttributeUpdateCallback(kCustom);           // a snapshot: reported
  SetAttribute(id, kState, V(u"C"));                         // through a request
  emulator_->SetAttributes(id, MapOf({{u"Custom", u"y"}}));  // not watched: not reported
  emulator_->RemoveInteraction(id);
  Sync();
  EXPECT_THAT(Take(watcher),
              ElementsAre("Updated 1 {Custom=x}", "Updated 1 {Xan_State=C}", "Deallocated 1"));
  EXPECT_THAT(emulator_->WatchedNames(LibraryHandle(), id), ::testing::IsEmpty());
}

TEST_F(InteractionMonitorTest, ConferenceFollowsItsMemberListToTheEnd) {
  const std::uint32_t a = Add({{u"Custom", u"a"}});
  const std::uint32_t b = Add({{u"Custom", u"b"}});
  const std::uint32_t conference = emulator_->AddInteraction(W4Notifier::eConferenceInteraction,
                                                             MapOf({{u"Xan_State", u"C"}}), {});
  RecordingConferenceMonitor watcher;
  watcher.Activate(conference, {kCustom}, true);
  CQmAttributeMap members;
  members[CQmAttributeName(Xan_ConferenceMembers)].insert(a);
  members[CQmAttributeName(Xan_ConferenceMembers)].insert(b);
  emulator_->SetAttributes(conference, members);
  Sync();
  emulator_->SetAttributes(a, MapOf({{u"Custom", u"a2"}}));
  emulator_->RemoveInteraction(b);  // leaves the member list, published whole
  emulator_->SetAttributes(conference, MapOf({{u"Xan_State", u"I"}}));
  Sync();
  EXPECT_THAT(Take(watcher),
              ElementsAre("Added 1 {Custom=a}", "Added 2 {Custom=b}", "Updated 1 {Custom=a2}",
                          "Removed 2", "Updated 3 {Xan_State=I}", "Ended 3"));
}

using QueueObjectTest = EmulatorTest;

TEST_F(QueueObjectTest, ObjectsWithAllocatedIdsMoveOnTheServersQueues) {
  const std::uint32_t first = AllocateQueueObjectId(3);
  EXPECT_EQ(AllocateQueueObjectId(3), first + 1);  // from the same block
  const CEntityId object(W4Notifier::eGenericObject, first);
  InsertObjectOnQueues(object, {kSales, kSupport});
  EXPECT_EQ(MoveQueueObject(object, kSupport, kSales), 1);
  W4Notifier::CEntityIdArray queues;
  EXPECT_EQ(QueryQueuesContainingObject(object, queues), 1);
  RemoveObjectFromAllQueues(object);
  EXPECT_THAT(emulator_->Interaction(first)->queues, ::testing::IsEmpty());
  EXPECT_EQ(MoveQueueObject(CEntityId(W4Notifier::eGenericObject, first + 1), kSales, {}), 0);
  EXPECT_GT(Add({}), first + 2);  // the block's ids stay reserved
}

TEST_F(QueueObjectTest, CountsAndSelectionsFollowTheStates) {
  Add({{u"Xan_State", u"H"}});
  const std::uint32_t onSales = Add({{u"Xan_State", u"A"}});
  const std::uint32_t onSupport = Add({{u"Xan_State", u"O"}}, {kSupport});
  EXPECT_EQ(QueryActiveQueueObjectCount(kSales, kCall) +
                QueryActiveHeldQueueObjectCount(kSales, kCall) +
                QueryActiveHeldQueueObjectCount(kSales, kChat),
            2);
  std::ostringstream support, sales;
  support << kSupport;
  sales << kSales;
  std::uint32_t selected = 0;
  for (const std::uint32_t expected : {onSupport, onSales, 0U}) {
    EXPECT_EQ(SelectCall({support.str(), sales.str()}, 0, selected), expected != 0);
    EXPECT_EQ(selected, expected);
  }
  EXPECT_EQ(Value(onSales, kState), u"C");  // taken
}

// The media type entity holds every interaction of its type, whatever its
// queues.

using MediaEmulatorTest = EmulatorTest;

TEST_F(MediaEmulatorTest, MediaTypeMonitorFollowsEveryInteractionOfItsType) {
  const std::uint32_t queued = Add({{u"Xan_State", u"A"}});
  const std::uint32_t unqueued = Add({{u"Xan_State", u"C"}}, {});
  const std::uint32_t chat = emulator_->AddInteraction(kChat, MapOf({{u"Xan_State", u"A"}}), {});
  RecordingMediaMonitor watcher;
  watcher.Activate(kCall, {kState}, true);
  EXPECT_THAT(watcher.log->Take(2), UnorderedElementsAre("1 {Xan_State=A}", "2 {Xan_State=C}"));

  SetAttribute(queued, kState, V(u"C"));
  emulator_->SetAttributes(chat, MapOf({{u"Xan_State", u"C"}}));   // another type
  emulator_->SetAttributes(unqueued, MapOf({{u"Custom", u"x"}}));  // not monitored
  const std::uint32_t added = emulator_->AddInteraction(kCall, MapOf({{u"Xan_State", u"O"}}), {});
  emulator_->RemoveInteraction(unqueued);
  Sync();
  EXPECT_THAT(
      watcher.log->Take(3),
      ElementsAre("1 {Xan_State=C}", fmt::format("{} {{Xan_State=O}}", added), "2 Deallocated"));

  EXPECT_THAT(*emulator_->ViewContents(MediaTypeEntity(kCall)), ElementsAre(queued, added));
  EXPECT_FALSE(emulator_->ViewContents(MediaTypeEntity(kChat)).has_value());  // never activated
  CQmQueueStats stats;
  ASSERT_TRUE(QueryQueueStatistics(MediaTypeEntity(kCall), stats));
  EXPECT_EQ(stats.QueryConnectedCount(), 1U);
  EXPECT_EQ(stats.QueryAlertingCount(), 1U);

  // After a renegotiation the cache reloads the media type entity from the
  // server and goes on following it.
  transport_.Interrupt([] {});
  watcher.log->Take(0);
  emulator_->SetAttributes(added, MapOf({{u"Xan_State", u"C"}}));
  EXPECT_THAT(watcher.log->Take(1), ElementsAre(fmt::format("{} {{Xan_State=C}}", added)));
}

// A monitor of its interactions only reports them; one of all reports every
// interaction of the type.
TEST_F(MediaEmulatorTest, TsServerMonitorReportsTheInteractionsItIsToldOrAll) {
  for (const bool all : {false, true}) {
    SCOPED_TRACE(all ? "all" : "told");
    testing::Cache().ResetForTesting();
    const std::uint32_t watched = Add({{u"Xan_State", u"A"}});
    const std::uint32_t other = Add({{u"Xan_State", u"A"}});
    Sync();  // their additions are over before the monitor subscribes
    RecordingTsMonitor monitor(all);
    monitor.Activate(kCall, {kState});
    if (!all) monitor.MonitorInteraction(watched);
    emulator_->SetAttributes(other, MapOf({{u"Xan_State", u"C"}}));
    emulator_->SetAttributes(watched, MapOf({{u"Xan_State", u"H"}}));
    const std::string heldLine = fmt::format("{} {{Xan_State=H}}", watched);
    if (all) {
      // In one batch or two: a batch is reported in ascending ids.
      EXPECT_THAT(monitor.log->Take(2),
                  UnorderedElementsAre(fmt::format("{} {{Xan_State=C}}", other), heldLine));
    } else {
      EXPECT_THAT(monitor.log->Take(1), ElementsAre(heldLine));
    }
    emulator_->RemoveInteraction(watched);
    emulator_->RemoveInteraction(other);
  }
}

// Alerting orders are held until answered, ended, timed out or overtaken by
// the interaction's fate; bad orders are answered at once.
const CEntityId kAgent(W4Notifier::eUserQueue, 7);
const AlertList kAlerts{{kAgent, CQmAlertingParameters()}};

// Answers each alert as the alerted party, on the delivery thread.
struct AnsweringParty : W4Notifier::IMessageCallback {
  void OnMessageReceived(W4Notifier::CMessage& message) override {
    const AlertNotification alert(message);
    emulator->AnswerAlerting(alert.alerting_interaction().QueryObjectId(), alert.alerted_entity());
  }
  CEmulator* emulator = nullptr;
};

struct Outcome : AsyncPerformAlertingResponse {
  void OnPerformAlertingResponse(ePerformAlertingResponse code) override {
    promise.set_value(code);
  }
  std::promise<ePerformAlertingResponse> promise;
};

using AlertingTest = EmulatorTest;

TEST_F(AlertingTest, AnAnswerFromTheAlertedPartyEndsTheWaitConnected) {
  AnsweringParty party;
  party.emulator = emulator_.get();
  connection_->StartNotifications(kAgent, 15, &party, 0);
  const std::uint32_t id = Add({{u"Xan_State", u"O"}});
  EXPECT_EQ(PerformAlerting(id, 60, {kSales}, {kSupport}, kAlerts, 5), eAlertingAnswered);
  EXPECT_EQ(Value(id, kState), u"C");
  EXPECT_THAT(emulator_->Interaction(id)->queues, ElementsAre(kSales, kSupport));
  connection_->StopAllMessages(&party);
}

TEST_F(AlertingTest, BadOrdersAreAnsweredAtOnceAndChangeNothing) {
  const std::uint32_t id = Add({{u"Xan_State", u"O"}});
  const std::uint32_t gone = Add({{u"Xan_State", u"I"}});
  const std::vector<std::tuple<std::uint32_t, std::uint32_t, CEntityId, CEntityId, AlertList,
                               ePerformAlertingResponse>>
      cases{{id, 60, kSales, kSupport, {}, eAlertingInvalidParameter},
            {id, 0, kSales, kSupport, kAlerts, eAlertingInvalidParameter},
            {id + 100, 60, kSales, kSupport, kAlerts, eAlertingInvalidInteractionId},
            {gone, 60, kSales, kSupport, kAlerts, eAlertingInvalidInteractionState},
            {id, 60, kSupport, kSupport, kAlerts, eAlertingNotOnAlertedQueue},
            {id, 60, kSales, kSales, kAlerts, eAlertingAlreadyOnAssociatedQueue}};
  for (const auto& [target, seconds, from, associated, alerts, code] : cases) {
    EXPECT_EQ(PerformAlerting(target, seconds, {from}, {associated}, alerts, 0), code);
  }
  EXPECT_EQ(Value(id, kState), u"O");
  CQmAlertingParameters autoAnswer;
  autoAnswer.AutoAnswer = true;
  EXPECT_EQ(PerformAlerting(id, 60, {}, {}, {{kAgent, autoAnswer}}, 0), eAlertingSucceeded);
  EXPECT_EQ(Value(id, kState), u"C");
}

TEST_F(AlertingTest, HeldOrdersEndByRequestTimeOutDisconnectionOrMove) {
  const std::vector<
      std::pair<std::function<void(CEmulator&, std::uint32_t)>, ePerformAlertingResponse>>
      cases{{[](auto&, auto id) { EndAlerting(id, 0); }, eAlertingEnded},
            {[](auto&, auto id) { EXPECT_TRUE(AlertConnectionTimeout(id, 0)); }, eAlertingTimeout},
            {[](auto& e, auto id) {
               e.SetAttributes(id, MapOf({{u"Xan_State", u"I"}}));
             },
             eAlertingDisconnected},
            {[](auto& e, auto id) { e.Move(id, {kSales}, {}); }, eAlertingTransferred}};
  for (const auto& [end, code] : cases) {
    const std::uint32_t id = Add({{u"Xan_State", u"O"}});
    auto outcome = W4Util::MakeObject<Outcome>();
    AsyncPerformAlerting(id, 60, {kSales}, {kSupport}, kAlerts, 3, outcome);
    SilentAlerting(id);
    Sync();
    ASSERT_TRUE(emulator_->Alerting(id).has_value() && emulator_->Alerting(id)->silent) << code;
    EXPECT_EQ(Value(id, kState), u"A");
    end(*emulator_, id);
    EXPECT_EQ(outcome->promise.get_future().get(), code);
    EXPECT_FALSE(emulator_->Alerting(id).has_value());
    EXPECT_THAT(emulator_->Interaction(id)->queues, ::testing::Not(::testing::Contains(kSupport)));
  }
}

// The time-out thread sleeps until the earliest time-out it knows of: what
// falls due before it, a shorter alerting or an answer a fault delays, wakes
// it, and is not left waiting for the longer time-out.
TEST_F(AlertingTest, WhatFallsDueFirstIsNotHeldBackByALongerTimeOut) {
  using namespace std::chrono_literals;
  const std::uint32_t held = Add({{u"Xan_State", u"O"}});
  auto heldOutcome = W4Util::MakeObject<Outcome>();
  AsyncPerformAlerting(held, 600, {kSales}, {kSupport}, kAlerts, 0, heldOutcome);
  Sync();
  ASSERT_TRUE(emulator_->Alerting(held).has_value());
  const std::vector<std::pair<const char*, std::function<bool()>>> cases{
      {"a one-second alerting times out",
       [this] {
         const std::uint32_t id = Add({{u"Xan_State", u"O"}});
         auto outcome = W4Util::MakeObject<Outcome>();
         AsyncPerformAlerting(id, 1, {kSales}, {kSupport}, kAlerts, 0, outcome);
         auto code = outcome->promise.get_future();
         return code.wait_for(30s) == std::future_status::ready && code.get() == eAlertingTimeout;
       }},
      {"a delayed answer comes",
       [this] {
         const std::uint32_t id = Add({{u"Custom", u"1"}});
         emulator_->InjectFault(RequestFaultPlan{W4Notifier::eInteractionRequest, 10,
                                                 eFault::kDelay, FaultSelection::Next(1), 50ms});
         int now = 0;
         return IncrementAttribute(id, CQmAttributeName(u"Custom"), 1, now);
       }},
  };
  for (const auto& [what, fellDue] : cases) EXPECT_TRUE(fellDue()) << what;
  EXPECT_TRUE(emulator_->Alerting(held).has_value());
}

// The object type, caching object type and attribute monitors against the
// server emulator: every callback and every cached value follows from a
// change of the emulator's state or from the monitor's own writes.

using QueueManager::testing::NewRecorder;
using QueueManager::testing::Recorder;

const CQmAttributeName kGrade(u"Custom");

class LightweightEmulatorTest : public EmulatorTest {
 protected:
  // The log since the last call, once everything sent so far was handled.
  std::vector<std::string> Settle() {
    Sync();
    return recorder_->Take(0);
  }
  w4core::InterfacePtr<Recorder> recorder_ = NewRecorder();
};

// One step of a monitor's life: what the server is made to do, the callbacks
// it gives, in order ("; " between them), and how it is made to.
using Step = std::tuple<const char*, const char*, std::function<void(CEmulator&)>>;

TEST_F(LightweightEmulatorTest, ObjectTypeMonitorFollowsItsTypeFromActivationToDeactivation) {
  const std::uint32_t first = Add({{u"Xan_State", u"A"}, {u"Custom", u"x"}});
  Add({{u"Xan_State", u"C"}}, {});  // on no queue: of the type all the same
  const std::uint32_t chat = emulator_->AddInteraction(kChat, MapOf({{u"Xan_State", u"A"}}), {});
  CQmObjectTypeMonitor monitor;
  monitor.activate(kCall, recorder_, {kState}, false);
  EXPECT_THAT(Settle(), UnorderedElementsAre("Added 1 {Xan_State=A}", "Added 2 {Xan_State=C}"));

  const std::vector<Step> steps{
      {"a request changes a monitored name", "Updated 1 {Xan_State=C}",
       [&](CEmulator&) { SetAttribute(first, kState, V(u"C")); }},
      {"a name not monitored changes", "",
       [&](CEmulator& e) {
         e.SetAttributes(first, MapOf({{u"Custom", u"y"}}));
       }},
      {"an interaction of another type changes", "",
       [&](CEmulator& e) {
         e.SetAttributes(chat, MapOf({{u"Xan_State", u"C"}}));
       }},
      {"an interaction of the type is created", "Added 4 {Xan_State=O}",
       [&](CEmulator& e) {
         e.AddInteraction(kCall, MapOf({{u"Xan_State", u"O"}}), {kSupport});
       }},
      {"a client instantiates one", "Added 5 {Xan_State=C}",
       [&](CEmulator&) {
         CEntityId created;
         InstantiateInteraction(created, InteractionId(), kCall, eXAN_STATE_CONNECTED,
                                eXAN_DIRECTION_INBOUND, "l", "la", "li", eXAN_PARTY_INTERNAL, "r",
                                "ra", "ri", eXAN_PARTY_EXTERNAL, {}, {}, false);
       }},
      {"a move changes no attribute", "",
       [&](CEmulator& e) { e.Move(first, {kSales}, {kSupport}); }},
      {"an interaction is removed", "Removed 1", [&](CEmulator& e) { e.RemoveInteraction(first); }},
  };
  for (const auto& [what, expected, act] : steps) {
    act(*emulator_);
    EXPECT_EQ(fmt::format("{}", fmt::join(Settle(), "; ")), expected) << what;
  }
  monitor.deactivate();
  emulator_->AddInteraction(kCall, MapOf({{u"Xan_State", u"A"}}), {});
  EXPECT_THAT(Settle(), IsEmpty());
}

TEST_F(LightweightEmulatorTest, AttributeMonitorWithAValueFollowsTheInteractionsThatHoldIt) {
  const std::uint32_t gold = Add({{u"Xan_State", u"A"}, {u"Custom", u"Gold"}});
  const std::uint32_t silver = Add({{u"Xan_State", u"A"}, {u"Custom", u"Silver"}});
  AttributeMonitor monitor;
  monitor.activate(kGrade, V(u"Gold"), recorder_, {kState}, false);
  EXPECT_THAT(Settle(), ::testing::ElementsAre("Added 1 Gold {Xan_State=A}"));

  const std::vector<Step> steps{
      {"a member's monitored name changes", "Updated 1 Gold {Xan_State=C}",
       [&](CEmulator& e) {
         e.SetAttributes(gold, MapOf({{u"Xan_State", u"C"}}));
       }},
      {"another interaction takes the value", "Added 2 Gold {Xan_State=A}",
       [&](CEmulator&) { SetAttribute(silver, kGrade, V(u"Gold")); }},
      {"a member loses the value", "Removed 1 Gold",
       [&](CEmulator& e) {
         e.SetAttributes(gold, MapOf({{u"Custom", u"Bronze"}}));
       }},
      {"a non-member changes", "",
       [&](CEmulator& e) {
         e.SetAttributes(gold, MapOf({{u"Xan_State", u"I"}}));
       }},
      {"a member is removed", "Removed 2 Gold", [&](CEmulator& e) { e.RemoveInteraction(silver); }},
  };
  for (const auto& [what, expected, act] : steps) {
    act(*emulator_);
    EXPECT_EQ(fmt::format("{}", fmt::join(Settle(), "; ")), expected) << what;
  }
}

TEST_F(LightweightEmulatorTest,
       AttributeMonitorWithoutAValueFollowsEveryInteractionThatHasTheName) {
  Add({{u"Custom", u"Gold"}});
  Add({{u"Xan_State", u"A"}});  // without the name: not followed
  AttributeMonitor monitor;
  monitor.activate(kGrade, V(u""), recorder_, {kGrade}, false);
  EXPECT_THAT(Settle(), ::testing::ElementsAre("Added 1 Gold {Custom=Gold}"));
  emulator_->SetAttributes(2, MapOf({{u"Custom", u"Silver"}}));
  emulator_->SetAttributes(1, MapOf({{u"Custom", u"Bronze"}}));
  EXPECT_THAT(Settle(), ::testing::ElementsAre("Added 2 Silver {Custom=Silver}",
                                               "Added 1 Bronze {Custom=Bronze}"));
}

class CachingEmulatorTest : public LightweightEmulatorTest {
 protected:
  void SetUp() override {
    LightweightEmulatorTest::SetUp();
    if (IsSkipped()) return;
    id_ = Add({{u"Xan_State", u"A"}, {u"Custom", u"x"}});
    monitor_.activate(kCall, recorder_, {kState, kGrade}, false);
    Settle();
  }
  void TearDown() override {
    monitor_.deactivate();
    LightweightEmulatorTest::TearDown();
  }
  std::u16string Cached(const CQmAttributeName& name) const {
    CQmAttributeValue value;
    EXPECT_TRUE(monitor_.query_attribute(id_, name, value));
    return value.QueryString();
  }

  std::uint32_t id_ = 0;
  CQmCachingObjectTypeMonitor monitor_;
};

// Each own write is echoed once with its number; once every write is
// confirmed, a change by someone else is taken again. Without the echo the
// written value would be kept against every later foreign change.
TEST_F(CachingEmulatorTest, OwnWritesAreConfirmedSoThatLaterForeignChangesAreTaken) {
  const std::tuple<const char*, std::vector<const char16_t*>> cases[] = {
      {"one write of a new value", {u"y"}},
      {"a write of the value the server holds", {u"foreign"}},
      {"two writes in a row", {u"p", u"q"}},
  };
  for (const auto& [what, writes] : cases) {
    for (const char16_t* value : writes) monitor_.set_attribute(id_, kGrade, V(value));
    EXPECT_EQ(Cached(kGrade), writes.back()) << what;  // at once, before any echo
    Settle();
    EXPECT_EQ(Value(id_, kGrade), writes.back()) << what;
    emulator_->SetAttributes(id_, MapOf({{u"Custom", u"foreign"}}));
    Settle();
    EXPECT_EQ(Cached(kGrade), u"foreign") << what;
  }
}

TEST_F(CachingEmulatorTest, AWriteThatMovesTheInteractionIsEchoedAndMoves) {
  monitor_.MoveAndSet(id_, {kSales}, MapOf({{u"Xan_State", u"H"}}), {kSupport});
  Settle();
  EXPECT_THAT(emulator_->Interaction(id_)->queues, ::testing::ElementsAre(kSupport));
  EXPECT_EQ(Value(id_, kState), u"H");
  emulator_->SetAttributes(id_, MapOf({{u"Xan_State", u"C"}}));
  Settle();
  EXPECT_EQ(Cached(kState), u"C");
}

TEST_F(CachingEmulatorTest, RemovalEmptiesTheCacheEntry) {
  emulator_->RemoveInteraction(id_);
  EXPECT_THAT(Settle(), ::testing::ElementsAre("Removed 1"));
  CQmAttributeValue value(u"kept");
  EXPECT_FALSE(monitor_.query_attribute(id_, kState, value));
}

}  // namespace
}  // namespace QueueManager::Emulator
