// An in-process bus with a scripted server, served to NATS clients.

#include <gtest/gtest.h>

#include <nats/nats.h>

#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>

#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/ScriptedServer.h"
#include "platform/nats/NatsServerProcess.h"
#include "support/Waits.h"

namespace W4Notifier::testing {
namespace {

const CEntityId kServerEntity(static_cast<ObjectTypes>(29), kAllObjects);
const CEntityId kQueue(static_cast<ObjectTypes>(7), 3u);

// Keeps the first notification it receives.
class FirstNotification : public IMessageCallback {
 public:
  void OnMessageReceived(CMessage& message) override {
    std::lock_guard lock(mutex_);
    if (!received_) received_ = message;
    cv_.notify_all();
  }
  std::optional<CMessage> Await() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return received_.has_value(); });
    return received_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::optional<CMessage> received_;
};

// Each test has a nats-server of its own; skipped when none is installed.
class NatsBusBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (NatsServerProcess::FindProgram().empty())
      GTEST_SKIP() << "nats-server is not installed (apt-get install nats-server)";
    std::string error;
    ASSERT_TRUE(server_.Start(error)) << error;
  }
  CNatsOptions Options(const std::string& root) const {
    CNatsOptions options;
    options.urls = {server_.Url()};
    options.root = root;
    return options;
  }
  NatsServerProcess server_;
};

TEST_F(NatsBusBridgeTest, ServesTheBusHandlerAndPublishesItsNotifications) {
  const CNatsOptions options = Options("bridge");

  auto bus = CInProcessBus::Create();
  CScriptedServer scripted(bus);
  CMessage answer;
  answer << std::int32_t{42};
  scripted.Respond(kServerEntity, 16, answer);
  CMessage reason;
  reason << std::string("not here");
  scripted.Reject(kServerEntity, 17, reason);
  CNatsBusBridge bridge(options, "bridges", bus);

  auto client = ConnectNats(options);
  CMessage response;
  ASSERT_EQ(client->SendRequest(CRequestObject(kServerEntity, 16), &response, 5000),
            eSendStatus::kSuccess);
  std::int32_t value = 0;
  response >> value;
  EXPECT_EQ(value, 42);
  ASSERT_EQ(client->SendRequest(CRequestObject(kServerEntity, 17), &response, 5000),
            eSendStatus::kRejected);
  std::string text;
  response >> text;
  EXPECT_EQ(text, "not here");

  FirstNotification subscriber;
  ASSERT_EQ(client->StartNotifications(kQueue, 5, &subscriber, 0), eMsgSuccess);
  CMessage body;
  body << std::int32_t{7};
  ASSERT_EQ(scripted.Publish(kQueue, 5, body), eMsgSuccess);
  const std::optional<CMessage> notification = subscriber.Await();
  client->StopAllMessages(&subscriber);
  ASSERT_TRUE(notification.has_value());
  EXPECT_EQ(notification->QueryEntityId(), kQueue);
  EXPECT_EQ(notification->QueryEventId(), 5);
  std::int32_t field = 0;
  *notification >> field;
  EXPECT_EQ(field, 7);
}

// Answers each request with the handle of the bus connection that sent it.
class SenderEcho : public IRequestHandler {
 public:
  void OnRequest(CInboundRequest request) override {
    CMessage answer;
    answer << request.QuerySender();
    request.Reply(answer);
  }
};

// Records the one answer of an asynchronous request.
class AsyncAnswer : public IAsyncResponseCallback {
 public:
  void OnAsyncResponseSuccess(std::uint32_t, CMessage& response) override { Set(response); }
  void OnAsyncResponseRejected(std::uint32_t, CMessage&) override { Set(std::nullopt); }
  void OnAsyncResponseTimeout(std::uint32_t) override { Set(std::nullopt); }
  std::optional<CMessage> Await() {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return done_; });
    return answer_;
  }

 private:
  void Set(std::optional<CMessage> answer) {
    std::lock_guard lock(mutex_);
    answer_ = std::move(answer);
    done_ = true;
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::optional<CMessage> answer_;
};

std::optional<std::uint16_t> SyncSender(CNotifierConnection& client) {
  CMessage response;
  if (client.SendRequest(CRequestObject(kServerEntity, 16), &response, 5000) !=
      eSendStatus::kSuccess)
    return std::nullopt;
  std::uint16_t sender = 0;
  response >> sender;
  return sender;
}

std::optional<std::uint16_t> AsyncSender(CNotifierConnection& client) {
  auto answer = std::make_shared<AsyncAnswer>();
  if (client.SendAsyncRequest(CRequestObject(kServerEntity, 16), answer.get(), 0, 5000, nullptr,
                              answer) != eMsgSuccess)
    return std::nullopt;
  std::optional<CMessage> response = answer->Await();
  if (!response) return std::nullopt;
  std::uint16_t sender = 0;
  *response >> sender;
  return sender;
}

// A bus served by a SenderEcho, put on NATS.
class EchoBridge {
 public:
  explicit EchoBridge(const CNatsOptions& options) {
    bus_->SetRequestHandler(&echo_);
    bridge_.emplace(options, "bridges", bus_);
  }
  ~EchoBridge() {
    bridge_.reset();
    bus_->SetRequestHandler(nullptr);
  }

 private:
  std::shared_ptr<CInProcessBus> bus_ = CInProcessBus::Create();
  SenderEcho echo_;
  std::optional<CNatsBusBridge> bridge_;
};

TEST_F(NatsBusBridgeTest, EachNatsClientIsASenderOfItsOwn) {
  const CNatsOptions options = Options("senders");
  const EchoBridge bridge(options);
  auto first = ConnectNats(options);
  auto second = ConnectNats(options);
  const auto firstSync = SyncSender(*first);
  const auto secondSync = SyncSender(*second);
  ASSERT_TRUE(firstSync && secondSync);
  EXPECT_NE(*firstSync, *secondSync);
  // Synchronous and asynchronous requests of one client, and its later
  // requests, come from the same sender.
  EXPECT_EQ(AsyncSender(*first), firstSync);
  EXPECT_EQ(AsyncSender(*second), secondSync);
  EXPECT_EQ(SyncSender(*first), firstSync);
}

std::ptrdiff_t ThreadsOfThisProcess() {
  return std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                       std::filesystem::directory_iterator());
}

// Each distinct sender costs the bridge a bus connection with threads: many
// of them, as from clients that come and go, keep the threads bounded.
TEST_F(NatsBusBridgeTest, ManyClientsCostABoundedNumberOfThreads) {
  const CNatsOptions options = Options("many");
  const EchoBridge bridge(options);
  natsConnection* raw = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&raw, server_.Url().c_str()), NATS_OK);
  natsSubscription* inboxes = nullptr;
  ASSERT_EQ(natsConnection_SubscribeSync(&inboxes, raw, "many.i.>"), NATS_OK);
  ASSERT_EQ(natsConnection_Flush(raw), NATS_OK);
  const std::ptrdiff_t before = ThreadsOfThisProcess();
  const std::vector<std::uint8_t> body = CRequestObject(kServerEntity, 16).Serialize();
  for (std::size_t i = 0; i < 3 * CNatsBusBridge::kMaxClients; ++i) {
    // A client of its own for each request: the client token of the subject.
    const std::string client = "c" + std::to_string(i);
    const std::string subject = "many.r." + client + ".29.1.16";
    const std::string reply = "many.i." + client + ".x.1";
    ASSERT_EQ(natsConnection_PublishRequest(raw, subject.c_str(), reply.c_str(), body.data(),
                                            static_cast<int>(body.size())),
              NATS_OK);
    natsMsg* answer = nullptr;
    ASSERT_EQ(natsSubscription_NextMsg(&answer, inboxes, 5000), NATS_OK) << i;
    EXPECT_STREQ(natsMsg_GetSubject(answer), reply.c_str());
    const char* rejected = nullptr;
    EXPECT_NE(natsMsgHeader_Get(answer, kRejectedHeader, &rejected), NATS_OK) << i;
    natsMsg_Destroy(answer);
  }
  const std::ptrdiff_t bound = 2 * static_cast<std::ptrdiff_t>(CNatsBusBridge::kMaxClients) + 4;
  EXPECT_TRUE(QueueManager::testing::Eventually([&] {
    return ThreadsOfThisProcess() - before <= bound;
  })) << ThreadsOfThisProcess() - before;
  natsSubscription_Destroy(inboxes);
  natsConnection_Destroy(raw);
}

// The client is the request subject's: answers and renegotiation notices go
// only under that client's inbox, and a request whose reply subject is not
// there is dropped unanswered (a client may not have rejections sent to
// another, nor pose as it).
TEST_F(NatsBusBridgeTest, AnswersAndNoticesGoOnlyToTheInboxOfTheSubjectsClient) {
  const CNatsOptions options = Options("links");
  std::mutex mutex;
  std::vector<std::pair<std::string, CNatsSenderLink>> served;
  CNatsResponder responder(options, "links", [&](CNatsRequest request) {
    {
      std::lock_guard lock(mutex);
      served.emplace_back(request.SenderName(), request.SenderLink());
    }
    request.Reply(CMessage());
  });
  natsConnection* raw = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&raw, server_.Url().c_str()), NATS_OK);
  natsSubscription* inboxes = nullptr;
  ASSERT_EQ(natsConnection_SubscribeSync(&inboxes, raw, "links.i.>"), NATS_OK);
  const std::vector<std::uint8_t> body = CMessage().Serialize();
  // In order from one publisher to one responder: the last is answered only
  // after the others were dropped.
  for (const char* reply : {"links.i.bob.x.1", "links.i.alice", "links.x.alice.1",
                            "links.i.alice-x.1", "links.i.alice.x.1"}) {
    ASSERT_EQ(natsConnection_PublishRequest(raw, "links.r.alice.3.1.16", reply, body.data(),
                                            int(body.size())),
              NATS_OK);
  }
  natsMsg* msg = nullptr;
  ASSERT_EQ(natsSubscription_NextMsg(&msg, inboxes, 5000), NATS_OK);
  EXPECT_STREQ(natsMsg_GetSubject(msg), "links.i.alice.x.1");
  natsMsg_Destroy(msg);
  {
    std::lock_guard lock(mutex);
    ASSERT_EQ(served.size(), 1u);
    EXPECT_EQ(served[0].first, "alice");
    EXPECT_TRUE(served[0].second.TellRenegotiated());
  }
  ASSERT_EQ(natsSubscription_NextMsg(&msg, inboxes, 5000), NATS_OK);
  EXPECT_STREQ(natsMsg_GetSubject(msg), "links.i.alice.renegotiated");
  natsMsg_Destroy(msg);
  int pending = 0;
  natsConnection_Flush(raw);
  natsSubscription_GetPending(inboxes, &pending, nullptr);
  EXPECT_EQ(pending, 0);
  natsSubscription_Destroy(inboxes);
  natsConnection_Destroy(raw);
}

}  // namespace
}  // namespace W4Notifier::testing

namespace W4Notifier::testing {
namespace {

// Answers each request with its number, then publishes the number on kQueue.
class AnswerThenPublish : public IRequestHandler {
 public:
  explicit AnswerThenPublish(const std::shared_ptr<CInProcessBus>& bus) : out_(bus->Connect()) {}
  void OnRequest(CInboundRequest request) override {
    std::int32_t number = 0;
    request.Message() >> number;
    CMessage body;
    body << number;
    request.Reply(body);
    out_->Publish(CNotificationObject(kQueue, 0) << number);
  }

 private:
  std::shared_ptr<CInProcessConnection> out_;
};

// One object for answers and notifications, as the library's cache is.
class OrderLog : public IAsyncResponseCallback, public IMessageCallback {
 public:
  void OnAsyncResponseSuccess(std::uint32_t, CMessage& response) override {
    Add("answer", response);
  }
  void OnAsyncResponseRejected(std::uint32_t, CMessage&) override { Add("rejected"); }
  void OnAsyncResponseTimeout(std::uint32_t) override { Add("timeout"); }
  void OnMessageReceived(CMessage& message) override { Add("notify", message); }
  std::vector<std::string> Await(std::size_t count) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return log_.size() >= count; });
    return log_;
  }

 private:
  void Add(const std::string& what, CMessage& message) {
    std::int32_t number = -1;
    message >> number;
    Add(what + " " + std::to_string(number));
  }
  void Add(std::string entry) {
    std::lock_guard lock(mutex_);
    log_.push_back(std::move(entry));
    cv_.notify_all();
  }
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> log_;
};

// What the server sends after an answer reaches the client after it, as on
// the bus: a cache must not apply a load's answer over a later change.
TEST_F(NatsBusBridgeTest, AnAnswerComesBeforeWhatTheServerPublishedAfterIt) {
  CNatsOptions options = Options("");
  options.root = CNatsOptions().root;
  auto bus = CInProcessBus::Create();
  AnswerThenPublish handler(bus);
  bus->SetRequestHandler(&handler);
  CNatsBusBridge bridge(options, "bridges", bus);
  auto client = ConnectNats(options);
  OrderLog log;
  ASSERT_EQ(client->StartNotifications(kQueue, 0, &log, 0), eMsgSuccess);
  constexpr int kRequests = 50;
  std::vector<std::string> expected;
  for (std::int32_t i = 0; i < kRequests; ++i) {
    CRequestObject request(kServerEntity, 1);
    request << i;
    ASSERT_EQ(client->SendAsyncRequest(request, &log, 0, 5000), eMsgSuccess);
    expected.push_back("answer " + std::to_string(i));
    expected.push_back("notify " + std::to_string(i));
  }
  EXPECT_EQ(log.Await(expected.size()), expected);
  client->StopAllMessages(&log);
  bus->SetRequestHandler(nullptr);
}

}  // namespace
}  // namespace W4Notifier::testing
