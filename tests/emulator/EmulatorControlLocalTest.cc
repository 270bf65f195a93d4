// The control client on the emulator's own bus: a renegotiation it asks for
// reaches its own connection's subscribers, and no other connection's.

#include <gtest/gtest.h>

#include <atomic>

#include "QueueManager/Emulator/EmulatorClient.h"
#include "QueueManager/Platform/InProcessNotifier.h"

namespace QueueManager::Emulator {
namespace {

class Renegotiated : public W4Notifier::IMessageCallback {
 public:
  void OnMessageReceived(W4Notifier::CMessage&) override {}
  void OnConnectionRenegotiated() override { ++count; }
  std::atomic<int> count{0};
};

TEST(EmulatorControlLocalTest, RenegotiatesOnlyTheCallersConnection) {
  auto bus = W4Notifier::CInProcessBus::Create();
  CEmulator emulator(bus);
  emulator.ServeControlRequests();
  auto mine = bus->Connect();
  auto other = bus->Connect();
  const W4Notifier::CEntityId queue(W4Notifier::eWorkgroupQueue, 1u);
  Renegotiated mineHeard;
  Renegotiated otherHeard;
  mine->StartNotifications(queue, 0, &mineHeard, 0);
  other->StartNotifications(queue, 0, &otherHeard, 0);
  CEmulatorClient(mine).ForceRenegotiation();
  bus->WaitIdle();
  EXPECT_EQ(mineHeard.count, 1);
  EXPECT_EQ(otherHeard.count, 0);
  mine->StopAllMessages(&mineHeard);
  other->StopAllMessages(&otherHeard);
}

}  // namespace
}  // namespace QueueManager::Emulator
