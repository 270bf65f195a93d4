// How long the callbacks of the lightweight monitors may run: stops made
// inside a callback, on other threads and both at once, and activations
// made again inside a callback.

#include <gmock/gmock.h>

#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <sstream>
#include <thread>

#include "lightweight/LightMonitorImpl.h"
#include "lightweight/LightweightTestSupport.h"
#include "lightweight/ObjectTypeMonitorBase.h"
#include "monitor/CallbackGate.h"

namespace QueueManager::testing {
namespace {

using ::testing::ElementsAre;

// The caching monitor passes on no event without attributes.
const CQmAttributeMap kState = Attributes({{Xan_State, u"A"}});

// The three lightweight monitors behind one face.
class AnyMonitor {
 public:
  virtual ~AnyMonitor() = default;
  virtual void Activate(const w4core::InterfacePtr<Recorder>& log) = 0;
  virtual void Deactivate() = 0;
  virtual CEntityId Entity() const = 0;
};

template <class Monitor>
class ObjectTypeKind final : public AnyMonitor {
 public:
  void Activate(const w4core::InterfacePtr<Recorder>& log) override {
    monitor_.activate(kType, log, {}, false);
  }
  void Deactivate() override { monitor_.deactivate(); }
  CEntityId Entity() const override { return ObjectTypeEntity(kType); }

 private:
  Monitor monitor_;
};

class AttributeKind final : public AnyMonitor {
 public:
  void Activate(const w4core::InterfacePtr<Recorder>& log) override {
    monitor_.activate(Xan_State, CQmAttributeValue(u"A"), log, {}, false);
  }
  void Deactivate() override { monitor_.deactivate(); }
  CEntityId Entity() const override {
    return CEntityId(W4Notifier::eAttributeMatch, u"Xan_State=A");
  }

 private:
  AttributeMonitor monitor_;
};

const std::pair<const char*, std::function<std::unique_ptr<AnyMonitor>()>> kKinds[] = {
    {"object type", [] { return std::make_unique<ObjectTypeKind<CQmObjectTypeMonitor>>(); }},
    {"caching", [] { return std::make_unique<ObjectTypeKind<CQmCachingObjectTypeMonitor>>(); }},
    {"attribute", [] { return std::make_unique<AttributeKind>(); }},
};

// The calls of a log without their attributes: "Added 1".
std::vector<std::string> Heads(const Recorder& log) {
  std::vector<std::string> heads;
  for (const std::string& line : log.Log()) {
    std::istringstream words(line);
    std::string kind, id;
    words >> kind >> id;
    heads.push_back(kind + " " + id);
  }
  return heads;
}

// The callback of the activation's answer holds on until every stopper is
// blocked or has returned; a stop that returned meanwhile is seen by the
// callback before it ends.
TEST_F(LightweightTest, StopsOnOtherThreadsReturnOnlyAfterTheRunningCallback) {
  struct Case {
    const char* label;
    bool callbackStops;
    int stoppers;
  };
  const Case cases[] = {
      {"the callback stops its monitor, another thread too", true, 1},
      {"two threads stop the monitor", false, 2},
      {"the callback and two threads stop it", true, 2},
  };
  initial_ = {EventAdded(1, kState), EventAdded(2, kState)};
  for (const auto& [kind, make] : kKinds) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(kind) + ": " + c.label);
      const std::unique_ptr<AnyMonitor> monitor = make();
      const auto log = NewRecorder();
      std::latch finish(1);
      std::atomic<bool> inCallback{false};
      std::atomic<int> stopsReturned{0};
      std::atomic<bool> returnedWhileRunning{false};
      std::atomic<bool> callbackEnded{false};
      log->hook = [&] {
        if (inCallback) return;
        if (c.callbackStops) monitor->Deactivate();
        inCallback = true;
        finish.wait();
        returnedWhileRunning = stopsReturned > 0;
        callbackEnded = true;
      };
      monitor->Activate(log);
      ASSERT_TRUE(WaitUntil([&] { return inCallback.load(); }));
      std::vector<std::thread> stoppers;
      for (int i = 0; i < c.stoppers; ++i) {
        stoppers.emplace_back([&] {
          monitor->Deactivate();
          ++stopsReturned;
        });
      }
      EXPECT_TRUE(WaitUntil([&] {
        return CallbackGate::BlockedThreadsForTesting() + static_cast<std::size_t>(stopsReturned) >=
               static_cast<std::size_t>(c.stoppers);
      }));
      finish.count_down();
      for (std::thread& stopper : stoppers) stopper.join();
      ASSERT_TRUE(WaitUntil([&] { return callbackEnded.load(); }));
      EXPECT_FALSE(returnedWhileRunning);
      // Stopped within the answer: its second event reaches no one.
      EXPECT_THAT(Heads(*log), ElementsAre("Added 1"));
      EXPECT_EQ(log->UseCount(), 1);
    }
  }
}

TEST_F(LightweightTest, ACallbackStopsAndActivatesItsMonitorAgain) {
  initial_ = {EventAdded(1, kState), EventAdded(2, kState)};
  for (const auto& [kind, make] : kKinds) {
    SCOPED_TRACE(kind);
    const std::unique_ptr<AnyMonitor> monitor = make();
    const auto first = NewRecorder();
    const auto second = NewRecorder();
    std::atomic<bool> once{false};
    first->hook = [&] {
      if (once.exchange(true)) return;
      monitor->Deactivate();
      monitor->Activate(second);
    };
    monitor->Activate(first);
    ASSERT_TRUE(WaitUntil([&] { return second->Log().size() == 2; }));
    Publish(monitor->Entity(), EventNotification({EventRemoved(3)}));
    EXPECT_THAT(Heads(*first), ElementsAre("Added 1"));
    EXPECT_THAT(Heads(*second), ElementsAre("Added 1", "Added 2", "Removed 3"));
    EXPECT_EQ(first->UseCount(), 1);
  }
}

// Notifications pour in while another thread stops the monitor and, every
// other round, a callback stops it too.
TEST_F(LightweightTest, NoCallbackRunsOnceAStopOnAnotherThreadHasReturned) {
  constexpr int kRounds = 40;
  constexpr int kNotifications = 20;
  initial_ = {EventAdded(1, kState)};
  for (const auto& [kind, make] : kKinds) {
    SCOPED_TRACE(kind);
    for (int round = 0; round < kRounds; ++round) {
      const std::unique_ptr<AnyMonitor> monitor = make();
      const auto log = NewRecorder();
      std::atomic<bool> stopped{false};
      std::atomic<int> calls{0};
      std::atomic<int> late{0};
      log->hook = [&] {
        if (stopped) ++late;
        if (++calls == kNotifications / 2 && round % 2 == 1) monitor->Deactivate();
      };
      monitor->Activate(log);
      ASSERT_TRUE(WaitUntil([&] { return calls > 0; }));
      std::latch go(2);
      std::thread publisher([&] {
        go.arrive_and_wait();
        for (int i = 0; i < kNotifications; ++i) {
          server_->Publish(monitor->Entity(), 0, EventNotification({EventUpdated(2, kState)}));
        }
      });
      std::thread stopper([&] {
        go.arrive_and_wait();
        monitor->Deactivate();
        stopped = true;
      });
      publisher.join();
      stopper.join();
      server_->WaitIdle();
      EXPECT_EQ(late, 0) << "round " << round;
    }
  }
}

// What comes for an activation once it is stopped, or once the handle has
// moved on to its next activation, reaches no one.
TEST_F(LightweightTest, AnswersAndNotificationsOfAnEndedActivationReachNothing) {
  server_->Silence(ServerEntity(), 0);
  const CEntityId entity = ObjectTypeEntity(kType);
  struct Case {
    const char* label;
    bool stopped;  // else activated again
    bool answer;   // else a notification, after the answer
  };
  const Case cases[] = {
      {"answer after the stop", true, true},
      {"notification after the stop", true, false},
      {"answer of the previous activation", false, true},
      {"notification of the previous activation", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const auto log = NewRecorder();
    const auto light = w4core::MakeInterface<CQmLightMonitorImpl>();
    const auto gate = lightweight::ActivationGate::OpenOwn();
    light->activate(entity, log, {}, false, gate);
    if (!c.answer) {
      CMessage answer = ActivationResponse(entity, {});
      light->OnAsyncResponseSuccess(0, answer);
    }
    if (c.stopped) {
      gate.gate->Close();
      light->deactivate();
    } else {
      gate.gate->Open();
    }
    CMessage late =
        c.answer ? ActivationResponse(entity, {EventAdded(1)}) : EventNotification({EventAdded(1)});
    if (c.answer) {
      light->OnAsyncResponseSuccess(0, late);
    } else {
      light->OnMessageReceived(late);
    }
    EXPECT_THAT(log->Log(), ::testing::IsEmpty());
    light->deactivate();
  }
}

}  // namespace
}  // namespace QueueManager::testing
