// A tour of the notifier platform layer, for application developers.
//
// The program plays both sides in one process: a scripted server stands in
// for the Queue Manager server on the process-wide in-process bus, and the
// application side connects to that bus, sends requests, subscribes to a
// queue, reads a private inbox and lives through a reconnection. It prints
// what happens and exits 0 when everything behaved as expected, 1 otherwise.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/MessageServer.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/ScriptedServer.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Text.h"

namespace {

using namespace W4Notifier;  // NOLINT: an example reads better without the prefix

constexpr int kServerInfoEvent = 4;  // "describe yourself"
constexpr int kTransferEvent = 5;    // refused by the server below
constexpr int kSlowEvent = 6;        // never answered by the server below

// Prints one line; callbacks print from delivery threads, so lines are
// written whole under a lock.
W4Os::Mutex g_printMutex;
template <class... Args>
void Say(fmt::format_string<Args...> format, Args&&... args) {
  const std::string line = fmt::format(format, std::forward<Args>(args)...);
  W4Os::MutexLock lock(&g_printMutex);
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

// Reports one expectation; main returns non-zero if any failed.
int g_failures = 0;
void Check(bool ok, std::string_view what) {
  Say("   [{}] {}", ok ? "ok" : "FAILED", what);
  if (!ok) ++g_failures;
}

std::string Narrow(std::u16string_view text) { return W4Os::WideToNarrowLossy(text); }

// Watches a queue. The connection calls it on one of its delivery threads,
// one callback at a time for this object, in publish order.
class QueueWatcher : public IMessageCallback {
 public:
  void OnMessageReceived(CMessage& message) override {
    // Fields are read in the order the server wrote them; a mismatch throws.
    std::uint32_t waiting = 0;
    std::uint32_t agentsFree = 0;
    std::uint64_t longestWaitMs = 0;
    try {
      message >> waiting >> agentsFree >> longestWaitMs;
    } catch (const CNotifierExtractException& e) {
      Say("   watcher: unreadable notification: {}", e.what());
      return;
    }
    Say("   watcher: {} reports {} waiting, {} agents free, longest wait {} ms",
        message.QueryEntityId().QueryScopedName().narrow(), waiting, agentsFree, longestWaitMs);
    received_.fetch_add(1);
  }
  // After a reconnection the server has forgotten this client: a real
  // application would fetch fresh state here.
  void OnConnectionRenegotiated() override {
    Say("   watcher: connection renegotiated, subscriptions still in place");
    renegotiations_.fetch_add(1);
  }
  int Received() const { return received_.load(); }
  int Renegotiations() const { return renegotiations_.load(); }

 private:
  std::atomic<int> received_{0};
  std::atomic<int> renegotiations_{0};
};

// Collects the one outcome of each asynchronous request.
class OutcomeLog : public IAsyncResponseCallback {
 public:
  void OnAsyncResponseSuccess(std::uint32_t id, CMessage& response) override {
    Record(id, "success: " + response.DescribeFields());
  }
  void OnAsyncResponseRejected(std::uint32_t id, CMessage& rejection) override {
    Record(id, "rejected: " + rejection.DescribeFields());
  }
  void OnAsyncResponseTimeout(std::uint32_t id) override { Record(id, "timed out"); }
  void OnAsyncResponseCancelled(std::uint32_t id) override { Record(id, "cancelled"); }
  void OnAsyncResponseConnectionLoss(std::uint32_t id) override { Record(id, "connection lost"); }

  // Waits until `count` outcomes are in; returns them by request id.
  std::map<std::uint32_t, std::string> WaitFor(std::size_t count, std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    W4Os::MutexLock lock(&mutex_);
    while (outcomes_.size() < count && changed_.WaitUntil(deadline)) {
    }
    return outcomes_;
  }

 private:
  void Record(std::uint32_t id, std::string outcome) {
    W4Os::MutexLock lock(&mutex_);
    outcomes_[id] = std::move(outcome);
    changed_.SignalAll();
  }
  W4Os::Mutex mutex_;
  W4Os::CondVar changed_{&mutex_};
  std::map<std::uint32_t, std::string> outcomes_ QM_GUARDED_BY(mutex_);
};

// The server entity: requests about the server as a whole go here.
CEntityId ServerEntity() { return CEntityId(eQueueManagerServer, kAllObjects); }

// Queue statistics as the server publishes them.
CMessage QueueStats(std::uint32_t waiting, std::uint32_t agentsFree, std::uint64_t longestMs) {
  CMessage body;
  body << waiting << agentsFree << longestMs;
  return body;
}

void SynchronousRequest(CScriptedServer& server) {
  Say("2. A synchronous request to the server entity, event {}", kServerInfoEvent);
  CMessage info;
  info << std::u16string(u"QM-Primary") << 7u << true << static_cast<std::int32_t>(3);
  server.Respond(ServerEntity(), kServerInfoEvent, info);

  // CRequestObject travels on the default connection.
  CRequestObject request(ServerEntity(), kServerInfoEvent);
  request << std::u16string(u"platform demo") << static_cast<std::int32_t>(1);
  CResponseObject response;
  const bool answered = request.Send(response, CNotifierTimeout::Query()) != 0;
  Say("   response: {}", response.DescribeFields());
  std::u16string name;
  std::uint32_t version = 0;
  bool running = false;
  std::int32_t queues = 0;
  if (answered) response >> name >> version >> running >> queues;
  Say("   server {} version {}, {}, {} queues", Narrow(name), version,
      running ? "running" : "stopped", queues);
  Check(answered && name == u"QM-Primary" && running && queues == 3, "the server answered");
  Check(server.RequestsTo(ServerEntity(), kServerInfoEvent).size() == 1,
        "the server saw one request");
}

void Subscription(CScriptedServer& server, CInProcessConnection& connection,
                  const std::shared_ptr<QueueWatcher>& watcher) {
  Say("3. Subscribing to the statistics of the Sales queue");
  const CEntityId sales(eWorkgroupQueue, u"Sales");
  const int statsEvent = EventCodeFromName(u"QueueStatistics");
  // The watcher itself is the keep-alive: the connection holds it while subscribed.
  connection.StartNotifications(sales, statsEvent, watcher.get(), 0, nullptr, watcher);
  server.Publish(sales, statsEvent, QueueStats(4, 1, 95000));
  server.Publish(sales, statsEvent, QueueStats(6, 0, 120000));
  server.Publish(CEntityId(eWorkgroupQueue, u"Support"), statsEvent, QueueStats(9, 2, 30000));
  server.Publish(sales, statsEvent, QueueStats(2, 3, 40000));
  server.WaitIdle();  // every delivery has run
  Check(watcher->Received() == 3, "three notifications from Sales, none from Support");
}

void AsynchronousRequests(CScriptedServer& server) {
  Say("4. Asynchronous requests: answered, refused, unanswered and cancelled");
  CMessage refusal;
  refusal << std::u16string(u"transfer target is closed");
  server.Reject(ServerEntity(), kTransferEvent, refusal);
  server.Silence(ServerEntity(), kSlowEvent);
  CNotifierTimeout::Set(250);  // short, so that the unanswered request times out quickly

  auto log = std::make_shared<OutcomeLog>();
  std::shared_ptr<CNotifierConnection> link = CNotifierHandle::GetDefaultConnection();
  std::uint32_t ids[4] = {};
  const int events[4] = {kServerInfoEvent, kTransferEvent, kSlowEvent, kSlowEvent};
  for (int i = 0; i < 4; ++i) {
    // The last one gets a long time-out: it is cancelled long before.
    const std::uint32_t timeout = i == 3 ? CNotifierTimeout::kDefaultMs : CNotifierTimeout::Query();
    // The log is its own keep-alive: the connection holds it until the outcome is delivered.
    const eMsgCode sent = link->SendAsyncRequest(CMessage(ServerEntity(), events[i]), log.get(), 0,
                                                 timeout, &ids[i], log);
    if (sent != eMsgSuccess) Check(false, fmt::format("send: {}", MsgCodeName(sent)));
  }
  link->CancelAsyncRequest(ids[3]);
  std::map<std::uint32_t, std::string> outcomes = log->WaitFor(4, std::chrono::seconds(5));
  CNotifierTimeout::Set(CNotifierTimeout::kDefaultMs);
  for (int i = 0; i < 4; ++i) {
    Say("   request {} (event {}): {}", ids[i], events[i], outcomes[ids[i]]);
  }
  Check(outcomes[ids[0]].starts_with("success: wstring \"QM-Primary\""), "the first succeeded");
  Check(outcomes[ids[1]].starts_with("rejected: wstring"), "the second was refused");
  Check(outcomes[ids[2]] == "timed out", "the third timed out");
  Check(outcomes[ids[3]] == "cancelled", "the fourth was cancelled");
}

void PrivateInbox(CScriptedServer& server) {
  Say("5. A private inbox for agent presence, read by a blocking wait");
  CMessageServer inbox(CNotifierHandle::GetDefaultHandle(), u"PresenceInbox");
  const int presenceEvent = EventCodeFromName(u"AgentPresence");
  inbox.StartNotifications(eUserQueue, kAllObjects, presenceEvent);  // every user queue
  CMessage presence;
  presence << std::u16string(u"Available");
  server.Publish(CEntityId(eUserQueue, u"agent-0042"), presenceEvent, presence);

  std::deque<CMessage> messages;
  const int code = inbox.GetMessagesWithCode(messages, 2000);
  for (const CMessage& message : messages) {
    Say("   inbox: {} says {}", message.QueryEntityId().QueryScopedName().narrow(),
        message.DescribeFields());
  }
  Check(code == 0 && messages.size() == 1, "the inbox received the presence change");
  // WakeUp is how another thread stops a worker that waits on the inbox.
  inbox.WakeUp(42);
  Check(inbox.GetMessagesWithCode(messages, 2000) == 42, "a wake-up returned its code");
}

void Renegotiation(CScriptedServer& server, CInProcessConnection& connection,
                   const QueueWatcher& watcher) {
  Say("6. Losing the connection and getting it back");
  connection.Disconnect();
  CRequestObject probe(ServerEntity(), kServerInfoEvent);
  CResponseObject response;
  const bool answered = probe.Send(response, 1000) != 0;
  Check(!connection.IsConnected() && !answered &&
            response.QueryStatus() == eSendStatus::kNotConnected,
        "requests fail with 'not connected' while down");
  connection.Reconnect();  // renegotiates: subscribers hear about it
  server.WaitIdle();
  Check(watcher.Renegotiations() == 1, "the watcher was told of the renegotiation");
  server.Publish(CEntityId(eWorkgroupQueue, u"Sales"), EventCodeFromName(u"QueueStatistics"),
                 QueueStats(0, 5, 0));
  server.WaitIdle();
  Check(watcher.Received() == 4, "the subscription survived the reconnection");
}

}  // namespace

int main() {
  Say("1. Connecting to the process-wide in-process bus");
  // ConnectDefault also makes this connection the default one, which
  // CRequestObject, CNotificationObject and CMessageServer use.
  std::shared_ptr<CInProcessConnection> connection = ConnectDefault();
  CScriptedServer server(CInProcessBus::Default());  // plays the Queue Manager server
  Say("   connection handle {}", CNotifierHandle::GetDefaultHandle().GetHandle());
  Check(connection->IsConnected(), "connected");

  auto watcher = std::make_shared<QueueWatcher>();
  try {
    SynchronousRequest(server);
    Subscription(server, *connection, watcher);
    AsynchronousRequests(server);
    PrivateInbox(server);
    Renegotiation(server, *connection, *watcher);
  } catch (const std::exception& e) {  // e.g. a field read as the wrong type
    Check(false, fmt::format("unexpected exception: {}", e.what()));
  }

  // Tidy up: once StopAllMessages returns, the watcher is never called again.
  connection->StopAllMessages(watcher.get());
  SetDefaultConnection(nullptr);
  if (g_failures == 0) {
    Say("All steps behaved as expected.");
    return 0;
  }
  Say("{} check(s) failed.", g_failures);
  return 1;
}
