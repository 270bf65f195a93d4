// An outside application built against the installed package: it talks to a
// scripted server over the in-process notifier and checks the answer, then
// asks the installed emulator about a queue it created.

#include <QueueManager/Emulator/Emulator.h>
#include <QueueManager/Platform/Exceptions.h>
#include <QueueManager/Platform/NatsNotifier.h>
#include <QueueManager/QueueManager.h>

#include <cstdio>
#include <cstring>

int main() {
  using namespace W4Notifier;
  // A header from one release over a library from another.
  if (std::strcmp(QueueManager::Version(), QueueManager::kVersion) != 0) {
    std::printf("library %s, headers %s\n", QueueManager::Version(), QueueManager::kVersion);
    return 1;
  }
  auto bus = CInProcessBus::Create();
  CScriptedServer server(bus);
  auto connection = bus->Connect();
  SetDefaultConnection(connection);

  const CEntityId queueManager(eQueueManagerServer, kAllObjects, 0);
  CMessage answer;
  answer << std::int32_t{42} << std::u16string(u"ready");
  server.Respond(queueManager, 16, answer);

  CRequestObject request(queueManager, 16);
  CResponseObject response;
  if (request.Send(response, CNotifierTimeout::Query()) == 0) {
    std::puts("request failed");
    return 1;
  }
  std::int32_t number = 0;
  std::u16string text;
  response >> number >> text;
  SetDefaultConnection(nullptr);
  if (number != 42 || text != u"ready") {
    std::puts("unexpected answer");
    return 1;
  }
  std::printf("installed package works: %s\n", response.DescribeFields().c_str());

  auto emulatedBus = CInProcessBus::Create();
  QueueManager::Emulator::CEmulator emulator(emulatedBus);
  SetDefaultConnection(emulatedBus->Connect());
  const CEntityId sales(eWorkgroupQueue, 7);
  const bool before = QueueManager::IsQueueActive(sales);
  emulator.CreateQueue(sales);
  const bool after = QueueManager::IsQueueActive(sales);
  SetDefaultConnection(nullptr);
  if (before || !after) {
    std::puts("the emulator did not answer as its state says");
    return 1;
  }
  std::puts("installed emulator works");

  // Options without a server are refused, and so is NATS itself by a
  // library built without it.
  try {
    ConnectNats(CNatsOptions{});
    std::puts("a NATS connection without a server URL was accepted");
    return 1;
  } catch (const CNotifierException& e) {
    std::printf("installed NATS notifier (%s) refuses: %s\n",
                IsNatsAvailable() ? "built" : "left out", e.what());
  }
  return 0;
}
