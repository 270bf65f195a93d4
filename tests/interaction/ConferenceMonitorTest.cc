// The conference monitor against the scripted server: parties joining,
// changing and leaving, and the conference's end.

#include <gmock/gmock.h>

#include "interaction/InteractionTestSupport.h"

namespace QueueManager::testing {
namespace {

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
