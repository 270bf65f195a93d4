// The interaction monitor against the scripted server: what it asks for,
// what it keeps and reports, how it answers the cache, and how long it lives.

#include <gmock/gmock.h>

#include <future>
#include <memory>

#include "QueueManager/AttributeRequests.h"
#include "interaction/InteractionTestSupport.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

const CQmAttributeName kNote(u"Note");

TEST_F(InteractionMonitorTest, ActivationAsksForOneIdWithItsOwnNamesAndMonitorsTheirUnion) {
  Answer({101, Attributes({{Xan_State, u"C"}, {kNote, u"n"}})});
  RecordingInteractionMonitor monitor;
  monitor.Activate(0, {Xan_State}, true);
  monitor.Activate(0xFFFFFFFF, {Xan_State}, true);
  monitor.Activate(101, {Xan_State}, true);
  EXPECT_TRUE(monitor.IsMonitored(101));
  monitor.Activate(101, {kNote}, false);
  EXPECT_THAT(SentFields(InteractionEntity(101), kMonitorRequestEvent),
              ElementsAre("int 1, uint 101, int 1, int 38",
                          "int 1, uint 101, int 1, int -1, wtext \"Note\""));
  EXPECT_EQ(RequestCount(), 2u);  // unset ids ask nothing
  std::vector<CQmAttributeName> names;
  monitor.Monitors(101, names);
  EXPECT_THAT(names, ElementsAre(kNote, Xan_State));
  EXPECT_THAT(monitor.Entries(),
              ElementsAre("Updated 101 {Note=n,Xan_State=C}", "Updated 101 {Note=n,Xan_State=C}"));
  EXPECT_EQ(monitor.QueryAttribute(101, kNote).QueryString(), u"n");
}

TEST_F(InteractionMonitorTest, RecordsCacheMonitoredNamesAndReportByTheRules) {
  struct Row {
    const char* label;
    Record record;
    std::vector<std::string> log;
    const char16_t* state;  // cached Xan_State afterwards
  };
  const Row rows[] = {
      {"monitored and unmonitored",
       {101, Attributes({{Xan_State, u"H"}, {kNote, u"x"}})},
       {"Updated 101 {Note=x,Xan_State=H}"},
       u"H"},
      {"unmonitored only", {101, Attributes({{kNote, u"y"}})}, {}, u"C"},
      {"unmonitored, always notify",
       {101, Attributes({{kNote, u"z"}}), true},
       {"Updated 101 {Note=z}"},
       u"C"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.label);
    Answer({101, Attributes({{Xan_State, u"C"}})});
    RecordingInteractionMonitor monitor;
    monitor.Activate(101, {Xan_State}, true);
    Notify(101, {row.record});
    std::vector<std::string> expected = {"Updated 101 {Xan_State=C}"};
    expected.insert(expected.end(), row.log.begin(), row.log.end());
    EXPECT_EQ(monitor.Entries(), expected);
    EXPECT_EQ(monitor.QueryAttribute(101, Xan_State).QueryString(), row.state);
    CQmAttributeValue note;
    server_->ClearTraffic();
    EXPECT_FALSE(QueueManager::QueryAttribute(101, kNote, note));  // never cached: asked
    EXPECT_EQ(RequestCount(), 1u);
  }
}

TEST_F(InteractionMonitorTest, ADeallocationRecordEndsTheMessageAndTheWatch) {
  Answer({101, Attributes({{Xan_State, u"C"}})});
  RecordingInteractionMonitor monitor;
  monitor.Activate(101, {Xan_State}, true);
  monitor.Activate(102, {Xan_State}, true);
  Notify(101, {{101, Attributes({{Xan_State, u"H"}})},
               {101, {}, false, true},
               {102, Attributes({{Xan_State, u"A"}})}});
  Notify(101, {{101, {}, false, true}});  // a repeated deallocation tells nothing new
  EXPECT_THAT(monitor.Entries(), ElementsAre("Updated 101 {Xan_State=C}",
                                             "Updated 101 {Xan_State=H}", "Deallocated 101"));
  EXPECT_FALSE(monitor.IsMonitored(101));
  EXPECT_FALSE(monitor.IsMonitored(102));
  std::vector<CQmAttributeName> names;
  monitor.Monitors(101, names);
  EXPECT_THAT(names, IsEmpty());
  Notify(101, {{101, Attributes({{Xan_State, u"H"}})}});  // unsubscribed
  EXPECT_EQ(monitor.Count(), 3u);
}

TEST_F(InteractionMonitorTest, AMonitorMayDestroyItselfInItsCallbacks) {
  Answer({101, Attributes({{Xan_State, u"C"}})});
  for (const char* last : {"Updated 101 {Xan_State=H}", "Deallocated 101"}) {
    SCOPED_TRACE(last);
    auto* monitor = new RecordingInteractionMonitor;
    std::vector<std::string> seen;
    monitor->hook = [&](const std::string& entry) {
      seen.push_back(entry);
      if (entry == last) delete monitor;
    };
    monitor->Activate(101, {Xan_State}, true);
    Notify(101, {{101, Attributes({{Xan_State, u"H"}})}, {101, {}, false, true}});
    EXPECT_EQ(seen.back(), last);
    Notify(101, {{101, Attributes({{Xan_State, u"A"}})}});
    EXPECT_EQ(seen.back(), last);
  }
}

TEST_F(InteractionMonitorTest, LateAnswersAfterDeactivationOrDestructionCallNobody) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "deactivated");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    server_->Handle(InteractionEntity(909), kMonitorRequestEvent, [released](const CMessage&) {
      released.wait();
      return W4Notifier::CScriptedReply::Respond(
          Records({{909, Attributes({{Xan_State, u"C"}}), true}}));
    });
    auto monitor = std::make_unique<RecordingInteractionMonitor>();
    monitor->Activate(909, {Xan_State}, false);
    if (destroy) {
      monitor.reset();
    } else {
      monitor->Deactivate(909);
    }
    release.set_value();
    server_->WaitIdle();  // under ASan a call into a destroyed monitor fails here
    CQmAttributeValue value;
    EXPECT_FALSE(Cache().QueryAttribute(909, Xan_State, value));
    if (destroy) continue;
    EXPECT_EQ(monitor->Count(), 0u);
    EXPECT_FALSE(monitor->IsMonitored(909));
  }
}

TEST_F(InteractionMonitorTest, TheMonitorAnswersTheCacheAndObjectTypeLookups) {
  Answer({101, Attributes({{Xan_State, u"C"}}), false, false, W4Notifier::eGenericObject2});
  RecordingInteractionMonitor monitor;
  monitor.Activate(101, {Xan_State}, true);
  server_->ClearTraffic();
  CQmAttributeValue value;
  EXPECT_TRUE(QueueManager::QueryAttribute(101, Xan_State, value));
  EXPECT_EQ(value.QueryString(), u"C");
  EXPECT_EQ(InteractionId(101).QueryObjectType(), W4Notifier::eGenericObject2);
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_FALSE(monitor.QueryEntityId(101).IsSet());  // the cache's entity only
}

TEST_F(InteractionMonitorTest, AttributeUpdatesAreAskedForEveryReportedInteraction) {
  RecordingInteractionMonitor monitor;
  monitor.RequestAttributeUpdateCallback(Xan_State);
  Silence(103);
  Answer({102, Attributes({{Xan_State, u"C"}}), false, false, W4Notifier::eGenericObject2});
  Answer({101, Attributes({{Xan_State, u"A"}}), false, false, W4Notifier::eGenericObject});
  monitor.Activate(103, {Xan_State}, false);
  monitor.Activate(102, {Xan_State}, true);
  monitor.Activate(101, {Xan_State}, true);
  server_->ClearTraffic();
  monitor.RequestAttributeUpdateCallback(std::vector<CQmAttributeName>{kNote, Xan_State});
  const CEntityId target(W4Notifier::eInteractionRequest,
                         static_cast<std::uint32_t>(W4Notifier::eGenericObject), 0);
  EXPECT_THAT(SentFields(target, kMonitorRequestEvent),
              ElementsAre("int 2, uint 101, uint 102, int 2, int -1, wtext \"Note\", int 38"));
  EXPECT_EQ(RequestCount(), 1u);
  std::vector<CQmAttributeName> names;
  monitor.Monitors(101, names);
  EXPECT_THAT(names, ElementsAre(Xan_State));
  EXPECT_EQ(monitor.Count(), 4u);
}

TEST_F(InteractionMonitorTest, AReloadDeliversTheGoneAndTheNewInteractions) {
  Answer({101, Attributes({{Xan_State, u"C"}})});
  Silence(102);
  RecordingInteractionMonitor monitor;
  monitor.Activate(101, {Xan_State}, true);
  monitor.Activate(102, {Xan_State}, false);
  CMessage reload;
  WriteServerTime(reload, 0);
  for (const Record& record :
       {Record{101, {}, false, true}, Record{102, Attributes({{Xan_State, u"O"}})}}) {
    reload << static_cast<std::int32_t>(W4Notifier::eInteractionRequest)
           << static_cast<std::int32_t>(record.id);
    WriteRecord(reload, record);
  }
  server_->Respond(ServerEntity(), kCacheReloadEvent, reload);
  server_->ClearTraffic();
  Cache().OnConnectionRenegotiated();
  server_->WaitIdle();
  EXPECT_THAT(SentFields(ServerEntity(), kCacheReloadEvent),
              ElementsAre("int 2, int 30, int 101, int 30, int 102"));
  EXPECT_THAT(monitor.Entries(), ElementsAre("Updated 101 {Xan_State=C}", "Deallocated 101",
                                             "Updated 102 {Xan_State=O}"));
  EXPECT_FALSE(monitor.IsMonitored(101));
  EXPECT_TRUE(monitor.IsMonitored(102));
}

TEST_F(InteractionMonitorTest, MalformedRecordsDropTheRestOfTheMessage) {
  Answer({101, Attributes({{Xan_State, u"C"}})});
  RecordingInteractionMonitor monitor;
  monitor.Activate(101, {Xan_State}, true);
  CMessage message = Records({{101, Attributes({{Xan_State, u"H"}})}});
  message << static_cast<std::int32_t>(W4Notifier::eGenericObject) << true;  // cut short
  server_->Publish(InteractionEntity(101), kAttributeNotificationEvent, message);
  server_->WaitIdle();
  EXPECT_THAT(monitor.Entries(),
              ElementsAre("Updated 101 {Xan_State=C}", "Updated 101 {Xan_State=H}"));
  EXPECT_EQ(TracesAt(W4Trace::kLevelFailure), 1u);
}

}  // namespace
}  // namespace QueueManager::testing
