// The NATS notifier against libnats used directly, in the same run over the
// same nats-server (a child process on a free loopback port): the rate of
// queue notifications from a publisher to a subscriber on its delivery
// thread, and the round trip of a synchronous request answered by a
// CNatsResponder. Each benchmark iteration runs a batch through both, in
// alternating order, so that load from elsewhere on the machine falls on
// both alike; the counters give each side's figure and their ratio, and
// the repetitions' medians are the figures to read.
//
// The payloads are what the server emulator really sends: a queue's
// notification of a five-attribute update, and a five-attribute query with
// its answer.

#include <nats/nats.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "FiveAttributes.h"
#include "NatsBench.h"
#include "QueueManager/AttributeRequests.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "platform/nats/Subjects.h"

namespace {

using Clock = std::chrono::steady_clock;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr auto kCall = static_cast<W4Notifier::ObjectTypes>(6);
constexpr int kNotificationsPerBatch = 500;
constexpr int kRoundTripsPerBatch = 20;
constexpr int kRepetitions = 9;
// Far beyond any batch that succeeds: a batch this late is lost.
constexpr auto kPatience = std::chrono::seconds(10);
constexpr std::uint32_t kRequestTimeoutMs = 10000;
// The transport's root, and another one of the same length for libnats
// alone, so that both send subjects of the same shape and neither hears the
// other.
constexpr const char* kOurRoot = "qm";
constexpr const char* kRawRoot = "qx";

// ---- what travels ----

struct RecordedTraffic {
  CMessage notification;  // a queue's five-attribute update
  CMessage request;       // a query of five attributes
  CMessage answer;        // the server's answer to it
};

// Keeps the first message of each kind that crosses the bus.
class TrafficRecorder : public W4Notifier::IBusObserver {
 public:
  void OnTraffic(eTraffic kind, const CMessage& message) override {
    std::lock_guard lock(mutex_);
    CMessage* slot = kind == eTraffic::kNotification ? &traffic_.notification
                     : kind == eTraffic::kRequest    ? &traffic_.request
                     : kind == eTraffic::kResponse   ? &traffic_.answer
                                                     : nullptr;
    if (slot != nullptr && slot->BodySize() == 0) *slot = message;
  }
  RecordedTraffic Take() {
    std::lock_guard lock(mutex_);
    return traffic_;
  }

 private:
  std::mutex mutex_;
  RecordedTraffic traffic_;
};

RecordedTraffic RecordFromEmulator() {
  auto bus = W4Notifier::CInProcessBus::Create();
  QueueManager::Emulator::CEmulator emulator(bus);
  W4Notifier::SetDefaultConnection(bus->Connect());
  const CEntityId queue(W4Notifier::eWorkgroupQueue, 1u);
  const std::uint32_t id = emulator.AddInteraction(kCall, bench::FiveAttributes(0), {queue});
  bus->WaitIdle();
  TrafficRecorder recorder;
  bus->AddObserver(&recorder);
  std::vector<QueueManager::CQmAttributeValue> values;
  QueueManager::QueryAttributes(id, bench::FiveNames(), values);
  emulator.SetAttributes(id, bench::FiveAttributes(1));
  bus->WaitIdle();
  bus->RemoveObserver(&recorder);
  W4Notifier::SetDefaultConnection(nullptr);
  return recorder.Take();
}

const RecordedTraffic& Traffic() {
  static const RecordedTraffic traffic = RecordFromEmulator();
  return traffic;
}

// ---- the server ----

// The shared nats-server, or null (with the benchmark skipped and the
// reason given) when it cannot run.
const std::string* ServerUrl(benchmark::State& state) {
  std::string error;
  const std::string* url = bench::SharedNatsServerUrl(error);
  if (url == nullptr) state.SkipWithError(("no nats-server: " + error).c_str());
  return url;
}

W4Notifier::CNatsOptions OurOptions(const std::string& url) {
  return bench::NatsOptions(url, kOurRoot);
}

using bench::RawConnect;
using bench::RawConnection;
using bench::RawSubscription;

// ---- counting arrivals ----

// Counts arrivals of the expected size; a waiter blocks until a total is
// reached. An arrival takes the lock only when it reaches the waiter's
// total, so that counting costs both sides the same and little.
class ArrivalCounter {
 public:
  explicit ArrivalCounter(std::size_t expectedSize) : expectedSize_(expectedSize) {}
  void Arrive(std::size_t size) {
    if (size != expectedSize_) {
      misfits_.fetch_add(1);
      return;
    }
    if (count_.fetch_add(1) + 1 == target_.load()) {
      std::lock_guard lock(mutex_);
      reached_.notify_all();
    }
  }
  // False when the total was not reached in time or something else arrived.
  bool AwaitTotal(std::uint64_t total) {
    target_.store(total);
    std::unique_lock lock(mutex_);
    const bool reached = reached_.wait_for(lock, kPatience, [&] { return count_.load() >= total; });
    return reached && misfits_.load() == 0;
  }

 private:
  const std::size_t expectedSize_;
  std::atomic<std::uint64_t> count_{0};
  std::atomic<std::uint64_t> target_{0};
  std::atomic<std::uint64_t> misfits_{0};
  std::mutex mutex_;
  std::condition_variable reached_;
};

// ---- pairing the two sides ----

// Seconds of this process's CPU (every thread's), which load from elsewhere
// on the machine hardly changes; nats-server's are not counted.
double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The wall and CPU seconds each side took over the iterations so far.
class PairedClock {
 public:
  // Runs both batches, the order alternating between calls; false as soon
  // as one fails.
  template <class Ours, class Raw>
  bool Run(Ours ours, Raw raw) {
    oursFirst_ = !oursFirst_;
    return oursFirst_ ? Time(ours, ours_) && Time(raw, raw_) : Time(raw, raw_) && Time(ours, ours_);
  }
  // Counters of a rate: items per wall second of each side, and ours over
  // raw; also CPU microseconds per item.
  void ReportRates(benchmark::State& state, double itemsPerBatch) const {
    const double items = itemsPerBatch * static_cast<double>(state.iterations());
    state.counters["ours_per_s"] = items / ours_.wall;
    state.counters["raw_per_s"] = items / raw_.wall;
    state.counters["ratio"] = raw_.wall / ours_.wall;
    ReportCpu(state, items);
  }
  // Counters of a latency: wall microseconds per item of each side, and
  // ours over raw; also CPU microseconds per item.
  void ReportLatencies(benchmark::State& state, double itemsPerBatch) const {
    const double items = itemsPerBatch * static_cast<double>(state.iterations());
    state.counters["ours_us"] = ours_.wall * 1e6 / items;
    state.counters["raw_us"] = raw_.wall * 1e6 / items;
    state.counters["ratio"] = ours_.wall / raw_.wall;
    ReportCpu(state, items);
  }

 private:
  struct Seconds {
    double wall = 0;
    double cpu = 0;
  };
  template <class Batch>
  static bool Time(Batch& batch, Seconds& seconds) {
    const auto start = Clock::now();
    const double cpuStart = ProcessCpuSeconds();
    const bool done = batch();
    seconds.cpu += ProcessCpuSeconds() - cpuStart;
    seconds.wall += std::chrono::duration<double>(Clock::now() - start).count();
    return done;
  }
  void ReportCpu(benchmark::State& state, double items) const {
    state.counters["ours_cpu_us"] = ours_.cpu * 1e6 / items;
    state.counters["raw_cpu_us"] = raw_.cpu * 1e6 / items;
  }
  bool oursFirst_ = false;
  Seconds ours_;
  Seconds raw_;
};

// ---- notifications ----

class CountingSubscriber : public W4Notifier::IMessageCallback {
 public:
  CountingSubscriber(const CEntityId& entity, std::size_t size) : entity_(entity), counter_(size) {}
  void OnMessageReceived(CMessage& message) override {
    counter_.Arrive(message.QueryEntityId() == entity_ ? message.BodySize() : 0);
  }
  ArrivalCounter& Counter() { return counter_; }

 private:
  const CEntityId entity_;
  ArrivalCounter counter_;
};

// A publisher and a subscriber, each a connection of the transport.
class OurNotifications {
 public:
  OurNotifications(const std::string& url, const CMessage& notification)
      : notification_(notification),
        publisher_(W4Notifier::ConnectNats(OurOptions(url))),
        subscriber_(W4Notifier::ConnectNats(OurOptions(url))),
        counting_(notification.QueryEntityId(), notification.BodySize()) {
    subscriber_->StartNotifications(notification.QueryEntityId(), notification.QueryEventId(),
                                    &counting_, 0);
  }
  ~OurNotifications() { subscriber_->StopAllMessages(&counting_); }
  bool Batch(int count) {
    for (int i = 0; i < count; ++i) {
      if (publisher_->Publish(notification_) != W4Notifier::eMsgSuccess) return false;
    }
    sent_ += static_cast<std::uint64_t>(count);
    return counting_.Counter().AwaitTotal(sent_);
  }

 private:
  const CMessage notification_;
  std::shared_ptr<W4Notifier::CNotifierConnection> publisher_;
  std::shared_ptr<W4Notifier::CNotifierConnection> subscriber_;
  CountingSubscriber counting_;
  std::uint64_t sent_ = 0;
};

// The same bytes on a subject of the same shape, by libnats alone.
class RawNotifications {
 public:
  RawNotifications(const std::string& url, const CMessage& notification)
      : bytes_(notification.Serialize()),
        subject_(W4Notifier::nats::NotificationSubject(
            kRawRoot, notification.QueryObjectType(), notification.QueryObjectId(),
            notification.QueryEventId(), notification.QueryEventName())),
        publisher_(RawConnect(url, false)),
        subscriber_(RawConnect(url, false)),
        counter_(bytes_.size()) {
    natsSubscription* subscription = nullptr;
    if (publisher_ && subscriber_ &&
        natsConnection_Subscribe(&subscription, subscriber_.get(), subject_.c_str(), OnMessage,
                                 &counter_) == NATS_OK) {
      subscription_.reset(subscription);
      natsConnection_Flush(subscriber_.get());
    }
  }
  bool Ready() const { return subscription_ != nullptr; }
  bool Batch(int count) {
    for (int i = 0; i < count; ++i) {
      if (natsConnection_Publish(publisher_.get(), subject_.c_str(), bytes_.data(),
                                 static_cast<int>(bytes_.size())) != NATS_OK)
        return false;
    }
    sent_ += static_cast<std::uint64_t>(count);
    return counter_.AwaitTotal(sent_);
  }

 private:
  static void OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    static_cast<ArrivalCounter*>(closure)->Arrive(
        static_cast<std::size_t>(natsMsg_GetDataLength(msg)));
    natsMsg_Destroy(msg);
  }
  const std::vector<std::uint8_t> bytes_;
  const std::string subject_;
  RawConnection publisher_;
  RawConnection subscriber_;
  ArrivalCounter counter_;
  RawSubscription subscription_;  // ends before the counter it names
  std::uint64_t sent_ = 0;
};

// Notifications per second from the publisher's first send to the
// subscriber's last callback. Goal: ours at least half of raw.
void BM_NatsNotificationRate(benchmark::State& state) {
  const std::string* url = ServerUrl(state);
  if (url == nullptr) return;
  const CMessage& notification = Traffic().notification;
  if (notification.BodySize() == 0) {
    state.SkipWithError("the server emulator published no queue notification");
    return;
  }
  state.SetLabel(std::to_string(notification.Serialize().size()) + " bytes");
  OurNotifications ours(*url, notification);
  RawNotifications raw(*url, notification);
  if (!raw.Ready()) {
    state.SkipWithError("libnats could not subscribe");
    return;
  }
  PairedClock clock;
  for (auto _ : state) {
    if (!clock.Run([&] { return ours.Batch(kNotificationsPerBatch); },
                   [&] { return raw.Batch(kNotificationsPerBatch); })) {
      state.SkipWithError("a notification was lost or could not be sent");
      return;
    }
  }
  clock.ReportRates(state, kNotificationsPerBatch);
}
BENCHMARK(BM_NatsNotificationRate)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly();

// ---- request round trips ----

// A CNatsResponder answering every request with the recorded answer, and a
// connection of the transport that asks.
class OurRoundTrips {
 public:
  OurRoundTrips(const std::string& url, const RecordedTraffic& traffic)
      : request_(traffic.request),
        answerSize_(traffic.answer.BodySize()),
        responder_(
            OurOptions(url), "bench",
            [answer = traffic.answer](W4Notifier::CNatsRequest request) { request.Reply(answer); }),
        requester_(W4Notifier::ConnectNats(OurOptions(url))) {}
  bool Batch(int count) {
    for (int i = 0; i < count; ++i) {
      CMessage response;
      if (requester_->SendRequest(request_, &response, kRequestTimeoutMs) !=
              W4Notifier::eSendStatus::kSuccess ||
          response.BodySize() != answerSize_)
        return false;
    }
    return true;
  }

 private:
  const CMessage request_;
  const std::size_t answerSize_;
  W4Notifier::CNatsResponder responder_;
  std::shared_ptr<W4Notifier::CNotifierConnection> requester_;
};

// The same bytes by libnats request/reply; the responder sends at once, as
// CNatsResponder does.
class RawRoundTrips {
 public:
  RawRoundTrips(const std::string& url, const RecordedTraffic& traffic)
      : request_(traffic.request.Serialize()),
        answer_(traffic.answer.Serialize()),
        subject_(W4Notifier::nats::RequestSubject(
            kRawRoot, "raw", traffic.request.QueryObjectType(), traffic.request.QueryObjectId(),
            traffic.request.QueryEventId())),
        responder_{RawConnect(url, true), answer_},
        requester_(RawConnect(url, false)) {
    natsSubscription* subscription = nullptr;
    if (responder_.connection && requester_ &&
        natsConnection_QueueSubscribe(&subscription, responder_.connection.get(), subject_.c_str(),
                                      "bench", OnRequest, &responder_) == NATS_OK) {
      subscription_.reset(subscription);
      natsConnection_Flush(responder_.connection.get());
    }
  }
  bool Ready() const { return subscription_ != nullptr; }
  bool Batch(int count) {
    for (int i = 0; i < count; ++i) {
      natsMsg* reply = nullptr;
      if (natsConnection_Request(&reply, requester_.get(), subject_.c_str(), request_.data(),
                                 static_cast<int>(request_.size()), kRequestTimeoutMs) != NATS_OK)
        return false;
      const bool whole = static_cast<std::size_t>(natsMsg_GetDataLength(reply)) == answer_.size();
      natsMsg_Destroy(reply);
      if (!whole) return false;
    }
    return true;
  }

 private:
  struct Responder {
    RawConnection connection;
    const std::vector<std::uint8_t>& answer;
  };
  static void OnRequest(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    const auto& responder = *static_cast<Responder*>(closure);
    natsConnection_Publish(responder.connection.get(), natsMsg_GetReply(msg),
                           responder.answer.data(), static_cast<int>(responder.answer.size()));
    natsMsg_Destroy(msg);
  }
  const std::vector<std::uint8_t> request_;
  const std::vector<std::uint8_t> answer_;
  const std::string subject_;
  Responder responder_;
  RawConnection requester_;
  RawSubscription subscription_;  // ends before the responder it names
};

// Microseconds per synchronous request and its answer. Goal: ours at most
// 1.3 times raw.
void BM_NatsRequestRoundTrip(benchmark::State& state) {
  const std::string* url = ServerUrl(state);
  if (url == nullptr) return;
  if (Traffic().answer.BodySize() == 0) {
    state.SkipWithError("the server emulator did not answer the query");
    return;
  }
  state.SetLabel(std::to_string(Traffic().request.Serialize().size()) + " bytes, answer " +
                 std::to_string(Traffic().answer.Serialize().size()));
  OurRoundTrips ours(*url, Traffic());
  RawRoundTrips raw(*url, Traffic());
  if (!raw.Ready()) {
    state.SkipWithError("libnats could not subscribe");
    return;
  }
  PairedClock clock;
  for (auto _ : state) {
    if (!clock.Run([&] { return ours.Batch(kRoundTripsPerBatch); },
                   [&] { return raw.Batch(kRoundTripsPerBatch); })) {
      state.SkipWithError("a request failed");
      return;
    }
  }
  clock.ReportLatencies(state, kRoundTripsPerBatch);
}
BENCHMARK(BM_NatsRequestRoundTrip)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(kRepetitions)
    ->DisplayAggregatesOnly();

}  // namespace
