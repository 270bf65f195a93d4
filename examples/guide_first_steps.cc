// The program of docs/guide.md, "First steps": a queue watched, an
// interaction's attribute written and read back, against the server emulator
// in this process. Exits 0 when the monitor saw what the guide says it sees.

#include <QueueManager/Emulator/Emulator.h>
#include <QueueManager/QueueManager.h>

#include <atomic>
#include <cstdio>

using namespace QueueManager;

// Follows one queue. Its callbacks run on a delivery thread of the notifier,
// one at a time.
class QueueWatch : public CQmQueueMonitor {
 public:
  // Stops the callbacks before the counters below go.
  ~QueueWatch() override { Deactivate(); }

  std::atomic<int> added{0};
  std::atomic<int> updated{0};

 protected:
  void InteractionAdded(const W4Notifier::CEntityId& /*queue*/, InteractionId id,
                        const CQmAttributeMap& attributes) override {
    std::printf("interaction %u joined, Xan_State %s\n", id.QueryObjectId(),
                ToTraceText(attributes.Query(CQmAttributeName(u"Xan_State"))).c_str());
    ++added;
  }
  void AttributesUpdated(const W4Notifier::CEntityId& /*queue*/, InteractionId id,
                         const CQmAttributeMap& attributes) override {
    std::printf("interaction %u changed, Xan_State %s\n", id.QueryObjectId(),
                ToTraceText(attributes.Query(CQmAttributeName(u"Xan_State"))).c_str());
    ++updated;
  }
};

int main() {
  // The server emulator on an in-process bus; the library's default
  // connection is a connection to that bus.
  auto bus = W4Notifier::CInProcessBus::Create();
  Emulator::CEmulator server(bus);
  auto connection = bus->Connect();
  W4Notifier::SetDefaultConnection(connection);

  const W4Notifier::CEntityId sales(W4Notifier::eWorkgroupQueue, 1u);
  CreateQueue(sales);

  // Watch the queue and its interactions' Xan_State; a synchronous activation
  // makes the initial callbacks before it returns.
  const CQmAttributeName state(u"Xan_State");
  QueueWatch watch;
  watch.Activate(sales, {state}, /*synchronous=*/true);

  // A call arrives on the queue, alerting ("A"); an agent answers it ("C").
  CQmAttributeMap attributes;
  attributes.insert(state, u"A");
  const std::uint32_t call = server.AddInteraction(W4Notifier::ObjectTypes{6}, attributes, {sales});
  SetAttribute(call, state, CQmAttributeValue(u"C"));

  // Everything the emulator published so far has arrived once Sync returned
  // and the bus is idle.
  Emulator::Sync(*connection);
  bus->WaitIdle();

  CQmQueueStats stats;
  watch.QueryStatistics(stats);
  const CQmAttributeValue now = QueryAttribute(call, state);
  std::printf("Xan_State %s; connected %u\n", ToTraceText(now).c_str(),
              stats.QueryConnectedCount());

  const bool asTold = watch.added == 1 && watch.updated >= 1 && now == CQmAttributeValue(u"C") &&
                      stats.QueryConnectedCount() == 1;
  watch.Deactivate();
  W4Notifier::SetDefaultConnection(nullptr);
  return asTold ? 0 : 1;
}
