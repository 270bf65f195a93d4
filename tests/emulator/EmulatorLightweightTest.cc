// The object type, caching object type and attribute monitors against the
// server emulator: every callback and every cached value follows from a
// change of the emulator's state or from the monitor's own writes.

#include <fmt/format.h>

#include <functional>
#include <string>
#include <tuple>

#include "QueueManager/AttributeMonitor.h"
#include "QueueManager/CachingObjectTypeMonitor.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "emulator/EmulatorTestSupport.h"
#include "lightweight/LightweightTestSupport.h"

namespace QueueManager::Emulator {
namespace {

using QueueManager::testing::NewRecorder;
using QueueManager::testing::Recorder;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

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
