// The interaction and conference monitors against the scripted server.

#include <gmock/gmock.h>

#include <future>
#include <memory>
#include <tuple>

#include "QueueManager/AttributeRequests.h"
#include "interaction/InteractionTestSupport.h"

namespace QueueManager::testing {
namespace {

const CQmAttributeName kNote(u"Note");
constexpr auto kType2 = W4Notifier::eGenericObject2;

std::vector<CQmAttributeName> Monitored(const CQmInteractionMonitor& monitor, InteractionId id) {
  std::vector<CQmAttributeName> names;
  monitor.Monitors(id, names);
  return names;
}

TEST_F(InteractionMonitorTest, ActivationAsksForItsOwnNamesMonitorsTheUnionAndAnswers) {
  Answer({101, Attributes({{Xan_State, u"C"}, {kNote, u"n"}}), false, false, kType2});
  RecordingInteractionMonitor monitor;
  monitor.RequestAttributeUpdateCallback(Xan_State);  // none reported: nothing asked
  for (const std::uint32_t unset : {0u, 0xFFFFFFFFu}) monitor.Activate(unset, {Xan_State}, true);
  monitor.Activate(101, {Xan_State}, true);
  EXPECT_TRUE(monitor.IsMonitored(101));
  monitor.Activate(101, {kNote}, false);
  EXPECT_THAT(SentFields(InteractionEntity(101), kMonitorRequestEvent),
              ElementsAre("int 1, uint 101, int 1, int 38",
                          "int 1, uint 101, int 1, int -1, wtext \"Note\""));
  EXPECT_EQ(RequestCount(), 2u);
  EXPECT_THAT(Monitored(monitor, 101), ElementsAre(kNote, Xan_State));
  EXPECT_THAT(monitor.Log(),
              ElementsAre("Updated 101 {Note=n,Xan_State=C}", "Updated 101 {Note=n,Xan_State=C}"));
  // The cache's attribute and object type lookups are answered here.
  server_->ClearTraffic();
  CQmAttributeValue value;
  EXPECT_TRUE(QueueManager::QueryAttribute(101, kNote, value));
  EXPECT_EQ(value.QueryString(), u"n");
  EXPECT_EQ(InteractionId(101).QueryObjectType(), kType2);
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_FALSE(monitor.QueryEntityId(101).IsSet());  // the cache's entity only
  // Updates are asked for every reported interaction, of the first one's type.
  Silence(103);
  Answer({102, Attributes({{Xan_State, u"A"}})});
  for (const std::uint32_t id : {103, 102}) monitor.Activate(id, {Xan_State}, id == 102);
  server_->ClearTraffic();
  monitor.RequestAttributeUpdateCallback(std::vector<CQmAttributeName>{kNote});
  const CEntityId target(W4Notifier::eInteractionRequest, kType2, 0);
  EXPECT_THAT(SentFields(target, kMonitorRequestEvent),
              ElementsAre("int 2, uint 101, uint 102, int 1, int -1, wtext \"Note\""));
  EXPECT_EQ(monitor.Log().size(), 5u);
  EXPECT_THAT(Monitored(monitor, 102), ElementsAre(Xan_State));  // names not added
}

TEST_F(InteractionMonitorTest, RecordsCacheMonitoredNamesAndReportByTheRules) {
  // The record notified, what it reports and the state kept afterwards.
  const std::tuple<Record, std::vector<std::string>, const char16_t*> rows[] = {
      {{101, Attributes({{Xan_State, u"H"}, {kNote, u"x"}})},
       {"Updated 101 {Note=x,Xan_State=H}"},
       u"H"},
      {{101, Attributes({{kNote, u"y"}})}, {}, u"C"},
      {{101, Attributes({{kNote, u"z"}}), true}, {"Updated 101 {Note=z}"}, u"C"},
  };
  for (const auto& [record, log, state] : rows) {
    Answer({101, Attributes({{Xan_State, u"C"}})});
    RecordingInteractionMonitor monitor;
    monitor.Activate(101, {Xan_State}, true);
    Notify(101, {record});
    std::vector<std::string> expected = {"Updated 101 {Xan_State=C}"};
    expected.insert(expected.end(), log.begin(), log.end());
    EXPECT_EQ(monitor.Log(), expected);
    EXPECT_EQ(monitor.QueryAttribute(101, Xan_State).QueryString(), state);
    server_->ClearTraffic();
    CQmAttributeValue note;
    EXPECT_FALSE(QueueManager::QueryAttribute(101, kNote, note));  // not kept: asked
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
  Notify(101, {{101, {}, false, true}});                  // repeated: nothing new
  Notify(101, {{101, Attributes({{Xan_State, u"A"}})}});  // unsubscribed
  EXPECT_THAT(monitor.Log(), ElementsAre("Updated 101 {Xan_State=C}", "Updated 101 {Xan_State=H}",
                                         "Deallocated 101"));
  EXPECT_FALSE(monitor.IsMonitored(101));
  EXPECT_FALSE(monitor.IsMonitored(102));
  EXPECT_THAT(Monitored(monitor, 101), IsEmpty());
  // A malformed record drops the rest of its message.
  monitor.Activate(103, {Xan_State}, false);
  CMessage cut = Records({{103, Attributes({{Xan_State, u"H"}})}});
  cut << std::int32_t{9} << true;
  server_->Publish(InteractionEntity(103), kAttributeNotificationEvent, cut);
  server_->WaitIdle();
  EXPECT_EQ(monitor.Log().back(), "Updated 103 {Xan_State=H}");
  EXPECT_EQ(TracesAt(W4Trace::kLevelFailure), 1u);
}

TEST_F(InteractionMonitorTest, LateAnswersAfterDeactivationOrDestructionCallNobody) {
  for (const bool destroy : {false, true}) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    server_->Handle(InteractionEntity(909), kMonitorRequestEvent, [released](const CMessage&) {
      released.wait();
      return CScriptedReply::Respond(Records({{909, Attributes({{Xan_State, u"C"}}), true}}));
    });
    auto monitor = std::make_unique<RecordingInteractionMonitor>();
    monitor->Activate(909, {Xan_State}, false);
    destroy ? monitor.reset() : monitor->Deactivate(909);
    release.set_value();
    server_->WaitIdle();  // under ASan a call into a destroyed monitor fails here
    if (destroy) continue;
    EXPECT_THAT(monitor->Log(), IsEmpty());
    EXPECT_FALSE(monitor->IsMonitored(909));
  }
}

// The cache's reload names the watched interactions but calls no monitor:
// its records would be applied out of order with the monitor's
// notifications. Each monitor asks again on its own.
TEST_F(InteractionMonitorTest, ARenegotiationHasEachMonitorAskAgainOnItsOwn) {
  Answer({101, Attributes({{Xan_State, u"C"}})});
  Answer({102, Attributes({{Xan_State, u"C"}})});
  RecordingInteractionMonitor monitor;
  monitor.Activate(101, {Xan_State}, true);
  monitor.Activate(102, {Xan_State}, true);
  Notify(102, {{102, Attributes({{Xan_State, u"N"}})}});
  CMessage reload;
  WriteServerTime(reload, 0);
  reload << std::int32_t{W4Notifier::eInteractionRequest} << std::int32_t{102};
  WriteRecord(reload, {102, Attributes({{Xan_State, u"O"}})});  // older than N
  server_->Respond(ServerEntity(), kCacheReloadEvent, reload);
  server_->ClearTraffic();
  Cache().OnConnectionRenegotiated();
  server_->WaitIdle();
  EXPECT_THAT(SentFields(ServerEntity(), kCacheReloadEvent),
              ElementsAre("int 2, int 30, int 101, int 30, int 102"));
  EXPECT_EQ(monitor.QueryAttribute(102, Xan_State).QueryString(), u"N");
  EXPECT_EQ(monitor.Log().size(), 3u);

  Answer({101, {}, false, true});
  Answer({102, Attributes({{Xan_State, u"H"}})});
  server_->ClearTraffic();
  connection_->Renegotiate();
  server_->WaitIdle();
  EXPECT_THAT(SentFields(InteractionEntity(101), kMonitorRequestEvent),
              ElementsAre("int 1, uint 101, int 1, int 38"));
  EXPECT_THAT(monitor.Log(), ElementsAre("Updated 101 {Xan_State=C}", "Updated 102 {Xan_State=C}",
                                         "Updated 102 {Xan_State=N}", "Deallocated 101",
                                         "Updated 102 {Xan_State=H}"));
  EXPECT_FALSE(monitor.IsMonitored(101));
  EXPECT_TRUE(monitor.IsMonitored(102));
}

// The conference monitor against the scripted server: parties joining,
// changing and leaving, and the conference's end.

constexpr W4Notifier::ObjectTypes kConference = W4Notifier::eConferenceInteraction;

Record Conference(std::uint32_t id, std::vector<InteractionId> members) {
  CQmAttributeMap attributes;
  attributes.insert(Xan_ConferenceMembers, CQmAttributeValue(members));
  return {id, attributes, false, false, kConference};
}

TEST_F(InteractionMonitorTest, ConferencePartiesJoinChangeAndLeave) {
  Answer(Conference(500, {601}));
  Answer({601, Attributes({{Xan_State, u"C"}})});
  Answer({603, Attributes({{Xan_State, u"A"}})});
  Silence(602);
  RecordingConferenceMonitor monitor;
  std::vector<InteractionId> parties;
  EXPECT_FALSE(monitor.QueryConferencePartys(parties));
  monitor.Activate(500, {Xan_State}, true);
  EXPECT_THAT(SentFields(InteractionEntity(500), kMonitorRequestEvent),
              ElementsAre("int 1, uint 500, int 4, int 38, int 38, int 46, int 53"));
  EXPECT_THAT(SentFields(InteractionEntity(601), kMonitorRequestEvent),
              ElementsAre("int 1, uint 601, int 1, int 38"));
  Notify(601, {{601, Attributes({{Xan_State, u"H"}})}});
  Notify(500, {Conference(500, {601, 602, 601})});
  Notify(500, {Conference(500, {603})});
  EXPECT_TRUE(monitor.QueryConferencePartys(parties));
  EXPECT_THAT(parties, ElementsAre(603));
  // Parties gone from the list are no longer watched, answered or not.
  server_->ClearTraffic();
  Cache().OnConnectionRenegotiated();
  EXPECT_THAT(SentFields(ServerEntity(), kCacheReloadEvent),
              ElementsAre("int 2, int 30, int 500, int 30, int 603"));
  Record ending{500, Attributes({{Xan_State, u"I"}}), false, false, kConference};
  Notify(500, {ending});
  Notify(500, {{500, {}, false, true, kConference}});
  EXPECT_THAT(monitor.Log(),
              ElementsAre("Added 601 {Xan_State=C}", "Updated 601 {Xan_State=H}", "Removed 601",
                          "Added 603 {Xan_State=A}", "Updated 500 {Xan_State=I}", "Ended 500"));
  server_->ClearTraffic();
  monitor.Activate(501, {Xan_State}, true);  // activated once only
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_EQ(monitor.QueryConferenceId(), InteractionId(500));
}

TEST_F(InteractionMonitorTest, AConferenceEndsOnceWhicheverWayItEnds) {
  const std::pair<Record, std::vector<std::string>> rows[] = {
      {{700, Attributes({{Xan_State, u"C"}})}, {"Ended 700"}},  // not a conference
      {{700, Attributes({{Xan_State, u"E"}}), false, false, kConference},
       {"Updated 700 {Xan_State=E}", "Ended 700"}},
      {{700, {}, false, true, kConference}, {"Ended 700"}},
  };
  for (const auto& [record, log] : rows) {
    Answer(record);
    RecordingConferenceMonitor monitor;
    monitor.Activate(700, {}, true);
    Notify(700, {record, {700, {}, false, true, kConference}});
    EXPECT_EQ(monitor.Log(), log);
  }
}

}  // namespace
}  // namespace QueueManager::testing
