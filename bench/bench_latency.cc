// Latency of a notification from the server's publish to a monitor's
// callback, under a steady load: the publisher sends at a fixed rate (10k
// and 100k notifications a second), each at its planned time, and every
// arrival is timed. Percentiles (p50, p99, p99.9) of our path are set
// against those of libnats alone carrying the same number of bytes at the
// same rate over the same nats-server, in the same run.
//
// Our paths: a CQmQueueMonitor (or a CQmInteractionMonitor) hears of
// attribute updates of interactions on a watched queue through the
// library's cache. In process the server emulator publishes them on the
// bus. Over NATS the emulator (behind a CNatsBusBridge) answers the
// monitor's activation, and the updates are its recorded notifications,
// each with its number written in, published by libnats from the
// benchmark's thread exactly as the baseline's payload is: the two sides
// differ only in what receives them.
//
// Timing: each notification is timed from the moment its publish call
// begins (taken on the steady clock just before it) to the start of the
// monitor's callback; both sides alike. A publisher that fell behind its
// plan sends at once, and the time it was late is not counted as latency:
// the counters `lag_us` (the mean time a send was behind plan) and
// `sent_per_s` say how far the load was really paced. The send time
// travels in a side table by sequence number; the number itself travels in
// an attribute value (ours) or in the first bytes of the payload (libnats).
//
// Each benchmark iteration runs one window (50 ms of sends) through both
// sides, in alternating order, so that load from elsewhere falls on both
// alike. A short run (--benchmark_min_time=0.01) is one window per
// benchmark; for figures, run with --benchmark_min_time=3 and repetitions,
// and read the medians.

#include <nats/nats.h>

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "BusRecorder.h"
#include "FiveAttributes.h"
#include "NatsBench.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/InteractionMonitor.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/QueueMonitor.h"
#include "monitor/QmCache.h"
#include "platform/nats/Subjects.h"

namespace {

using Clock = std::chrono::steady_clock;
using QueueManager::CQmAttributeMap;
using QueueManager::InteractionId;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;

constexpr auto kCall = static_cast<W4Notifier::ObjectTypes>(6);
constexpr auto kWindow = std::chrono::milliseconds(50);
// Far beyond any window that succeeds: a window this late lost something.
constexpr auto kPatience = std::chrono::seconds(10);
constexpr const char* kOurRoot = "qm";
constexpr const char* kRawRoot = "qx";
// The sequence number as an attribute value: fixed width, so that every
// notification has the same size.
constexpr std::size_t kSequenceDigits = 10;

const QueueManager::CQmAttributeName& SequenceName() { return bench::FiveNames().back(); }

std::u16string SequenceText(std::uint64_t sequence) {
  std::u16string text(kSequenceDigits, u'0');
  for (std::size_t i = kSequenceDigits; i-- > 0 && sequence != 0; sequence /= 10) {
    text[i] = static_cast<char16_t>(u'0' + sequence % 10);
  }
  return text;
}

std::optional<std::uint64_t> SequenceOf(const CQmAttributeMap& map) {
  const std::u16string& text = map.Query(SequenceName()).QueryString();
  if (text.size() != kSequenceDigits) return std::nullopt;
  std::uint64_t sequence = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    sequence = sequence * 10 + static_cast<std::uint64_t>(c - u'0');
  }
  return sequence;
}

std::int64_t Nanoseconds(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// ---- timing the arrivals ----

// The send times of one window by sequence number, and the latencies of its
// arrivals. Thread-safe for one sending and one arriving thread; a waiter
// blocks until the window is complete and then owns its latencies.
class LatencyProbe {
 public:
  explicit LatencyProbe(std::size_t window) : sent_(window), latencies_(window, -1) {}
  std::size_t Window() const { return sent_.size(); }
  // Starts a window: numbers first .. first + Window() - 1 are expected.
  void Expect(std::uint64_t first) {
    first_.store(first, std::memory_order_relaxed);
    arrived_.store(0, std::memory_order_relaxed);
    std::fill(latencies_.begin(), latencies_.end(), -1);
  }
  void Sent(std::uint64_t sequence, Clock::time_point at) {
    sent_[sequence % sent_.size()].store(Nanoseconds(at), std::memory_order_release);
  }
  void Arrived(std::optional<std::uint64_t> sequence) {
    const std::int64_t now = Nanoseconds(Clock::now());
    const std::uint64_t first = first_.load(std::memory_order_relaxed);
    if (!sequence || *sequence < first || *sequence - first >= sent_.size()) return;  // a stray
    const std::size_t slot = *sequence % sent_.size();
    latencies_[*sequence - first] = now - sent_[slot].load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == sent_.size()) {
      std::lock_guard lock(mutex_);
      complete_.notify_all();
    }
  }
  // The window's latencies in nanoseconds, or nothing when it did not come
  // whole in time.
  const std::vector<std::int64_t>* AwaitWindow() {
    std::unique_lock lock(mutex_);
    const bool whole = complete_.wait_for(
        lock, kPatience, [&] { return arrived_.load(std::memory_order_acquire) >= sent_.size(); });
    if (!whole || std::count(latencies_.begin(), latencies_.end(), -1) != 0) return nullptr;
    return &latencies_;
  }

 private:
  std::vector<std::atomic<std::int64_t>> sent_;
  std::vector<std::int64_t> latencies_;
  std::atomic<std::uint64_t> first_{0};
  std::atomic<std::size_t> arrived_{0};
  std::mutex mutex_;
  std::condition_variable complete_;
};

// One side of a benchmark: its probe and what its windows gave so far.
struct Side {
  explicit Side(std::size_t window) : probe(window) {}
  // Forgets the windows so far; the numbering goes on.
  void Forget() {
    lagNanoseconds = 0;
    sent = 0;
    sendingSeconds = cpuSeconds = 0;
    parks = 0;
    latencies.clear();
  }
  LatencyProbe probe;
  std::uint64_t next = 0;           // the next sequence number to send
  std::int64_t lagNanoseconds = 0;  // the sends' total time behind plan
  std::uint64_t sent = 0;
  double sendingSeconds = 0;  // wall time from each window's first send to its last
  double cpuSeconds = 0;      // the process's, from each window's first send to its end
  std::int64_t parks = 0;     // the process's threads', over the same time
  std::vector<std::int64_t> latencies;
};

// Seconds of this process's CPU (every thread's), which load from elsewhere
// on the machine hardly changes; nats-server's are not counted.
double ProcessCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// How often this process's threads gave up the processor to wait (for a
// lock, a condition, the network): each is a sleep and a wake-up, which
// cost more than the work around them and make room for delays when the
// machine is busy. Load from elsewhere hardly changes it.
std::int64_t ProcessParks() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw;
}

// Sends one window at `rate` per second through `send`, each at its planned
// time (or at once when the plan is behind), and waits for its arrivals.
template <class Send>
bool RunWindow(Side& side, double rate, Send& send) {
  const auto period = std::chrono::nanoseconds(static_cast<std::int64_t>(1e9 / rate));
  side.probe.Expect(side.next);
  const double cpuStart = ProcessCpuSeconds();
  const std::int64_t parksStart = ProcessParks();
  const auto start = Clock::now();
  for (std::size_t i = 0; i < side.probe.Window(); ++i) {
    const auto planned = start + period * static_cast<std::int64_t>(i);
    // Yields rather than spinning flat out: the threads that deliver need
    // the processor more than the waiting publisher does.
    while (Clock::now() < planned) std::this_thread::yield();
    const auto at = Clock::now();
    side.lagNanoseconds +=
        std::chrono::duration_cast<std::chrono::nanoseconds>(at - planned).count();
    side.probe.Sent(side.next, at);
    if (!send(side.next)) return false;
    ++side.next;
  }
  side.sendingSeconds += std::chrono::duration<double>(Clock::now() - start).count();
  side.sent += side.probe.Window();
  const std::vector<std::int64_t>* latencies = side.probe.AwaitWindow();
  if (latencies == nullptr) return false;
  side.cpuSeconds += ProcessCpuSeconds() - cpuStart;
  side.parks += ProcessParks() - parksStart;
  side.latencies.insert(side.latencies.end(), latencies->begin(), latencies->end());
  return true;
}

double PercentileMicroseconds(std::vector<std::int64_t>& values, double fraction) {
  if (values.empty()) return 0;
  const auto n = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n), values.end());
  return static_cast<double>(values[n]) / 1e3;
}

// Counters `<prefix>p50_us`, `p99_us`, `p999_us`; `<prefix>lag_us`, how
// far behind plan a send was on average, and `<prefix>sent_per_s`, the rate
// really sent; `<prefix>cpu_us`, the process's CPU per
// notification (the publisher's included), and `<prefix>parks`, the
// process's threads' waits per notification. Returns the p99.
double ReportSide(benchmark::State& state, Side& side, const std::string& prefix) {
  const double p99 = PercentileMicroseconds(side.latencies, 0.99);
  state.counters[prefix + "p50_us"] = PercentileMicroseconds(side.latencies, 0.5);
  state.counters[prefix + "p99_us"] = p99;
  state.counters[prefix + "p999_us"] = PercentileMicroseconds(side.latencies, 0.999);
  const double sent = static_cast<double>(side.sent);
  state.counters[prefix + "lag_us"] =
      sent == 0 ? 0 : static_cast<double>(side.lagNanoseconds) / 1e3 / sent;
  state.counters[prefix + "sent_per_s"] = side.sendingSeconds == 0 ? 0 : sent / side.sendingSeconds;
  state.counters[prefix + "cpu_us"] = sent == 0 ? 0 : side.cpuSeconds * 1e6 / sent;
  state.counters[prefix + "parks"] = sent == 0 ? 0 : static_cast<double>(side.parks) / sent;
  return p99;
}

std::size_t WindowOf(double rate) {
  return static_cast<std::size_t>(rate * std::chrono::duration<double>(kWindow).count());
}

W4Notifier::CNatsOptions OurOptions(const std::string& url) {
  return bench::NatsOptions(url, kOurRoot);
}

using bench::RawConnection;
using bench::RawSubscription;

// A plain libnats connection that sends at once, as the server's responder
// does, rather than leaving small messages to its flusher thread (which
// waits for more to send with them).
RawConnection RawConnect(const std::string& url) { return bench::RawConnect(url, true); }

// libnats alone: `size` bytes on a subject of the queue notification's
// shape, the sequence number in the first eight.
class RawPath {
 public:
  RawPath(const std::string& url, std::size_t size, LatencyProbe& probe)
      : payload_(std::max(size, sizeof(std::uint64_t))),
        publisher_(RawConnect(url)),
        subscriber_(RawConnect(url)),
        probe_(probe) {
    natsSubscription* subscription = nullptr;
    if (publisher_ && subscriber_ &&
        natsConnection_Subscribe(&subscription, subscriber_.get(), kSubject, OnMessage, this) ==
            NATS_OK) {
      subscription_.reset(subscription);
      natsConnection_Flush(subscriber_.get());
    }
  }
  bool Ready() const { return subscription_ != nullptr; }
  bool operator()(std::uint64_t sequence) {
    std::memcpy(payload_.data(), &sequence, sizeof sequence);
    return natsConnection_Publish(publisher_.get(), kSubject, payload_.data(),
                                  static_cast<int>(payload_.size())) == NATS_OK;
  }

 private:
  static constexpr const char* kSubject = "qx.n.37.1.0.QueueMonitor";
  static void OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure) {
    auto* self = static_cast<RawPath*>(closure);
    std::optional<std::uint64_t> sequence;
    if (static_cast<std::size_t>(natsMsg_GetDataLength(msg)) == self->payload_.size()) {
      std::uint64_t value = 0;
      std::memcpy(&value, natsMsg_GetData(msg), sizeof value);
      sequence = value;
    }
    self->probe_.Arrived(sequence);
    natsMsg_Destroy(msg);
  }
  std::vector<char> payload_;
  RawConnection publisher_;
  RawConnection subscriber_;
  LatencyProbe& probe_;
  RawSubscription subscription_;  // ends before the probe it names
};

// ---- our path ----

class TimedQueueMonitor : public QueueManager::CQmQueueMonitor {
 public:
  explicit TimedQueueMonitor(LatencyProbe& probe) : probe_(probe) {}
  ~TimedQueueMonitor() override { Deactivate(); }

 protected:
  void AttributesUpdated(const CEntityId&, InteractionId, const CQmAttributeMap& map) override {
    probe_.Arrived(SequenceOf(map));
  }

 private:
  LatencyProbe& probe_;
};

class TimedInteractionMonitor : public QueueManager::CQmInteractionMonitor {
 public:
  explicit TimedInteractionMonitor(LatencyProbe& probe) : probe_(probe) {}

 protected:
  void AttributesUpdated(const CEntityId&, const CQmAttributeMap& map) override {
    probe_.Arrived(SequenceOf(map));
  }

 private:
  LatencyProbe& probe_;
};

enum class eMonitor { kQueue, kInteraction };

// A notification's byte form with the place of its sequence number, which
// travels as text: the bytes of other numbers are written there.
class NotificationTemplate {
 public:
  // Nothing when `message` does not hold `sequence`'s text.
  static std::optional<NotificationTemplate> Of(const CMessage& message, std::uint64_t sequence) {
    NotificationTemplate t;
    t.bytes_ = message.Serialize();
    t.subject_ = W4Notifier::nats::NotificationSubject(
        kOurRoot, message.QueryObjectType(), message.QueryObjectId(), message.QueryEventId(),
        message.QueryEventName());
    const std::u16string text = SequenceText(sequence);
    // The text may travel in one of these forms: find which, and where.
    for (int form = 0; form < 3; ++form) {
      std::vector<std::uint8_t> encoded;
      for (char16_t c : text) {
        const auto low = static_cast<std::uint8_t>(c & 0xFF);
        if (form == 0) encoded.push_back(low);
        if (form == 1) encoded.insert(encoded.end(), {low, 0});
        if (form == 2) encoded.insert(encoded.end(), {0, low});
      }
      const auto at = std::search(t.bytes_.begin(), t.bytes_.end(), encoded.begin(), encoded.end());
      if (at == t.bytes_.end()) continue;
      t.offset_ = static_cast<std::size_t>(at - t.bytes_.begin());
      t.width_ = form == 0 ? 1 : 2;
      t.digitAt_ = form == 2 ? 1 : 0;
      return t;
    }
    return std::nullopt;
  }
  std::size_t Size() const { return bytes_.size(); }
  const std::string& Subject() const { return subject_; }
  // Finds the queue's notification number (which the cache checks) as the
  // 64-bit field, in either byte order, that grew by `step` since `earlier`
  // (the same notification some updates before); false when none did.
  bool FindNumber(const NotificationTemplate& earlier, std::uint64_t step) {
    if (earlier.bytes_.size() != bytes_.size()) return false;
    for (std::size_t o = bytes_.size() - sizeof(std::uint64_t) + 1; o-- > 0;) {
      for (bool bigEndian : {true, false}) {
        const std::uint64_t now = Read(bytes_, o, bigEndian);
        if (now - Read(earlier.bytes_, o, bigEndian) != step || now < step) continue;
        number_ = Number{o, bigEndian, now};
        return true;
      }
    }
    return false;
  }
  // The bytes with `sequence` in place, and the queue's notification number
  // `sent` after the one recorded.
  const std::vector<std::uint8_t>& With(std::uint64_t sequence, std::uint64_t sent) {
    const std::u16string text = SequenceText(sequence);
    for (std::size_t i = 0; i < text.size(); ++i) {
      bytes_[offset_ + i * width_ + digitAt_] = static_cast<std::uint8_t>(text[i]);
    }
    if (number_) {
      const std::uint64_t value = number_->recorded + sent;
      for (std::size_t i = 0; i < sizeof value; ++i) {
        const std::size_t shift = 8 * (number_->bigEndian ? sizeof value - 1 - i : i);
        bytes_[number_->offset + i] = static_cast<std::uint8_t>(value >> shift);
      }
    }
    return bytes_;
  }
  std::optional<std::uint64_t> RecordedNumber() const {
    return number_ ? std::optional(number_->recorded) : std::nullopt;
  }

 private:
  struct Number {
    std::size_t offset;
    bool bigEndian;
    std::uint64_t recorded;
  };
  static std::uint64_t Read(const std::vector<std::uint8_t>& bytes, std::size_t at,
                            bool bigEndian) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < sizeof value; ++i) {
      const std::uint64_t byte = bytes[at + (bigEndian ? i : sizeof value - 1 - i)];
      value = value << 8 | byte;
    }
    return value;
  }
  std::vector<std::uint8_t> bytes_;
  std::string subject_;
  std::optional<Number> number_;
  std::size_t offset_ = 0;
  std::size_t width_ = 1;
  std::size_t digitAt_ = 0;
};

// The emulator with some interactions on one queue and a monitor of
// them, over the bus or over NATS (the emulator behind a bus bridge).
//
// In process the emulator publishes: each send updates an interaction, the
// sequence number among its values. Over NATS the server's publishing is
// taken out of the figure: the emulator's notifications of such updates are
// recorded, and each send publishes one of them, its number written in, by
// libnats from this thread, as the baseline publishes its payload; only the
// receiving side differs.
class OurPath {
 public:
  OurPath(eMonitor kind, LatencyProbe& probe, const std::string* natsUrl,
          std::uint32_t interactions)
      : kind_(kind),
        queue_(W4Notifier::eWorkgroupQueue, 1u),
        queueMonitor_(probe),
        interactionMonitor_(probe) {
    QueueManager::CQmCache::Instance().ResetForTesting();
    for (std::uint32_t i = 0; i < interactions; ++i) {
      ids_.push_back(emulator_.AddInteraction(kCall, bench::FiveAttributes(0), {queue_}));
    }
    if (natsUrl != nullptr) {
      bridge_.emplace(OurOptions(*natsUrl), "bench", bus_);
      W4Notifier::SetDefaultConnection(W4Notifier::ConnectNats(OurOptions(*natsUrl)));
      publisher_ = RawConnect(*natsUrl);
    } else {
      W4Notifier::SetDefaultConnection(bus_->Connect());
    }
    if (kind == eMonitor::kQueue) {
      queueMonitor_.Activate(queue_, bench::FiveNames(), true);
    } else {
      for (std::uint32_t id : ids_) interactionMonitor_.Activate(id, bench::FiveNames(), true);
    }
    values_ = bench::FiveAttributes(0);
    Record();
  }
  ~OurPath() {
    queueMonitor_.Deactivate();
    for (std::uint32_t id : ids_) interactionMonitor_.Deactivate(id);
    bus_->WaitIdle();
    W4Notifier::SetDefaultConnection(nullptr);
    QueueManager::CQmCache::Instance().ResetForTesting();
  }
  // False when the notifications could not be recorded.
  bool Ready() const { return !ids_.empty() && templates_.size() == ids_.size(); }
  std::size_t NotificationSize() const { return templates_.empty() ? 0 : templates_[0].Size(); }
  // Sends notification `sequence`; the numbers from kFirstSequence on.
  bool operator()(std::uint64_t sequence) {
    const std::size_t n = sequence % ids_.size();
    if (!publisher_) {
      values_[SequenceName()] = SequenceText(sequence);
      return emulator_.SetAttributes(ids_[n], values_);
    }
    NotificationTemplate& t = templates_[n];
    const std::uint64_t sent = sequence - kFirstSequence + 1;
    const std::vector<std::uint8_t>& bytes =
        t.With(sequence, numberOffsets_.empty() ? 0 : numberOffsets_[n] + sent);
    return natsConnection_Publish(publisher_.get(), t.Subject().c_str(), bytes.data(),
                                  static_cast<int>(bytes.size())) == NATS_OK;
  }
  // The numbers below this one were the recording's.
  static constexpr std::uint64_t kFirstSequence = 2;

 private:
  // Two updates of each interaction, numbered 0 and 1: their notifications
  // of the monitored kind, the second ones kept as templates. A queue's
  // notifications also carry the queue's own numbering, which the two passes
  // reveal.
  void Record() {
    std::vector<NotificationTemplate> first;
    if (!RecordPass(0, first) || !RecordPass(1, templates_)) {
      templates_.clear();
      return;
    }
    if (kind_ != eMonitor::kQueue) return;
    for (std::size_t i = 0; i < templates_.size(); ++i) {
      if (!templates_[i].FindNumber(first[i], ids_.size())) {
        templates_.clear();
        return;
      }
    }
    // Each send is the queue's next notification: the numbers go on from
    // the last one recorded.
    const std::uint64_t last = *templates_.back().RecordedNumber();
    for (std::size_t i = 0; i < templates_.size(); ++i) {
      numberOffsets_.push_back(last - *templates_[i].RecordedNumber());
    }
  }
  bool RecordPass(std::uint64_t sequence, std::vector<NotificationTemplate>& out) {
    bench::BusRecorder recorder(
        kind_ == eMonitor::kQueue
            ? queue_
            : CEntityId(W4Notifier::eInteractionRequest, W4Notifier::kAllObjects));
    bus_->AddObserver(&recorder);
    values_[SequenceName()] = SequenceText(sequence);
    for (std::uint32_t id : ids_) emulator_.SetAttributes(id, values_);
    bus_->WaitIdle();
    bus_->RemoveObserver(&recorder);
    // One notification for each update, in order.
    const std::vector<CMessage> messages = recorder.Take();
    if (messages.size() != ids_.size()) return false;
    for (std::size_t i = 0; i < ids_.size(); ++i) {
      if (kind_ == eMonitor::kInteraction && messages[i].QueryObjectId() != ids_[i]) return false;
      std::optional<NotificationTemplate> t = NotificationTemplate::Of(messages[i], sequence);
      if (!t) return false;
      out.push_back(std::move(*t));
    }
    return true;
  }

  std::shared_ptr<W4Notifier::CInProcessBus> bus_ = W4Notifier::CInProcessBus::Create();
  QueueManager::Emulator::CEmulator emulator_{bus_};
  std::optional<W4Notifier::CNatsBusBridge> bridge_;
  RawConnection publisher_;
  const eMonitor kind_;
  const CEntityId queue_;
  std::vector<std::uint32_t> ids_;
  CQmAttributeMap values_;
  std::vector<NotificationTemplate> templates_;
  // Per template, how far its recorded queue number is below the last one.
  std::vector<std::uint64_t> numberOffsets_;
  TimedQueueMonitor queueMonitor_;
  TimedInteractionMonitor interactionMonitor_;
};

// ---- the benchmarks ----

// Arguments: notifications a second, interactions (see Rates). Our side
// over the bus or NATS, libnats alone beside it (left out, with only our
// figures, without a nats-server when ours runs in process).
void RunLatency(benchmark::State& state, eMonitor kind, bool overNats) {
  const double rate = static_cast<double>(state.range(0));
  const std::size_t window = WindowOf(rate);
  std::string error;
  const std::string* url = bench::SharedNatsServerUrl(error);
  if (overNats && url == nullptr) {
    state.SkipWithError(("no nats-server: " + error).c_str());
    return;
  }
  Side ours(window);
  Side raw(window);
  std::optional<OurPath> ourPath;
  ourPath.emplace(kind, ours.probe, overNats ? url : nullptr,
                  static_cast<std::uint32_t>(state.range(1)));
  if (!ourPath->Ready()) {
    state.SkipWithError("the emulator's notifications could not be recorded");
    return;
  }
  const std::size_t size = ourPath->NotificationSize();
  ours.next = OurPath::kFirstSequence;
  std::optional<RawPath> rawPath;
  if (url != nullptr) {
    rawPath.emplace(*url, size, raw.probe);
    if (!rawPath->Ready()) {
      state.SkipWithError("libnats could not subscribe");
      return;
    }
  }
  state.SetLabel(std::to_string(size) + " bytes" + (rawPath ? "" : ", no libnats baseline"));
  auto runOurs = [&] { return RunWindow(ours, rate, *ourPath); };
  auto runRaw = [&] { return !rawPath || RunWindow(raw, rate, *rawPath); };
  // One window of each first, not counted: connections and caches warm up.
  if (!runOurs() || !runRaw()) {
    state.SkipWithError("a notification was lost or could not be sent");
    return;
  }
  ours.Forget();
  raw.Forget();
  bool oursFirst = false;
  for (auto _ : state) {
    oursFirst = !oursFirst;
    const bool done = oursFirst ? runOurs() && runRaw() : runRaw() && runOurs();
    if (!done) {
      state.SkipWithError("a notification was lost or could not be sent");
      return;
    }
  }
  const double ourP99 = ReportSide(state, ours, "");
  if (rawPath) state.counters["ratio_p99"] = ourP99 / ReportSide(state, raw, "raw_");
}

void BM_QueueMonitorInProcess(benchmark::State& state) {
  RunLatency(state, eMonitor::kQueue, false);
}
void BM_InteractionMonitorInProcess(benchmark::State& state) {
  RunLatency(state, eMonitor::kInteraction, false);
}
void BM_QueueMonitorOverNats(benchmark::State& state) { RunLatency(state, eMonitor::kQueue, true); }

// Notifications a second, and the interactions updated in turn (each an
// interaction monitor's subscription of its own: many of them show what a
// lookup per notification costs that grows with the subscriptions).
void Rates(benchmark::internal::Benchmark* b) {
  b->ArgNames({"per_s", "interactions"})
      ->ArgsProduct({{10'000, 100'000}, {64}})
      ->UseRealTime()
      ->Unit(benchmark::kMillisecond);
}
void RatesAndMany(benchmark::internal::Benchmark* b) {
  Rates(b);
  b->ArgsProduct({{10'000, 100'000}, {2048}});
}
BENCHMARK(BM_QueueMonitorInProcess)->Apply(Rates);
BENCHMARK(BM_InteractionMonitorInProcess)->Apply(RatesAndMany);
BENCHMARK(BM_QueueMonitorOverNats)->Apply(Rates);

}  // namespace
