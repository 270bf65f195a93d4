// Benchmarks of the notifier: the message codec, request round trips over the
// in-process bus, and notification fan-out to subscribers.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/ObjectTypes.h"
#include "QueueManager/Platform/ScriptedServer.h"
#include "QueueManager/Platform/Sync.h"

namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr int kAttributeCount = 10;
constexpr int kServerEvent = 4;
// Generous: a request that takes this long is a failure, not a data point.
constexpr std::uint32_t kTimeoutMs = 10000;
// The scripted server records every message; clearing its record this often
// keeps memory flat during long runs (the cost is amortised into the figures).
constexpr std::uint64_t kClearTrafficEvery = 1024;

const CEntityId& ServerEntity() {
  static const CEntityId entity(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects);
  return entity;
}

// Ten attribute values of 10 to 40 code units, some outside ASCII, as a
// typical interaction's attributes are.
std::vector<std::u16string> MakeAttributeValues() {
  std::vector<std::u16string> values;
  for (int i = 0; i < kAttributeCount; ++i) {
    const std::size_t length = 10 + static_cast<std::size_t>(i * 7) % 31;
    std::u16string value;
    for (std::size_t j = 0; j < length; ++j) {
      value.push_back(j % 9 == 8 ? u'\u00e9' : static_cast<char16_t>(u'a' + (i + j) % 26));
    }
    values.push_back(std::move(value));
  }
  return values;
}

// An entity (type and id), a flag, a count, ten numbered attributes and a
// 64-bit time stamp.
CMessage EncodeTypical(const std::vector<std::u16string>& values) {
  CMessage message(CEntityId(W4Notifier::eInteractionRequest, 424242u), kServerEvent);
  message << static_cast<std::int32_t>(W4Notifier::eWorkgroupQueue)
          << static_cast<std::int32_t>(1234567) << true << static_cast<std::uint32_t>(17);
  for (int i = 0; i < kAttributeCount; ++i) {
    message << static_cast<std::int32_t>(1000 + i) << values[static_cast<std::size_t>(i)];
  }
  message << 0x0123456789ABCDEFull;
  return message;
}

void BM_MessageEncode(benchmark::State& state) {
  const std::vector<std::u16string> values = MakeAttributeValues();
  std::size_t bodySize = 0;
  for (auto _ : state) {
    CMessage message = EncodeTypical(values);
    bodySize = message.BodySize();
    benchmark::DoNotOptimize(message);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bodySize));
}
BENCHMARK(BM_MessageEncode);

void BM_MessageDecode(benchmark::State& state) {
  CMessage message = EncodeTypical(MakeAttributeValues());
  std::int32_t type = 0;
  std::int32_t id = 0;
  bool flag = false;
  std::uint32_t count = 0;
  std::int32_t key = 0;
  std::u16string value;
  std::uint64_t stamp = 0;
  for (auto _ : state) {
    message.Rewind();
    message >> type >> id >> flag >> count;
    for (int i = 0; i < kAttributeCount; ++i) {
      message >> key >> value;
      benchmark::DoNotOptimize(value.data());
    }
    message >> stamp;
    benchmark::DoNotOptimize(stamp);
  }
  if (!message.IsAtEndOfData() || count != 17 || key != 1000 + kAttributeCount - 1) {
    state.SkipWithError("decoded fields differ from the encoded ones");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(message.BodySize()));
}
BENCHMARK(BM_MessageDecode);

void BM_MessageSerialize(benchmark::State& state) {
  const CMessage message = EncodeTypical(MakeAttributeValues());
  std::size_t size = 0;
  for (auto _ : state) {
    std::vector<std::uint8_t> bytes = message.Serialize();
    size = bytes.size();
    benchmark::DoNotOptimize(bytes.data());
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_MessageSerialize);

void BM_MessageParse(benchmark::State& state) {
  const std::vector<std::uint8_t> bytes = EncodeTypical(MakeAttributeValues()).Serialize();
  for (auto _ : state) {
    CMessage message = CMessage::Parse(std::span<const std::uint8_t>(bytes));
    benchmark::DoNotOptimize(message);
  }
  if (CMessage::Parse(bytes).Serialize() != bytes) {
    state.SkipWithError("a parsed message serialises differently");
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes.size()));
}
BENCHMARK(BM_MessageParse);

// Once a process has started a thread, reference counts take atomic
// read-modify-writes (libstdc++'s shared_ptr skips them before that); the
// library always runs beside its bus threads, so the copies are measured so.
void EndSingleThreadedStart() {
  std::thread([] {}).join();
}

// A copy shares the body; the first write to a copy that is not the body's
// only owner copies it. The pair shows the cost of the ownership check and of
// the reference count on both paths.
void BM_MessageCopy(benchmark::State& state) {
  EndSingleThreadedStart();
  const CMessage message = EncodeTypical(MakeAttributeValues());
  for (auto _ : state) {
    CMessage copy = message;
    benchmark::DoNotOptimize(copy);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MessageCopy);

void BM_MessageCopyThenWrite(benchmark::State& state) {
  EndSingleThreadedStart();
  const CMessage message = EncodeTypical(MakeAttributeValues());
  for (auto _ : state) {
    CMessage copy = message;
    copy << std::int32_t{1} << std::int32_t{2};
    benchmark::DoNotOptimize(copy);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MessageCopyThenWrite);

// A bus with a scripted server that answers every request to the server
// entity, and one client connection.
struct ServedBus {
  std::shared_ptr<W4Notifier::CInProcessBus> bus = W4Notifier::CInProcessBus::Create();
  W4Notifier::CScriptedServer server{bus};
  std::shared_ptr<W4Notifier::CInProcessConnection> connection = bus->Connect();

  ServedBus() {
    CMessage answer;
    answer << static_cast<std::int32_t>(3) << true << std::u16string(u"QueueManager") << 42u;
    server.Respond(ServerEntity(), kServerEvent, answer);
  }
};

CMessage MakeRequest() {
  CMessage request(ServerEntity(), kServerEvent);
  request << static_cast<std::int32_t>(7) << std::u16string(u"bench client");
  return request;
}

void BM_RequestRoundTripSync(benchmark::State& state) {
  ServedBus served;
  const CMessage request = MakeRequest();
  CMessage response;
  std::uint64_t sent = 0;
  for (auto _ : state) {
    const W4Notifier::eSendStatus status =
        served.connection->SendRequest(request, &response, kTimeoutMs);
    if (status != W4Notifier::eSendStatus::kSuccess) {
      state.SkipWithError("a synchronous request failed");
      break;
    }
    if (++sent % kClearTrafficEvery == 0) served.server.ClearTraffic();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RequestRoundTripSync)->UseRealTime();

// The baseline of a round trip: a request handed to another thread and its
// answer handed back, both threads parking on a condition variable between
// turns. A synchronous round trip that costs less than this pair of hops
// avoids parking.
void BM_ThreadPingPongParked(benchmark::State& state) {
  W4Os::Mutex mutex;
  W4Os::CondVar turn(&mutex);
  std::uint64_t asked = 0;
  std::uint64_t answered = 0;
  bool stop = false;
  std::thread server([&] {
    W4Os::MutexLock lock(&mutex);
    while (true) {
      while (asked == answered && !stop) turn.Wait();
      if (stop) return;
      ++answered;
      turn.SignalAll();
    }
  });
  for (auto _ : state) {
    W4Os::MutexLock lock(&mutex);
    ++asked;
    turn.SignalAll();
    while (answered != asked) turn.Wait();
  }
  {
    W4Os::MutexLock lock(&mutex);
    stop = true;
    turn.SignalAll();
  }
  server.join();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ThreadPingPongParked)->UseRealTime();

// Counts asynchronous outcomes; the benchmark waits until a batch is in.
class OutcomeCounter : public W4Notifier::IAsyncResponseCallback {
 public:
  void OnAsyncResponseSuccess(std::uint32_t /*requestId*/, CMessage& /*response*/) override {
    Count(false);
  }
  void OnAsyncResponseRejected(std::uint32_t /*requestId*/, CMessage& /*rejection*/) override {
    Count(true);
  }
  void OnAsyncResponseTimeout(std::uint32_t /*requestId*/) override { Count(true); }
  void OnAsyncResponseCancelled(std::uint32_t /*requestId*/) override { Count(true); }
  void OnAsyncResponseConnectionLoss(std::uint32_t /*requestId*/) override { Count(true); }

  // Waits until `total` outcomes arrived in all; false after `timeout`.
  bool WaitFor(std::uint64_t total, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    W4Os::MutexLock lock(&mutex_);
    while (outcomes_ < total) {
      if (!changed_.WaitUntil(deadline) && outcomes_ < total) return false;
    }
    return true;
  }
  std::uint64_t Failures() {
    W4Os::MutexLock lock(&mutex_);
    return failures_;
  }

 private:
  void Count(bool failed) {
    W4Os::MutexLock lock(&mutex_);
    ++outcomes_;
    if (failed) ++failures_;
    changed_.SignalAll();
  }

  W4Os::Mutex mutex_;
  W4Os::CondVar changed_{&mutex_};
  std::uint64_t outcomes_ QM_GUARDED_BY(mutex_) = 0;
  std::uint64_t failures_ QM_GUARDED_BY(mutex_) = 0;
};

// Each iteration sends a batch of state.range(0) asynchronous requests and
// waits for all their outcomes.
void BM_RequestRoundTripAsync(benchmark::State& state) {
  const auto batch = static_cast<std::uint64_t>(state.range(0));
  ServedBus served;
  OutcomeCounter counter;
  const CMessage request = MakeRequest();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (std::uint64_t i = 0; i < batch; ++i) {
      if (served.connection->SendAsyncRequest(request, &counter, 0, kTimeoutMs) !=
          W4Notifier::eMsgSuccess) {
        state.SkipWithError("an asynchronous request was not sent");
        return;
      }
    }
    sent += batch;
    if (!counter.WaitFor(sent, std::chrono::milliseconds(kTimeoutMs))) {
      state.SkipWithError("asynchronous outcomes did not arrive");
      return;
    }
    served.server.ClearTraffic();
  }
  if (counter.Failures() != 0) state.SkipWithError("some asynchronous requests failed");
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_RequestRoundTripAsync)->Arg(1)->Arg(64)->UseRealTime();

// Counts the notifications it receives.
class CountingSubscriber : public W4Notifier::IMessageCallback {
 public:
  void OnMessageReceived(CMessage& /*message*/) override {
    received_.fetch_add(1, std::memory_order_relaxed);
  }
  std::uint64_t Received() const { return received_.load(std::memory_order_relaxed); }

 private:
  std::atomic<std::uint64_t> received_{0};
};

// Each iteration publishes a batch of notifications from one queue to
// state.range(0) subscribers and waits until every delivery has run.
void BM_NotificationFanOut(benchmark::State& state) {
  constexpr std::uint64_t kBatch = 100;
  const auto subscriberCount = static_cast<std::size_t>(state.range(0));
  ServedBus served;
  const CEntityId queue(W4Notifier::eWorkgroupQueue, u"Sales");
  const int event = W4Notifier::EventCodeFromName(u"QueueStatistics");
  std::vector<std::unique_ptr<CountingSubscriber>> subscribers;
  for (std::size_t i = 0; i < subscriberCount; ++i) {
    subscribers.push_back(std::make_unique<CountingSubscriber>());
    served.connection->StartNotifications(queue, event, subscribers.back().get(), 0);
  }
  CMessage body;
  body << 12u << 3u << static_cast<std::uint64_t>(95000) << std::u16string(u"Sales");

  for (auto _ : state) {
    for (std::uint64_t i = 0; i < kBatch; ++i) served.server.Publish(queue, event, body);
    served.bus->WaitIdle();
    served.server.ClearTraffic();
  }

  const std::uint64_t published = static_cast<std::uint64_t>(state.iterations()) * kBatch;
  for (const auto& subscriber : subscribers) {
    if (subscriber->Received() != published) {
      state.SkipWithError("a subscriber missed notifications");
      break;
    }
  }
  for (const auto& subscriber : subscribers) served.connection->StopAllMessages(subscriber.get());
  state.SetItemsProcessed(static_cast<std::int64_t>(published * subscriberCount));
  state.counters["notifications/s"] =
      benchmark::Counter(static_cast<double>(published), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_NotificationFanOut)->Arg(1)->Arg(10)->UseRealTime();

}  // namespace
