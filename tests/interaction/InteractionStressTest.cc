// Interaction and conference monitors activated, deactivated and destroyed
// on application threads while notifications for them are delivered.

#include <gmock/gmock.h>

#include <atomic>
#include <memory>
#include <thread>

#include "interaction/InteractionTestSupport.h"

namespace QueueManager::testing {
namespace {

constexpr int kRounds = 500;
constexpr int kChurns = 150;
constexpr std::uint32_t kIds[] = {1, 2, 3, 4, 51, 100, 101, 102, 103};  // 51: a party

Record Conference(std::uint32_t conference, std::uint32_t party) {
  CQmAttributeMap attributes;
  attributes.insert(Xan_ConferenceMembers, CQmAttributeValue(std::vector<InteractionId>{party}));
  return {conference, attributes, false, false, W4Notifier::eConferenceInteraction};
}

// A callback for an interaction after its Deactivate returned is a fault.
void Churn(std::uint32_t id, bool synchronous, std::atomic<int>& faults) {
  auto monitor = std::make_unique<RecordingInteractionMonitor>();
  auto deactivated = std::make_shared<std::atomic<bool>>(false);
  monitor->hook = [deactivated, &faults](const std::string&) { faults += deactivated->load(); };
  monitor->Activate(id, {Xan_State}, synchronous);
  if (synchronous) {
    monitor->Deactivate(id);
    deactivated->store(true);
  }
  RecordingConferenceMonitor conference;
  conference.Activate(60, {Xan_State}, !synchronous);
}

TEST_F(InteractionMonitorTest, MonitorsComeAndGoWhileNotificationsArrive) {
  for (const std::uint32_t id : kIds) Answer({id, Attributes({{Xan_State, u"C"}})});
  Answer(Conference(50, 51));
  Answer(Conference(60, 101));
  RecordingInteractionMonitor steady[2];
  for (RecordingInteractionMonitor& monitor : steady) {
    for (const std::uint32_t id : {1, 2, 3, 4}) monitor.Activate(id, {Xan_State}, true);
  }
  RecordingConferenceMonitor conference;
  conference.Activate(50, {Xan_State}, true);
  server_->WaitIdle();  // the party's answer is in
  std::atomic<int> faults{0};
  std::thread publisher([this] {
    for (int round = 0; round < kRounds; ++round) {
      for (const std::uint32_t id : kIds) {
        server_->Publish(InteractionEntity(id), kAttributeNotificationEvent,
                         Records({{id, Attributes({{Xan_State, u"H"}})}}));
      }
    }
  });
  std::thread churners[2];
  for (int t = 0; t < 2; ++t) {
    churners[t] = std::thread([t, &faults] {
      for (int i = 0; i < kChurns; ++i) Churn(100 + (i + t) % 4, i % 2 == 0, faults);
    });
  }
  publisher.join();
  for (std::thread& churner : churners) churner.join();
  server_->WaitIdle();
  EXPECT_EQ(faults.load(), 0);
  for (const auto& monitor : steady) EXPECT_EQ(monitor.Entries().size(), 4u * (kRounds + 1));
  EXPECT_EQ(conference.Entries().size(), 1u + kRounds);  // added, then every update
}

}  // namespace
}  // namespace QueueManager::testing
