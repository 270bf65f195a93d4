// libFuzzer target: the monitor cache applies arbitrary server messages, as
// queue notifications (on a single queue's subscription and on the all-queues
// entity's), monitor queue responses, cache reload responses, and media type
// notifications as a TS server monitor's worker decodes and applies them. A
// malformed message must be dropped with a trace, never crash or leak, and
// must leave the tables consistent: every interaction listed for a queue is
// in it.
//
// Input: one byte that selects the path (modulo 5; the quotient's lowest bit
// picks a variant), then the raw bytes of a message body.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <unordered_set>
#include <vector>

#include "AttributeCodecInput.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/ScriptedServer.h"
#include "QueueManager/QueueMonitor.h"
#include "RoundTripChecks.h"
#include "monitor/MediaTypeEntity.h"
#include "monitor/QmCache.h"
#include "monitor/TsServerBatch.h"

namespace QueueManager::fuzzing {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

const CEntityId kQueue(W4Notifier::eUserQueue, 7u);
const CEntityId kAllQueues(W4Notifier::eUserQueue, W4Notifier::kAllObjects);
const CEntityId kMediaType = MediaTypeEntity(W4Notifier::eGenericObject);

// A monitor whose callbacks read the cache back, as applications do.
class ReadingMonitor : public CQmQueueMonitor {
 public:
  ~ReadingMonitor() override { Deactivate(); }

 protected:
  void InteractionAdded(const CEntityId&, InteractionId id, const CQmAttributeMap&) override {
    Contains(id);
  }
  void AttributesUpdated(const CEntityId&, InteractionId id, const CQmAttributeMap&) override {
    CQmAttributeValue value;
    CQmCache::Instance().QueryAttribute(id, Xan_State, value);
  }
  void InteractionRemoved(const CEntityId&, InteractionId id) override { Contains(id); }
};

// A private bus whose server answers every load with an empty queue, and two
// monitors: one on a queue, one on every queue of its type.
struct World {
  World() {
    W4Notifier::SetDefaultConnection(connection);
    CMessage response;
    response << std::uint32_t{0} << std::uint32_t{0};
    response << static_cast<std::int32_t>(kQueue.QueryObjectType())
             << static_cast<std::int32_t>(kQueue.QueryObjectId()) << std::int32_t{0};
    response << true << false << std::uint32_t{0};
    server.Respond(QueueManagerServerEntity(), 0, response);
    server.Reject(QueueManagerServerEntity(), 2);
    Attach();
    // Held as a TS server monitor holds its media type.
    CQmCache::Instance().HoldQueue(kMediaType);
  }
  void Attach() {
    queueMonitor.Deactivate();
    allMonitor.Deactivate();
    queueMonitor.Activate(kQueue, {Xan_State}, true);
    allMonitor.Activate(kAllQueues, {Xan_State}, true);
  }

  std::shared_ptr<W4Notifier::CInProcessBus> bus = W4Notifier::CInProcessBus::Create();
  W4Notifier::CScriptedServer server{bus};
  std::shared_ptr<W4Notifier::CInProcessConnection> connection = bus->Connect();
  ReadingMonitor queueMonitor;
  ReadingMonitor allMonitor;
};

void CheckQueue(const CEntityId& queue) {
  CQmCache& cache = CQmCache::Instance();
  std::vector<InteractionId> ids;
  if (!cache.QueryQueueContents(queue, ids)) return;
  Require(ids.size() <= cache.CachedInteractionCount(), "more members than interactions");
  for (const InteractionId id : ids) {
    Require(cache.IsInteractionInQueue(queue, id), "listed interaction not in its queue");
  }
}

// What a TS server monitor's worker does with one inbox message; with
// `reportAll` it reports every interaction, otherwise those of `kMonitored`.
void ApplyAsTsServerBatch(CMessage& message, bool reportAll) {
  static const std::unordered_set<std::uint32_t> kMonitored = {1, 7, 8};
  std::unordered_set<std::uint32_t> monitored = kMonitored;
  TsServerBatch batch;
  if (!batch.Decode(message)) return;
  CQmCache& cache = CQmCache::Instance();
  {
    W4Os::CCriticalSectionLock lock(&cache.Lock());
    batch.ApplyLocked(cache, kMediaType, reportAll, monitored);
  }
  for (const auto& entry : batch.Updates()) {
    Require(!entry.second.empty(), "an empty update reported");
    Require(reportAll || kMonitored.count(entry.first) != 0, "an unmonitored interaction reported");
  }
}

}  // namespace
}  // namespace QueueManager::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace QueueManager;
  using namespace QueueManager::fuzzing;
  static World* const world = new World;  // lives until exit, as the cache does
  if (size == 0) return 0;
  CMessage message = MessageWithBody(std::span<const std::uint8_t>(data + 1, size - 1));
  CQmCache& cache = CQmCache::Instance();
  const bool variant = data[0] / 5 % 2 == 1;
  switch (data[0] % 5) {
    case 0:
      message.SetEntity(kQueue);
      cache.OnMessageReceived(message);
      break;
    case 1:
      // Published, so that it reaches the queue's and the all-queues
      // entity's subscriptions through the notifier.
      world->server.Publish(CEntityId(W4Notifier::eUserQueue, variant ? 8u : 7u), 0, message);
      world->server.WaitIdle();
      break;
    case 2:
      message.SetEventId(0);
      cache.OnAsyncResponseSuccess(0xFFFFFFF0u, message);
      break;
    case 3:
      message.SetEventId(2);
      cache.OnAsyncResponseSuccess(0xFFFFFFF1u, message);
      break;
    default:
      message.SetEntity(kMediaType);
      ApplyAsTsServerBatch(message, variant);
      break;
  }
  CheckQueue(kQueue);
  CheckQueue(kAllQueues);
  CheckQueue(kMediaType);
  // A message may report the queue gone: watch it again for the next input.
  std::vector<InteractionId> ids;
  if (!cache.QueryQueueContents(kQueue, ids) || !cache.QueryQueueContents(kAllQueues, ids)) {
    world->Attach();
  }
  return 0;
}
