// The control client on the emulator's own bus: a renegotiation it asks for
// reaches its own connection's subscribers, and no other connection's.

#include <gtest/gtest.h>

#include "QueueManager/Emulator/EmulatorClient.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "platform/notifier/CallbackLog.h"

namespace QueueManager::Emulator {
namespace {

TEST(EmulatorControlLocalTest, RenegotiatesOnlyTheCallersConnection) {
  auto bus = W4Notifier::CInProcessBus::Create();
  CEmulator emulator(bus);
  emulator.ServeControlRequests();
  auto mine = bus->Connect();
  auto other = bus->Connect();
  const W4Notifier::CEntityId queue(W4Notifier::eWorkgroupQueue, 1u);
  W4Notifier::testing::CallbackLog mineHeard, otherHeard;
  mine->StartNotifications(queue, 0, &mineHeard, 0);
  other->StartNotifications(queue, 0, &otherHeard, 0);
  CEmulatorClient(mine).ForceRenegotiation();
  bus->WaitIdle();
  EXPECT_EQ(mineHeard.Lines(), std::vector<std::string>{"renegotiated"});
  EXPECT_TRUE(otherHeard.Lines().empty());
  mine->StopAllMessages(&mineHeard);
  other->StopAllMessages(&otherHeard);
}

}  // namespace
}  // namespace QueueManager::Emulator
