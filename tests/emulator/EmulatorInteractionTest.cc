// The interaction and conference monitors against the server emulator: every
// callback follows from a change of the emulator's state.

#include <mutex>
#include <string>

#include "QueueManager/InteractionMonitor.h"
#include "emulator/EmulatorTestSupport.h"

namespace QueueManager::Emulator {
namespace {

const CQmAttributeName kMembers(Xan_ConferenceMembers);

std::u16string Text(const CQmAttributeMap& map) {
  std::u16string out;
  for (const auto& [name, value] : map)
    out += name.DisplayName() + u"=" + value.QueryString() + u";";
  return out;
}

// The callbacks as text, one entry each, in the order they came.
class CallbackLog {
 public:
  void Add(std::u16string entry) {
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
  }
  std::vector<std::u16string> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(entries_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::u16string> entries_;
};

std::u16string Number(std::uint32_t number) {
  const std::string digits = std::to_string(number);
  return std::u16string(digits.begin(), digits.end());
}

std::u16string Id(const CEntityId& entity) { return Number(entity.QueryObjectId()); }

class InteractionWatcher : public CQmInteractionMonitor {
 public:
  ~InteractionWatcher() override { StopMonitoring(); }
  CallbackLog log;

 protected:
  void AttributesUpdated(const CEntityId& interaction, const CQmAttributeMap& map) override {
    log.Add(u"updated " + Id(interaction) + u" " + Text(map));
  }
  void InteractionDeallocated(const CEntityId& interaction) override {
    log.Add(u"deallocated " + Id(interaction));
  }
};

class ConferenceWatcher : public CQmConferenceMonitor {
 public:
  ~ConferenceWatcher() override { StopMonitoring(); }
  CallbackLog log;

 protected:
  void AttributesUpdated(InteractionId, const CEntityId& party,
                         const CQmAttributeMap& map) override {
    log.Add(u"updated " + Id(party) + u" " + Text(map));
  }
  void ConferencePartyAdded(InteractionId, const CEntityId& party,
                            const CQmAttributeMap& map) override {
    log.Add(u"added " + Id(party) + u" " + Text(map));
  }
  void ConferencePartyRemoved(InteractionId, const CEntityId& party) override {
    log.Add(u"removed " + Id(party));
  }
  void ConferenceDeallocated(InteractionId) override { log.Add(u"ended"); }
};

using InteractionMonitorTest = EmulatorTest;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

TEST_F(InteractionMonitorTest, ReportsWatchedChangesFromRequestsAndControlThenTheEnd) {
  const std::uint32_t id = Add({{u"Xan_State", u"A"}, {u"Custom", u"x"}});
  InteractionWatcher watcher;
  watcher.Activate(id, {kState}, false);
  watcher.Activate(id + 100, {kState}, true);  // unknown to the server
  bus_->WaitIdle();
  // The two answers come on different threads.
  EXPECT_THAT(watcher.log.Take(),
              UnorderedElementsAre(u"updated 1 Xan_State=A;", u"deallocated 101"));
  EXPECT_THAT(emulator_->WatchedNames(connection_->QueryHandle(), id), ElementsAre(kState));

  SetAttribute(id, kState, V(u"C"));                         // through a request
  emulator_->SetAttributes(id, MapOf({{u"Custom", u"y"}}));  // unwatched: not reported
  emulator_->SetAttributes(id, MapOf({{u"Xan_State", u"H"}}));
  watcher.RequestAttributeUpdateCallback(kCustom);  // a snapshot, always reported
  bus_->WaitIdle();
  EXPECT_THAT(watcher.log.Take(), ElementsAre(u"updated 1 Xan_State=C;", u"updated 1 Xan_State=H;",
                                              u"updated 1 Custom=y;"));
  EXPECT_EQ(watcher.QueryAttribute(id, kState).QueryString(), u"H");
  EXPECT_THAT(emulator_->WatchedNames(connection_->QueryHandle(), id), ElementsAre(kState));

  emulator_->RemoveInteraction(id);
  bus_->WaitIdle();
  EXPECT_THAT(watcher.log.Take(), ElementsAre(u"deallocated 1"));
  EXPECT_FALSE(watcher.IsMonitored(id));
  EXPECT_THAT(emulator_->WatchedNames(connection_->QueryHandle(), id), IsEmpty());
}

TEST_F(InteractionMonitorTest, ConferenceFollowsItsMemberListToTheEnd) {
  const std::uint32_t a = Add({{u"Custom", u"a"}});
  const std::uint32_t b = Add({{u"Custom", u"b"}});
  CQmAttributeValue members;
  members.insert(a);
  members.insert(b);
  const std::uint32_t conference = emulator_->AddInteraction(W4Notifier::eConferenceInteraction,
                                                             MapOf({{u"Xan_State", u"C"}}), {});
  ConferenceWatcher watcher;
  watcher.Activate(conference, {kCustom}, false);
  bus_->WaitIdle();
  CQmAttributeMap list;
  list.insert(kMembers, members);
  emulator_->SetAttributes(conference, list);
  bus_->WaitIdle();
  EXPECT_THAT(watcher.log.Take(), ElementsAre(u"added 1 Custom=a;", u"added 2 Custom=b;"));

  emulator_->SetAttributes(a, MapOf({{u"Custom", u"a2"}}));
  emulator_->RemoveInteraction(b);  // leaves the member list, published whole
  bus_->WaitIdle();
  EXPECT_THAT(watcher.log.Take(), ElementsAre(u"updated 1 Custom=a2;", u"removed 2"));
  std::vector<InteractionId> parties;
  EXPECT_TRUE(watcher.QueryConferencePartys(parties));
  EXPECT_THAT(parties, ElementsAre(InteractionId(a)));

  emulator_->SetAttributes(conference, MapOf({{u"Xan_State", u"I"}}));
  bus_->WaitIdle();
  EXPECT_THAT(watcher.log.Take(),
              ElementsAre(u"updated " + Number(conference) + u" Xan_State=I;", u"ended"));
}

}  // namespace
}  // namespace QueueManager::Emulator
