// The interaction and conference monitors against the server emulator: every
// callback follows from a change of the emulator's state.

#include <mutex>
#include <string>

#include "QueueManager/InteractionMonitor.h"
#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

using ::testing::UnorderedElementsAre;

std::u16string Number(std::uint32_t number) {
  const std::string digits = std::to_string(number);
  return std::u16string(digits.begin(), digits.end());
}

// The callbacks as text ("updated 1 Xan_State=A;"), in the order they came.
struct CallbackLog {
  void Add(std::u16string what, const CEntityId& entity, const CQmAttributeMap& map = {}) {
    what += u" " + Number(entity.QueryObjectId());
    for (const auto& [name, value] : map)
      what += u" " + name.DisplayName() + u"=" + value.QueryString();
    std::lock_guard lock(mutex);
    entries.push_back(std::move(what));
  }
  std::vector<std::u16string> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(entries, {});
  }
  std::mutex mutex;
  std::vector<std::u16string> entries;
};

struct InteractionWatcher : CQmInteractionMonitor {
  ~InteractionWatcher() override { StopMonitoring(); }
  void AttributesUpdated(const CEntityId& id, const CQmAttributeMap& map) override {
    log.Add(u"updated", id, map);
  }
  void InteractionDeallocated(const CEntityId& id) override { log.Add(u"deallocated", id); }
  CallbackLog log;
};

struct ConferenceWatcher : CQmConferenceMonitor {
  ~ConferenceWatcher() override { StopMonitoring(); }
  void AttributesUpdated(InteractionId, const CEntityId& party,
                         const CQmAttributeMap& map) override {
    log.Add(u"updated", party, map);
  }
  void ConferencePartyAdded(InteractionId, const CEntityId& party,
                            const CQmAttributeMap& map) override {
    log.Add(u"added", party, map);
  }
  void ConferencePartyRemoved(InteractionId, const CEntityId& party) override {
    log.Add(u"removed", party);
  }
  void ConferenceDeallocated(InteractionId id) override {
    log.Add(u"ended", CEntityId(kCall, id.QueryObjectId()));
  }
  CallbackLog log;
};

using InteractionMonitorTest = EmulatorTest;

TEST_F(InteractionMonitorTest, ReportsWatchedChangesFromRequestsAndControlThenTheEnd) {
  const std::uint32_t id = Add({{u"Xan_State", u"A"}, {u"Custom", u"x"}});
  InteractionWatcher watcher;
  watcher.Activate(id, {kState}, false);
  watcher.Activate(id + 100, {kState}, true);  // unknown to the server
  Sync();
  // The two answers come on different threads.
  EXPECT_THAT(watcher.log.Take(),
              UnorderedElementsAre(u"updated 1 Xan_State=A", u"deallocated 101"));
  watcher.RequestAttributeUpdateCallback(kCustom);           // a snapshot: reported
  SetAttribute(id, kState, V(u"C"));                         // through a request
  emulator_->SetAttributes(id, MapOf({{u"Custom", u"y"}}));  // not watched: not reported
  emulator_->RemoveInteraction(id);
  Sync();
  EXPECT_THAT(watcher.log.Take(),
              ElementsAre(u"updated 1 Custom=x", u"updated 1 Xan_State=C", u"deallocated 1"));
  EXPECT_THAT(emulator_->WatchedNames(LibraryHandle(), id), ::testing::IsEmpty());
}

TEST_F(InteractionMonitorTest, ConferenceFollowsItsMemberListToTheEnd) {
  const std::uint32_t a = Add({{u"Custom", u"a"}});
  const std::uint32_t b = Add({{u"Custom", u"b"}});
  const std::uint32_t conference = emulator_->AddInteraction(W4Notifier::eConferenceInteraction,
                                                             MapOf({{u"Xan_State", u"C"}}), {});
  ConferenceWatcher watcher;
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
  EXPECT_THAT(watcher.log.Take(),
              ElementsAre(u"added 1 Custom=a", u"added 2 Custom=b", u"updated 1 Custom=a2",
                          u"removed 2", u"updated 3 Xan_State=I", u"ended 3"));
}

}  // namespace
}  // namespace QueueManager::Emulator
