// The monitor proxy: deliveries only to active monitors, deactivation that
// does not wait for the caller's own callback, and callbacks that throw.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <stdexcept>
#include <thread>

#include "QueueManager/QueueMonitor.h"
#include "monitor/MonitorId.h"
#include "monitor/QueueMonitorProxy.h"
#include "platform/trace/TraceCapture.h"

namespace QueueManager {
namespace {

using namespace std::chrono_literals;
using W4Notifier::CEntityId;

const CEntityId kQueue(W4Notifier::eUserQueue, 77u);

// A monitor whose InteractionAdded runs a test's action.
class ActionMonitor : public CQmQueueMonitor {
 public:
  std::function<void()> action;
  std::atomic<int> calls{0};

 protected:
  void InteractionAdded(const CEntityId&, InteractionId, const CQmAttributeMap&) override {
    ++calls;
    if (action) action();
  }
};

void DeliverAdded(MonitorId id) {
  CQueueMonitorProxy::InteractionAdded(id, kQueue, 1, CQmAttributeMap());
}

MonitorId Attach(CQmQueueMonitor& monitor, const std::vector<CQmAttributeName>& names = {}) {
  const MonitorId id = NewMonitorId();
  CQueueMonitorProxy::Activate(id, &monitor, names);
  return id;
}

TEST(QueueMonitorProxyTest, DeliversOnlyToTheActiveAttachmentItWasMeantFor) {
  ActionMonitor monitor;
  const MonitorId first = Attach(monitor);
  EXPECT_TRUE(CQueueMonitorProxy::IsActive(first));
  DeliverAdded(first);
  CQueueMonitorProxy::Deactivate(first);
  // A later attachment of the same object (or of a new object at the same
  // address) never receives what was meant for the earlier one.
  const MonitorId second = Attach(monitor);
  DeliverAdded(first);
  EXPECT_FALSE(CQueueMonitorProxy::IsActive(first));
  EXPECT_EQ(monitor.calls, 1);
  DeliverAdded(second);
  CQueueMonitorProxy::Deactivate(second);
  DeliverAdded(second);
  EXPECT_EQ(monitor.calls, 2);
}

// A callback delivered inside the monitor's own callback does not wait for
// it, nor does a deactivation there; what comes after is not delivered.
TEST(QueueMonitorProxyTest, NestedCallbacksAndDeactivationOnOneThreadDoNotWaitForThemselves) {
  ActionMonitor monitor;
  const MonitorId id = Attach(monitor);
  monitor.action = [&] {
    if (monitor.calls == 1) DeliverAdded(id);
    if (monitor.calls != 2) return;
    CQueueMonitorProxy::Deactivate(id);
    DeliverAdded(id);
  };
  DeliverAdded(id);
  EXPECT_EQ(monitor.calls, 2);
  EXPECT_EQ(CQueueMonitorProxy::ActiveCount(), 0u);
}

TEST(QueueMonitorProxyTest, ExceptionsOfCallbacksAreCaughtTracedAndLeaveNoTrace) {
  const W4Trace::testing::TraceCapture capture(W4Trace::kLevelFailure);
  ActionMonitor monitor;
  monitor.action = [] { throw std::runtime_error("application fault"); };
  const MonitorId id = Attach(monitor);
  std::thread([&] { DeliverAdded(id); }).join();
  EXPECT_TRUE(capture->Contains("application fault"));
  // The delivery's bookkeeping ended: deactivation from here does not wait.
  auto done = std::async(std::launch::async, [&] { CQueueMonitorProxy::Deactivate(id); });
  EXPECT_EQ(done.wait_for(5s), std::future_status::ready);
}

TEST(QueueMonitorProxyTest, AttributesMonitoredNeedsOneUpdatedNameAmongTheMonitoredOnes) {
  const struct {
    std::vector<CQmAttributeName> monitored;
    std::vector<eAttributeName> updated;
    bool expected;
  } cases[] = {{{Xan_State}, {Xan_State, Xan_UserName}, true},
               {{Xan_State, Xan_UserName, Xan_AccountCode}, {Xan_UserName}, true},
               {{Xan_AccountCode}, {Xan_State}, false},
               {{}, {Xan_State}, false},
               {{Xan_State}, {}, false},
               {{CQmAttributeName(u"custom")}, {Xan_State}, false}};
  for (const auto& c : cases) {
    ActionMonitor monitor;
    CQmAttributeMap updated;
    for (eAttributeName name : c.updated) updated.insert(name, "x");
    const MonitorId id = Attach(monitor, c.monitored);
    EXPECT_EQ(CQueueMonitorProxy::AttributesMonitored(id, updated), c.expected);
    CQueueMonitorProxy::Deactivate(id);
    EXPECT_FALSE(CQueueMonitorProxy::AttributesMonitored(id, updated));
  }
}

}  // namespace
}  // namespace QueueManager
