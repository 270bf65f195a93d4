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
constexpr std::uint32_t kSteady[] = {1, 2, 3, 4, 51};  // 51: the conference's party
constexpr std::uint32_t kChurned[] = {100, 101, 102, 103};

Record Member(std::uint32_t conference, std::uint32_t party) {
  CQmAttributeMap attributes;
  attributes.insert(Xan_ConferenceMembers, CQmAttributeValue(std::vector<InteractionId>{party}));
  return {conference, attributes, false, false, W4Notifier::eConferenceInteraction};
}

// One monitor's life on a churning thread; any callback for an interaction
// after its Deactivate returned counts as a fault.
void Churn(std::uint32_t id, bool synchronous, std::atomic<int>& faults) {
  auto monitor = std::make_unique<RecordingInteractionMonitor>();
  auto deactivated = std::make_shared<std::atomic<bool>>(false);
  monitor->hook = [deactivated, &faults](const std::string&) {
    if (deactivated->load()) ++faults;
  };
  monitor->Activate(id, {Xan_State}, synchronous);
  if (synchronous) {
    monitor->Deactivate(id);
    deactivated->store(true);
  }
  RecordingConferenceMonitor conference;
  conference.Activate(60, {Xan_State}, !synchronous);
}

TEST_F(InteractionMonitorTest, MonitorsComeAndGoWhileNotificationsArrive) {
  for (const std::uint32_t id : kSteady) Answer({id, Attributes({{Xan_State, u"C"}})});
  for (const std::uint32_t id : kChurned) Answer({id, Attributes({{Xan_State, u"C"}})});
  Answer(Member(50, 51));
  Answer(Member(60, 101));
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
      for (const std::uint32_t id : kSteady) {
        server_->Publish(InteractionEntity(id), kAttributeNotificationEvent,
                         Records({{id, Attributes({{Xan_State, u"H"}})}}));
      }
      for (const std::uint32_t id : kChurned) {
        server_->Publish(InteractionEntity(id), kAttributeNotificationEvent,
                         Records({{id, Attributes({{Xan_State, u"A"}})}}));
      }
    }
  });
  std::vector<std::thread> churners;
  for (int thread = 0; thread < 2; ++thread) {
    churners.emplace_back([thread, &faults] {
      for (int i = 0; i < kChurns; ++i) Churn(kChurned[(i + thread) % 4], (i % 2) == 0, faults);
    });
  }
  publisher.join();
  for (std::thread& churner : churners) churner.join();
  server_->WaitIdle();
  EXPECT_EQ(faults.load(), 0);
  for (const RecordingInteractionMonitor& monitor : steady) {
    EXPECT_EQ(monitor.Count(), 4u * (kRounds + 1));
  }
  EXPECT_EQ(conference.Count(), 1u + kRounds);  // added, then every update
}

}  // namespace
}  // namespace QueueManager::testing
