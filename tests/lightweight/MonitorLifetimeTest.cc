// Stops of the lightweight monitors racing the notifications that are being
// delivered, and what still comes for an activation that has ended.

#include <gmock/gmock.h>

#include <atomic>
#include <functional>
#include <latch>
#include <memory>
#include <thread>

#include "lightweight/LightMonitorImpl.h"
#include "lightweight/LightweightTestSupport.h"
#include "lightweight/ObjectTypeMonitorBase.h"

namespace QueueManager::testing {
namespace {

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
