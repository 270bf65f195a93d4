// libFuzzer target: the monitor cache in one world that lives for the whole
// process, driven by steps (see CacheSteps.h) on this thread in the input's
// order. The notifier is a scripted connection that keeps one lane of
// deliveries per callback object, as the real ones deliver in order per
// object; the input chooses which lane delivers next, when the model server
// changes a queue, answers or fails a request, when the connection drops and
// is renegotiated, and what the applications (two queue monitors, an
// all-queues monitor and an interaction monitor) do meanwhile. Raw steps
// bring hostile server messages on every path the cache decodes. Each input
// ends by resetting what it changed, so the next starts from an empty cache.
//
// Checked every eighth step on a few interactions, and at the end on all:
// every interaction listed for a queue is in it and cached. On every
// callback: the monitor is active and the queue is one it watches. While the
// server has only behaved (no raw step yet): no interaction is added to a
// monitor twice, and no callback concerns an interaction its monitor does not
// hold (removed or never added); and whenever nothing is in flight and no
// repair after a connection loss failed, every live monitor's view and the
// cache's contents equal the model server's, and each cached Xan_State value
// is the server's or the one its latest delivered notification carried.
//
// Application calls are made as on a delivery thread, where every load is
// asynchronous: a synchronous wait needs a second thread to answer it.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "AttributeCodecInput.h"
#include "CacheSteps.h"
#include "QueueManager/InteractionMonitor.h"
#include "QueueManager/QueueMonitor.h"
#include "RoundTripChecks.h"
#include "monitor/MediaTypeEntity.h"
#include "monitor/QmCache.h"
#include "monitor/TsServerBatch.h"

namespace QueueManager::fuzzing {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::IAsyncResponseCallback;
using W4Notifier::IMessageCallback;

constexpr W4Notifier::ObjectTypes kType = W4Notifier::eUserQueue;
constexpr std::array<std::uint32_t, 2> kQueueIds = {7, 8};
constexpr std::uint32_t kInteractionCount = 6;  // ids 1 to 6
// Enough for the interleavings of a few monitors (a seed takes at most 16
// steps, a fault found so far 8); a longer input is cut. An input costs about
// its number of steps, so twice the steps would run half as many inputs.
constexpr int kMaxSteps = 16;
const CEntityId kAllQueues(kType, W4Notifier::kAllObjects);
const CEntityId kMediaType = MediaTypeEntity(W4Notifier::eGenericObject);
// Made on first use, after the library's own statics.
const std::vector<CQmAttributeName>& StateOnly() {
  static const std::vector<CQmAttributeName> names = {Xan_State};
  return names;
}

// Step arguments; zero once the input is used up.
class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> data) : data_(data) {}
  bool Empty() const { return data_.empty(); }
  std::uint8_t Next() {
    if (data_.empty()) return 0;
    const std::uint8_t byte = data_.front();
    data_ = data_.subspan(1);
    return byte;
  }
  std::span<const std::uint8_t> Take(std::size_t count) {
    const std::span<const std::uint8_t> taken = data_.first(std::min(count, data_.size()));
    data_ = data_.subspan(taken.size());
    return taken;
  }

 private:
  std::span<const std::uint8_t> data_;
};

// What a lane delivers next.
struct Delivery {
  enum class Kind : std::uint8_t {
    kNotification,
    kAnswer,
    kRejected,
    kTimeout,
    kCancelled,
    kLost,
    kRenegotiated
  };
  Kind kind = Kind::kNotification;
  IMessageCallback* subscriber = nullptr;
  IAsyncResponseCallback* responder = nullptr;
  CEntityId subscription;  // what brought a notification
  std::uint32_t request = 0;
  CMessage message;
  // The Xan_State value a notification carries for interaction `valueOf`.
  std::uint32_t valueOf = 0;
  std::uint8_t value = 0;
  // The Xan_State values an answer carries, by interaction.
  std::vector<std::pair<std::uint32_t, std::uint8_t>> carried{};
};

// A notifier connection on the fuzzing thread: requests wait for the input
// to answer them, and every outcome and notification waits on its callback
// object's lane for the input to deliver it. Not thread-safe.
class StepConnection final : public W4Notifier::CNotifierConnection {
 public:
  struct Pending {
    std::uint32_t id = 0;
    IAsyncResponseCallback* responder = nullptr;
    CMessage request;
  };
  struct Subscription {
    CEntityId entity;
    int event = 0;
    IMessageCallback* subscriber = nullptr;
  };

  std::uint16_t QueryHandle() const override { return 1; }
  bool IsConnected() const override { return connected; }
  W4Notifier::eSendStatus SendRequest(const CMessage&, CMessage*, std::uint32_t) override {
    return W4Notifier::eSendStatus::kNotConnected;
  }
  W4Notifier::eMsgCode SendAsyncRequest(const CMessage& request, IAsyncResponseCallback* callback,
                                        std::uint32_t, std::uint32_t, std::uint32_t* handleOut,
                                        const W4Notifier::CKeepAlive&) override {
    if (!connected) return W4Notifier::eMsgNotConnected;
    pending.push_back(Pending{++lastRequest_, callback, request});
    if (handleOut != nullptr) *handleOut = lastRequest_;
    return W4Notifier::eMsgSuccess;
  }
  W4Notifier::eMsgCode CancelAsyncRequest(std::uint32_t requestId) override {
    const auto it = std::ranges::find(pending, requestId, &Pending::id);
    if (it == pending.end()) return W4Notifier::eMsgNotFound;
    Fail(static_cast<std::size_t>(it - pending.begin()), Delivery::Kind::kCancelled);
    return W4Notifier::eMsgSuccess;
  }
  W4Notifier::eMsgCode Publish(const CMessage&) override { return W4Notifier::eMsgSuccess; }
  W4Notifier::eMsgCode StartNotifications(const CEntityId& entity, int event,
                                          IMessageCallback* callback, std::uint32_t, std::uint32_t*,
                                          const W4Notifier::CKeepAlive&,
                                          std::u16string_view) override {
    if (std::ranges::none_of(subscriptions, [&](const Subscription& s) {
          return s.entity == entity && s.event == event && s.subscriber == callback;
        })) {
      subscriptions.push_back(Subscription{entity, event, callback});
    }
    return W4Notifier::eMsgSuccess;
  }
  W4Notifier::eMsgCode StopNotifications(const CEntityId& entity, int event,
                                         IMessageCallback* callback, std::uint32_t) override {
    std::erase_if(subscriptions, [&](const Subscription& s) {
      return s.entity == entity && s.event == event && s.subscriber == callback;
    });
    Purge(callback, &entity);
    return W4Notifier::eMsgSuccess;
  }
  W4Notifier::eMsgCode StopAllMessages(IMessageCallback* callback) override {
    std::erase_if(subscriptions, [&](const Subscription& s) { return s.subscriber == callback; });
    Purge(callback, nullptr);
    return W4Notifier::eMsgSuccess;
  }
  W4Notifier::eMsgCode AttachInbox(const std::shared_ptr<W4Notifier::CMessageInbox>&,
                                   const CEntityId&, int) override {
    return W4Notifier::eMsgSuccess;
  }
  void DetachInbox(const W4Notifier::CMessageInbox*) override {}

  // Hands a notification to every subscription it matches (one on its
  // entity, or on its type's all-queues entity); dropped while disconnected.
  // `valueOf`: the interaction whose Xan_State `value` it carries.
  void Notify(const CMessage& message, std::uint32_t valueOf = 0, std::uint8_t value = 0) {
    if (!connected) return;
    const CEntityId entity = message.QueryEntityId();
    for (const Subscription& s : subscriptions) {
      const bool all = s.entity.QueryObjectId() == W4Notifier::kAllObjects &&
                       s.entity.QueryObjectType() == entity.QueryObjectType();
      if (s.entity != entity && !all) continue;
      Delivery delivery{Delivery::Kind::kNotification,
                        s.subscriber,
                        nullptr,
                        s.entity,
                        0,
                        message,
                        valueOf,
                        value};
      delivery.message.SetEventId(s.event);
      LaneOf(s.subscriber).push_back(std::move(delivery));
    }
  }
  // Queues `answer` to pending request `index`, which carries the Xan_State
  // values `carried`.
  void Answer(std::size_t index, const CMessage& answer,
              std::vector<std::pair<std::uint32_t, std::uint8_t>> carried = {}) {
    Pending request = std::move(pending[index]);
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(index));
    Delivery delivery{Delivery::Kind::kAnswer, nullptr, request.responder, {}, request.id, answer};
    delivery.carried = std::move(carried);
    delivery.message.SetEventId(request.request.QueryEventId());
    LaneOf(request.responder).push_back(std::move(delivery));
  }
  void Fail(std::size_t index, Delivery::Kind kind) {
    const Pending request = std::move(pending[index]);
    pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(index));
    LaneOf(request.responder)
        .push_back(Delivery{kind, nullptr, request.responder, {}, request.id, {}});
  }
  void Renegotiated() {
    connected = true;
    std::vector<IMessageCallback*> told;
    for (const Subscription& s : subscriptions) {
      if (std::ranges::find(told, s.subscriber) != told.end()) continue;
      told.push_back(s.subscriber);
      LaneOf(s.subscriber)
          .push_back(Delivery{Delivery::Kind::kRenegotiated, s.subscriber, nullptr, {}, 0, {}});
    }
  }
  void Lost() {
    connected = false;
    while (!pending.empty()) Fail(0, Delivery::Kind::kLost);
  }

  // Delivers the head of the `choice`-th lane that holds one (modulo their
  // count); false when all are empty.
  bool Deliver(std::size_t choice) {
    const std::span<Lane> lanes = Lanes();
    const std::size_t nonEmpty = static_cast<std::size_t>(
        std::ranges::count_if(lanes, [](const Lane& l) { return !l.second.empty(); }));
    if (nonEmpty == 0) return false;
    choice %= nonEmpty;
    for (auto& [object, lane] : lanes) {
      if (lane.empty() || choice-- != 0) continue;
      Delivery delivery = std::move(lane.front());
      lane.pop_front();
      if (delivery.valueOf != 0) lastValue[delivery.valueOf] = delivery.value;
      for (const auto& [id, value] : delivery.carried) lastValue[id] = value;
      Make(delivery);
      return true;
    }
    return false;
  }
  bool Idle() const {
    return pending.empty() &&
           std::ranges::all_of(lanes_.begin(), lanes_.begin() + static_cast<std::ptrdiff_t>(used_),
                               [](const Lane& l) { return l.second.empty(); });
  }
  void Clear() {
    pending.clear();
    subscriptions.clear();
    // The lanes' storage is kept for the next input: a lane allocates as it
    // is first used, which every input would otherwise pay again.
    for (Lane& lane : Lanes()) lane.second.clear();
    used_ = 0;
    connected = true;
    lastValue.fill(std::nullopt);
  }

  bool connected = true;
  // By interaction: the Xan_State value the latest delivered notification or
  // answer carried. The lanes of different callback objects deliver in no
  // order between them, so an older value may be delivered last (an answer
  // held while another queue's notification tells a newer one): the cache
  // cannot tell, and keeps it.
  std::array<std::optional<std::uint8_t>, kInteractionCount + 1> lastValue{};
  std::vector<Pending> pending;
  std::vector<Subscription> subscriptions;

 private:
  using Lane = std::pair<const void*, std::deque<Delivery>>;
  std::span<Lane> Lanes() { return std::span<Lane>(lanes_).first(used_); }
  // Lanes by callback object, in the order of first use (addresses would
  // order them differently from run to run).
  template <class Callback>
  std::deque<Delivery>& LaneOf(Callback* callback) {
    const void* object = dynamic_cast<const void*>(callback);
    for (auto& [key, lane] : Lanes()) {
      if (key == object) return lane;
    }
    if (used_ == lanes_.size()) lanes_.emplace_back();
    Lane& lane = lanes_[used_++];
    lane.first = object;
    return lane.second;
  }
  // A stopped subscription delivers nothing more.
  void Purge(IMessageCallback* callback, const CEntityId* entity) {
    std::deque<Delivery>& lane = LaneOf(callback);
    std::erase_if(lane, [&](const Delivery& d) {
      return d.kind == Delivery::Kind::kNotification && d.subscriber == callback &&
             (entity == nullptr || d.subscription == *entity);
    });
  }
  static void Make(Delivery& d) {
    switch (d.kind) {
      case Delivery::Kind::kNotification:
        d.subscriber->OnMessageReceived(d.message);
        break;
      case Delivery::Kind::kAnswer:
        d.responder->OnAsyncResponseSuccess(d.request, d.message);
        break;
      case Delivery::Kind::kRejected:
        d.responder->OnAsyncResponseRejected(d.request, d.message);
        break;
      case Delivery::Kind::kTimeout:
        d.responder->OnAsyncResponseTimeout(d.request);
        break;
      case Delivery::Kind::kCancelled:
        d.responder->OnAsyncResponseCancelled(d.request);
        break;
      case Delivery::Kind::kLost:
        d.responder->OnAsyncResponseConnectionLoss(d.request);
        break;
      case Delivery::Kind::kRenegotiated:
        d.subscriber->OnConnectionRenegotiated();
        break;
    }
  }

  std::uint32_t lastRequest_ = 0;
  // The first `used_` are this input's lanes; the rest are empty and kept
  // for reuse.
  std::vector<Lane> lanes_;
  std::size_t used_ = 0;
};

// The server as the cache should see it: two queues of one type and the
// Xan_State of six interactions, which may be on both queues.
struct ModelServer {
  struct Queue {
    bool exists = true;
    std::set<std::uint32_t> members;
    std::uint64_t sequence = 0;
  };
  std::array<Queue, kQueueIds.size()> queues;
  std::array<std::uint8_t, kInteractionCount + 1> state{};
  // The names some load asked for: what reloads and answers list.
  std::set<CQmAttributeName> names;
  std::vector<CQmAttributeName> listedNames;  // `names` in order
  // The Xan_State values written since the caller last took them.
  mutable std::vector<std::pair<std::uint32_t, std::uint8_t>> carried;

  static CQmAttributeValue StateValue(std::uint8_t state) {
    return CQmAttributeValue(std::u16string(1, static_cast<char16_t>(u'A' + state)));
  }
  // Interaction `id`'s values of the names `asked` (of which the model has
  // Xan_State and Xan_Note), written as an attribute map writes itself: the
  // count, then each name and its zero-terminated text, in the names' order.
  // A map built for each event would cost more allocations than the cache's
  // own work on it.
  void WriteValues(CMessage& m, std::uint32_t id,
                   const std::vector<CQmAttributeName>& asked) const {
    static const CQmAttributeName kState(Xan_State);
    static const CQmAttributeName kNote(Xan_Note);
    std::array<const CQmAttributeName*, 2> present{};
    std::size_t count = 0;
    if (std::ranges::find(asked, kState) != asked.end()) {
      present[count++] = &kState;
      carried.emplace_back(id, state[id]);
    }
    if (std::ranges::find(asked, kNote) != asked.end()) present[count++] = &kNote;
    if (count == 2 && *present[1] < *present[0]) std::swap(present[0], present[1]);
    const std::array<char16_t, 1> stateText = {static_cast<char16_t>(u'A' + state[id])};
    m << static_cast<std::int32_t>(count);
    for (std::size_t i = 0; i < count; ++i) {
      present[i]->Write(m);
      m.WriteZeroTerminated(present[i] == &kState
                                ? std::u16string_view(stateText.data(), stateText.size())
                                : std::u16string_view(u"note"));
    }
  }
  static void WriteNoValues(CMessage& m) { m << std::int32_t{0}; }
  static void WriteTime(CMessage& m) { m << std::uint32_t{30000000} << std::uint32_t{0}; }
  // An event's interaction and flags; its values follow.
  static void WriteEventHead(CMessage& m, std::uint32_t id, bool added, bool removed) {
    m << std::int32_t{W4Notifier::eGenericObject} << static_cast<std::int32_t>(id) << added
      << removed;
  }
  // A queue's section: its entity, the names, its body (`trailer`: with the
  // sequence number).
  void WriteSection(CMessage& m, const CEntityId& queue, const std::vector<CQmAttributeName>& asked,
                    bool added, bool trailer) const {
    m << static_cast<std::int32_t>(queue.QueryObjectType())
      << static_cast<std::int32_t>(queue.QueryObjectId())
      << static_cast<std::int32_t>(asked.size());
    for (const CQmAttributeName& name : asked) name.Write(m);
    const Queue* record = Find(queue);
    const bool exists = record == nullptr || record->exists;
    m << exists;
    if (!exists) return;  // a removed queue's body ends with its flag
    m << false;
    if (record == nullptr) {
      m << std::uint32_t{0};
      return;
    }
    m << static_cast<std::uint32_t>(record->members.size());
    for (const std::uint32_t id : record->members) {
      WriteEventHead(m, id, added, false);
      WriteValues(m, id, asked);
    }
    if (trailer) m << static_cast<unsigned long long>(record->sequence) << false;
  }
  Queue* Find(const CEntityId& queue) {
    for (std::size_t i = 0; i < kQueueIds.size(); ++i) {
      if (queue == CEntityId(kType, kQueueIds[i])) return &queues[i];
    }
    return nullptr;
  }
  const Queue* Find(const CEntityId& queue) const {
    return const_cast<ModelServer*>(this)->Find(queue);
  }

  // The answer to a load of `request` (as the cache writes it).
  CMessage AnswerLoad(CMessage request) {
    bool adding = false;
    std::int32_t type = 0;
    std::int32_t id = 0;
    std::int32_t count = 0;
    request >> adding >> type >> id >> count;
    std::vector<CQmAttributeName> asked;
    for (std::int32_t i = 0; i < count; ++i) {
      asked.emplace_back().Read(request);
      if (names.insert(asked.back()).second) listedNames.assign(names.begin(), names.end());
    }
    const CEntityId queue(static_cast<W4Notifier::ObjectTypes>(type),
                          static_cast<std::uint32_t>(id));
    CMessage answer;
    WriteTime(answer);
    // A load creates the queue it names.
    if (Queue* record = Find(queue); record != nullptr && !record->exists) {
      *record = Queue{true, {}, 0};
    }
    WriteSection(answer, queue, asked, !adding, true);
    if (queue == kAllQueues) {
      for (const std::uint32_t q : kQueueIds) {
        if (Find(CEntityId(kType, q))->exists) {
          WriteSection(answer, CEntityId(kType, q), asked, !adding, true);
        }
      }
    }
    return answer;
  }
  // The answer to a reload: each entity's section, interactions as records.
  CMessage AnswerReload(CMessage request) const {
    std::int32_t count = 0;
    request >> count;
    const std::vector<CQmAttributeName> listed(names.begin(), names.end());
    CMessage answer;
    WriteTime(answer);
    for (std::int32_t i = 0; i < count; ++i) {
      std::int32_t type = 0;
      std::int32_t id = 0;
      request >> type >> id;
      const CEntityId entity(static_cast<W4Notifier::ObjectTypes>(type),
                             static_cast<std::uint32_t>(id));
      if (type != W4Notifier::eInteractionRequest) {
        WriteSection(answer, entity, listed, true, false);
        continue;
      }
      answer << type << id;
      WriteRecord(answer, static_cast<std::uint32_t>(id));
    }
    return answer;
  }
  void WriteRecord(CMessage& m, std::uint32_t id) const {
    const bool known = id >= 1 && id <= kInteractionCount;
    m << std::int32_t{W4Notifier::eGenericObject} << static_cast<std::int32_t>(id) << false
      << !known;
    if (known) {
      WriteValues(m, id, StateOnly());
    } else {
      WriteNoValues(m);
    }
  }
  // The answer to an interaction monitor's request for its interaction.
  CMessage AnswerInteraction(const CMessage& request) const {
    CMessage answer;
    WriteRecord(answer, request.QueryObjectId());
    return answer;
  }
};

// Set while the server has sent only what the model would.
bool g_trusted = true;

// A queue monitor that checks each callback against what it was told before.
class CheckedQueueMonitor final : public CQmQueueMonitor {
 public:
  ~CheckedQueueMonitor() override { Deactivate(); }
  void Begin(const CEntityId& queue) {
    if (!active) {
      active = true;
      orphaned = false;
      watched = queue;
      view.clear();
    }
    Activate(watched, StateOnly(), false);
  }
  void End() {
    active = false;
    Deactivate();
    view.clear();
  }
  bool active = false;
  // Told that its own queue is gone: detached from the cache until activated
  // again.
  bool orphaned = false;
  CEntityId watched;
  std::map<std::uint32_t, std::set<std::uint32_t>> view;  // by queue id

 protected:
  void InteractionAdded(const CEntityId& queue, InteractionId id, const CQmAttributeMap&) override {
    const bool fresh = Called(queue).insert(id.QueryObjectId()).second;
    Require(fresh || !g_trusted, "an interaction added to a monitor twice");
  }
  void AttributesUpdated(const CEntityId& queue, InteractionId id,
                         const CQmAttributeMap&) override {
    Require(Called(queue).count(id.QueryObjectId()) != 0 || !g_trusted,
            "an update of an interaction the monitor does not hold");
  }
  void InteractionRemoved(const CEntityId& queue, InteractionId id) override {
    Require(Called(queue).erase(id.QueryObjectId()) != 0 || !g_trusted,
            "a removal of an interaction the monitor does not hold");
  }
  void StatisticsUpdate(const CEntityId& queue, const CQmQueueStats&) override { Called(queue); }
  void QueueRemoved(const CEntityId& queue) override {
    Called(queue).clear();
    if (queue == watched) orphaned = true;
  }

 private:
  std::set<std::uint32_t>& Called(const CEntityId& queue) {
    Require(active, "a monitor called back while inactive");
    const bool all = watched.QueryObjectId() == W4Notifier::kAllObjects;
    Require(queue == watched || (all && queue.QueryObjectType() == watched.QueryObjectType()),
            "a monitor called back for a queue it does not watch");
    return view[queue.QueryObjectId()];
  }
};

// An interaction monitor that checks it hears only of what it watches.
class CheckedInteractionMonitor final : public CQmInteractionMonitor {
 public:
  ~CheckedInteractionMonitor() override { StopMonitoring(); }
  std::set<std::uint32_t> watched;

 protected:
  void AttributesUpdated(const CEntityId& interaction, const CQmAttributeMap&) override {
    Require(watched.count(interaction.QueryObjectId()) != 0,
            "an interaction monitor called back for an interaction it does not watch");
  }
  void InteractionDeallocated(const CEntityId& interaction) override {
    Require(watched.erase(interaction.QueryObjectId()) != 0,
            "a deallocation of an interaction the monitor does not watch");
  }
};

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

// `ids` as plain numbers in order, in `plain` (reused).
const std::vector<std::uint32_t>& Ids(const std::vector<InteractionId>& ids,
                                      std::vector<std::uint32_t>& plain) {
  plain.clear();
  for (const InteractionId& id : ids) plain.push_back(id.QueryObjectId());
  std::ranges::sort(plain);
  return plain;
}

class World {
 public:
  World() { W4Notifier::SetDefaultConnection(connection_); }
  // Leaves nothing in flight at exit, where the cache would wait for the
  // outcomes of what it cancels. Registered once the cache exists, so that
  // it runs before the cache's destruction.
  static void ResetAtExit() {
    static const int registered = std::atexit([] { Instance().Reset(); });
    static_cast<void>(registered);
  }
  static World& Instance() {
    static World* const world = new World;  // lives until exit, as the cache does
    return *world;
  }

  // Back to an empty cache, idle monitors and a fresh server.
  void Reset() {
    for (CheckedQueueMonitor& monitor : monitors_) {
      if (monitor.active) monitor.End();
    }
    for (const std::uint32_t id : std::set<std::uint32_t>(watcher_.watched)) {
      watcher_.watched.erase(id);
      watcher_.Deactivate(InteractionId(id));
    }
    CQmCache::Instance().ResetForTesting();
    connection_->Clear();
    server_ = ModelServer();
    g_trusted = true;
    stale_ = false;
    compared_ = false;
    mediaTypeHeld_ = false;
    ResetAtExit();
  }

  void Step(Bytes& in) {
    const std::uint8_t code = in.Next();
    StepConnection& c = *connection_;
    // Applications act as on a delivery thread (see the file comment).
    const CacheDeliveryScope asOnADeliveryThread;
    switch (static_cast<Op>(code % kOperationCount)) {
      case Op::kActivate: {
        const std::uint8_t b = in.Next();
        monitors_[b % 3].Begin(b % 3 == 2 ? kAllQueues : CEntityId(kType, kQueueIds[b / 3 % 2]));
        break;
      }
      case Op::kDeactivate:
        monitors_[in.Next() % 3].End();
        break;
      case Op::kAddNames:
        monitors_[in.Next() % 3].RequestAttributeUpdateCallback(CQmAttributeName(Xan_Note));
        break;
      case Op::kInteractionWatch: {
        const std::uint8_t b = in.Next();
        const std::uint32_t id = 1 + b % kInteractionCount;
        if (b / kInteractionCount % 2 == 0) {
          watcher_.watched.insert(id);
          watcher_.Activate(InteractionId(id), StateOnly(), false);
        } else {
          watcher_.watched.erase(id);
          watcher_.Deactivate(InteractionId(id));
        }
        break;
      }
      case Op::kServerChange:
        Change(in.Next());
        break;
      case Op::kAnswer: {
        // Arguments are read whatever the state, so that a step means the
        // same wherever a mutation moves it.
        const std::size_t b = in.Next();
        if (b >= kAnswerEvery) {
          // Answering queues the outcome on a lane: nothing new is asked meanwhile.
          while (!c.pending.empty()) Answer(0);
        } else if (!c.pending.empty()) {
          Answer(b % c.pending.size());
        }
        break;
      }
      case Op::kFail: {
        const std::size_t b = in.Next();
        constexpr Delivery::Kind kKinds[] = {Delivery::Kind::kRejected, Delivery::Kind::kTimeout,
                                             Delivery::Kind::kCancelled};
        if (c.pending.empty()) break;
        stale_ = stale_ || Repairs(c.pending[b % c.pending.size()].request);
        c.Fail(b % c.pending.size(), kKinds[b / c.pending.size() % 3]);
        break;
      }
      case Op::kDeliver:
        c.Deliver(in.Next());
        break;
      case Op::kDeliverAll:
        Drain();
        break;
      case Op::kConnectionLost:
        c.Lost();
        break;
      case Op::kRenegotiated:
        c.Renegotiated();
        stale_ = false;  // the cache repairs everything again
        break;
      case Op::kRaw:
        Raw(in);
        break;
    }
  }

  // Delivers from every lane in turn until all are empty (or a bound, as
  // deliveries may cause more).
  void Drain() {
    const CacheDeliveryScope asOnADeliveryThread;
    for (std::size_t i = 0; i < 1000 && connection_->Deliver(i); ++i) {
    }
  }

  // `all`: every listed interaction of every queue, and the comparison with
  // the model, as at the end of an input. Otherwise every eighth step a few,
  // which differ from check to check: a listing walks the queue's whole
  // table, which after every step would cost more than the rest of the
  // input. The comparison is made once each time the world settles: steps
  // that leave it settled change nothing the cache was told.
  void Check(bool all) {
    CQmCache& cache = CQmCache::Instance();
    if (all || ++checks_ % kListingEvery == 0) {
      for (const std::uint32_t q : kQueueIds) CheckListed(CEntityId(kType, q), all);
      CheckListed(kAllQueues, all);
      if (mediaTypeHeld_) CheckListed(kMediaType, all);
    }
    if (!g_trusted || stale_ || !connection_->connected || !connection_->Idle() ||
        cache.PendingMonitorCount() != 0) {
      compared_ = false;
      return;
    }
    if (std::exchange(compared_, true) && !all) return;
    // Nothing in flight: everything the server said has been heard.
    for (std::size_t i = 0; i < kQueueIds.size(); ++i) {
      const CEntityId queue(kType, kQueueIds[i]);
      const ModelServer::Queue& model = server_.queues[i];
      const std::set<std::uint32_t>& members = model.members;
      if (cache.QueryQueueContents(queue, listed_)) {
        Require(std::ranges::equal(Ids(listed_, ids_), members),
                "the cache's contents differ from the server's");
      }
      for (const CheckedQueueMonitor& monitor : monitors_) {
        if (!monitor.active || monitor.orphaned) continue;
        if (monitor.watched != queue && monitor.watched != kAllQueues) continue;
        const auto seen = monitor.view.find(queue.QueryObjectId());
        Require(seen == monitor.view.end() ? members.empty() : seen->second == members,
                "a monitor's view differs from the server's contents");
      }
      for (const std::uint32_t id : members) {
        CQmAttributeValue value;
        if (cache.QueryAttribute(InteractionId(id), Xan_State, value) && !value.empty()) {
          const std::optional<std::uint8_t> last = connection_->lastValue[id];
          Require(value == ModelServer::StateValue(server_.state[id]) ||
                      (last && value == ModelServer::StateValue(*last)),
                  "a cached value differs from the server's");
        }
      }
    }
  }

 private:
  // Every interaction listed for a queue is in it, and cached.
  void CheckListed(const CEntityId& queue, bool all) {
    constexpr std::size_t kSample = 4;
    CQmCache& cache = CQmCache::Instance();
    std::vector<InteractionId>& ids = listed_;
    if (!cache.QueryQueueContents(queue, ids)) return;
    Require(ids.size() <= cache.CachedInteractionCount(), "more members than interactions");
    const std::size_t count = all ? ids.size() : std::min(ids.size(), kSample);
    for (std::size_t i = 0; i < count; ++i) {
      const InteractionId id = ids[all ? i : (checks_ / kListingEvery * kSample + i) % ids.size()];
      Require(cache.IsInteractionInQueue(queue, id), "listed interaction not in its queue");
      Require(cache.QueryUnderlyingEntityId(id).IsSet(), "listed interaction not cached");
    }
  }

  void Change(std::uint8_t b) {
    const std::size_t index = b & 1U;
    const std::uint32_t id = 1 + (b >> 1U) % kInteractionCount;
    const int kind = (b >> 1U) / kInteractionCount % 4;
    ModelServer::Queue& queue = server_.queues[index];
    if (kind == 3) {
      queue = ModelServer::Queue{false, {}, queue.sequence};
      CMessage m(CEntityId(kType, kQueueIds[index]), kMonitorQueueEvent);
      ModelServer::WriteTime(m);
      connection_->Notify(m << false);
      return;
    }
    if (kind == 1) {
      if (queue.members.erase(id) != 0) Publish(index, id, false, true);
      return;
    }
    if (kind == 2) server_.state[id] = static_cast<std::uint8_t>((server_.state[id] + 1) % 4);
    if (queue.members.count(id) == 0 || kind == 2) {
      Publish(index, id, queue.members.insert(id).second, false);
    }
    if (kind != 2) return;
    // Every queue that holds the interaction tells its new value, and so do
    // the interaction's own notifications.
    for (std::size_t other = 0; other < kQueueIds.size(); ++other) {
      if (other != index && server_.queues[other].members.count(id) != 0) {
        Publish(other, id, false, false);
      }
    }
    CMessage record(CEntityId(W4Notifier::eInteractionRequest, id), 0);
    server_.WriteRecord(record, id);
    connection_->Notify(record, id, server_.state[id]);
  }

  // A notification of one event of queue `index`.
  void Publish(std::size_t index, std::uint32_t id, bool added, bool removed) {
    ModelServer::Queue& queue = server_.queues[index];
    queue.exists = true;
    CMessage m(CEntityId(kType, kQueueIds[index]), kMonitorQueueEvent);
    ModelServer::WriteTime(m);
    m << true << false << std::uint32_t{1};
    const std::vector<CQmAttributeName>& names = server_.listedNames;
    ModelServer::WriteEventHead(m, id, added, removed);
    if (removed) {
      ModelServer::WriteNoValues(m);
    } else {
      server_.WriteValues(m, id, names);
    }
    m << static_cast<unsigned long long>(++queue.sequence) << false;
    connection_->Notify(m, removed ? 0 : id, server_.state[id]);
  }

  // Whether `request` repairs what the cache missed while the connection was
  // down: the reload, a load of the all-queues entity, or the interaction
  // monitor's request (the cache answers a query from the monitor's values).
  // When one fails the cache stays behind until the next renegotiation.
  static bool Repairs(CMessage request) {
    if (request.QueryEntityId() != QueueManagerServerEntity()) return true;
    if (request.QueryEventId() == kCacheReloadEvent) return true;
    bool adding = false;
    std::int32_t type = 0;
    std::int32_t id = 0;
    request >> adding >> type >> id;
    return static_cast<std::uint32_t>(id) == W4Notifier::kAllObjects;
  }

  void Answer(std::size_t index) {
    StepConnection& c = *connection_;
    const CMessage& request = c.pending[index].request;
    server_.carried.clear();
    CMessage answer;
    if (request.QueryEntityId() != QueueManagerServerEntity()) {
      answer = server_.AnswerInteraction(request);
    } else if (request.QueryEventId() == kCacheReloadEvent) {
      answer = server_.AnswerReload(request);
    } else {
      answer = server_.AnswerLoad(request);
    }
    c.Answer(index, answer, std::exchange(server_.carried, {}));
  }

  void Raw(Bytes& in) {
    g_trusted = false;
    const std::uint8_t path = in.Next();
    const std::uint8_t length = in.Next();
    const std::span<const std::uint8_t> body = in.Take(length == kRawRest ? SIZE_MAX : length);
    CMessage message = MessageWithBody(body);
    const bool variant = path / kRawPathCount % 2 == 1;
    StepConnection& c = *connection_;
    switch (path % kRawPathCount) {
      case 0:
        message.SetEntity(CEntityId(kType, kQueueIds[0]));
        CQmCache::Instance().OnMessageReceived(message);
        break;
      case 1:
        message.SetEntity(CEntityId(kType, kQueueIds[variant ? 1 : 0]));
        c.Notify(message);
        break;
      case 2:
      case 3: {
        // The oldest request of the kind, or one nobody asked for.
        const int event = path % kRawPathCount == 2 ? kMonitorQueueEvent : kCacheReloadEvent;
        const auto it = std::ranges::find_if(c.pending, [&](const StepConnection::Pending& p) {
          return p.request.QueryEntityId() == QueueManagerServerEntity() &&
                 p.request.QueryEventId() == event;
        });
        if (it != c.pending.end()) {
          c.Answer(static_cast<std::size_t>(it - c.pending.begin()), message);
        } else {
          message.SetEventId(event);
          CQmCache::Instance().OnAsyncResponseSuccess(0xFFFFFFF0u, message);
        }
        break;
      }
      default:
        if (!mediaTypeHeld_) CQmCache::Instance().HoldQueue(kMediaType);
        mediaTypeHeld_ = true;
        message.SetEntity(kMediaType);
        ApplyAsTsServerBatch(message, variant);
        break;
    }
  }

  std::shared_ptr<StepConnection> connection_ = std::make_shared<StepConnection>();
  ModelServer server_;
  std::array<CheckedQueueMonitor, 3> monitors_;
  CheckedInteractionMonitor watcher_;
  bool mediaTypeHeld_ = false;
  // A repair failed (see Repairs).
  bool stale_ = false;
  static constexpr std::size_t kListingEvery = 8;
  std::size_t checks_ = 0;
  bool compared_ = false;              // with the world as it has been since it settled
  std::vector<InteractionId> listed_;  // reused
  std::vector<std::uint32_t> ids_;     // reused
};

}  // namespace
}  // namespace QueueManager::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace QueueManager::fuzzing;
  World& world = World::Instance();
  Bytes in(std::span<const std::uint8_t>(data, size));
  for (int step = 0; step < kMaxSteps && !in.Empty(); ++step) {
    world.Step(in);
    world.Check(false);
  }
  // What is on the lanes arrives in the end.
  world.Drain();
  world.Check(true);
  // Reset within the input, so that what it allocated is freed before
  // libFuzzer counts: a run that keeps memory is run again to look for a leak.
  world.Reset();
  return 0;
}
