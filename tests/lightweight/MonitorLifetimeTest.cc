// What still comes for an activation of a lightweight monitor that has ended.

#include <gmock/gmock.h>

#include <tuple>

#include "lightweight/LightMonitorImpl.h"
#include "lightweight/LightweightTestSupport.h"
#include "lightweight/ObjectTypeMonitorBase.h"

namespace QueueManager::testing {
namespace {

// What comes for an activation once it is stopped, or once the handle has
// moved on to its next activation, reaches no one.
TEST_F(LightweightTest, AnswersAndNotificationsOfAnEndedActivationReachNothing) {
  server_->Silence(ServerEntity(), 0);
  const CEntityId entity = ObjectTypeEntity(kType);
  // Stopped, else activated again; the late message an answer, else a
  // notification after the answer.
  const std::tuple<const char*, bool, bool> cases[] = {
      {"answer after the stop", true, true},
      {"notification after the stop", true, false},
      {"answer of the previous activation", false, true},
      {"notification of the previous activation", false, false},
  };
  for (const auto& [label, stopped, answerLate] : cases) {
    SCOPED_TRACE(label);
    const auto log = NewRecorder();
    const auto light = w4core::MakeInterface<CQmLightMonitorImpl>();
    const auto gate = lightweight::ActivationGate::OpenOwn();
    light->activate(entity, log, {}, false, gate);
    if (!answerLate) {
      CMessage answer = ActivationResponse(entity, {});
      light->OnAsyncResponseSuccess(0, answer);
    }
    if (stopped) {
      gate.gate->Close();
      light->deactivate();
    } else {
      gate.gate->Open();
    }
    CMessage late = answerLate ? ActivationResponse(entity, {EventAdded(1)})
                               : EventNotification({EventAdded(1)});
    if (answerLate) {
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
