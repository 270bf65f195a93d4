// The interaction and conference monitors against the server emulator: every
// callback follows from a change of the emulator's state.

#include <string>

#include "emulator/EmulatorTestSupport.h"
#include "interaction/InteractionTestSupport.h"

namespace QueueManager::Emulator {
namespace {

using ::testing::UnorderedElementsAre;

using testing::RecordingConferenceMonitor;
using testing::RecordingInteractionMonitor;

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

}  // namespace
}  // namespace QueueManager::Emulator
