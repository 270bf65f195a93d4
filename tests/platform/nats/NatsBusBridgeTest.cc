// An in-process bus with a scripted server, served to NATS clients.

#include <gtest/gtest.h>

#include <nats/nats.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <set>

#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/ScriptedServer.h"
#include "QueueManager/Platform/Thread.h"
#include "platform/nats/NatsServerProcess.h"
#include "platform/notifier/CallbackLog.h"
#include "support/Waits.h"

namespace W4Notifier::testing {
namespace {

const CEntityId kServerEntity(static_cast<ObjectTypes>(29), kAllObjects);
const CEntityId kQueue(static_cast<ObjectTypes>(7), 3u);

// Each test has a nats-server of its own; skipped when none is installed.
class NatsBusBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override { QM_START_NATS_OR_SKIP(server_); }
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

  CallbackLog subscriber;
  ASSERT_EQ(client->StartNotifications(kQueue, 5, &subscriber, 0), eMsgSuccess);
  CMessage body;
  body << std::int32_t{7};
  ASSERT_EQ(scripted.Publish(kQueue, 5, body), eMsgSuccess);
  EXPECT_EQ(subscriber.WaitFor(1), std::vector<std::string>{"notify 7 3.5"});
  client->StopAllMessages(&subscriber);
}

// Answers each request with the handle of the bus connection that sent it.
class SenderEcho : public IRequestHandler {
 public:
  void OnRequest(CInboundRequest request) override {
    CMessage answer;
    answer << std::int32_t{request.QuerySender()};
    request.Reply(answer);
  }
};

std::optional<std::int32_t> SyncSender(CNotifierConnection& client) {
  CMessage response;
  if (client.SendRequest(CRequestObject(kServerEntity, 16), &response, 5000) !=
      eSendStatus::kSuccess)
    return std::nullopt;
  return FirstInt(response);
}

std::optional<std::int32_t> AsyncSender(CNotifierConnection& client) {
  auto log = std::make_shared<CallbackLog>();
  std::uint32_t id = 0;
  if (client.SendAsyncRequest(CRequestObject(kServerEntity, 16), log.get(), 0, 5000, &id, log) !=
      eMsgSuccess)
    return std::nullopt;
  const std::string outcome = log->Await(id);
  if (!outcome.starts_with("success ")) return std::nullopt;
  return std::stoi(outcome.substr(8));
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

// This process's threads by the kernel's number. A joined thread stays
// listed for a moment while the kernel ends it, so a count taken just after
// a join can still hold it: compare which threads, not how many.
std::set<std::string> ThreadIdsOfThisProcess() {
  std::set<std::string> ids;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task"))
    ids.insert(task.path().filename().string());
  return ids;
}

// The threads not in `before`, as "id:name/where-it-waits ...": tells one
// the kernel is still ending (do_exit) from one left waiting.
std::string ThreadsStartedSince(const std::set<std::string>& before) {
  std::string started;
  for (const std::string& id : ThreadIdsOfThisProcess()) {
    if (before.contains(id)) continue;
    const std::filesystem::path task = std::filesystem::path("/proc/self/task") / id;
    std::string name;
    std::string wait;
    std::getline(std::ifstream(task / "comm"), name);
    std::getline(std::ifstream(task / "wchan"), wait);
    started += id + ":" + name + "/" + wait + " ";
  }
  return started;
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
  const std::ptrdiff_t before = std::ssize(ThreadIdsOfThisProcess());
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
    return std::ssize(ThreadIdsOfThisProcess()) - before <= bound;
  })) << std::ssize(ThreadIdsOfThisProcess()) - before;
  natsSubscription_Destroy(inboxes);
  natsConnection_Destroy(raw);
}

// A thread that cannot start (whichever of a call's it is) fails that call
// alone: it ends the threads the call started, and the next call works.
TEST_F(NatsBusBridgeTest, AThreadThatCannotStartFailsItsCallAlone) {
  const CNatsOptions options = Options("threads");
  auto bus = CInProcessBus::Create();
  const struct {
    const char* what;
    int starts;
    std::function<void()> start;
  } rows[] = {
      {"in-process connection", 4, [&] { bus->Connect({.deliveryThreads = 3}); }},
      {"NATS connection", 3, [&] { ConnectNats(options); }},
      {"bridge", 4, [&] { CNatsBusBridge(options, "threads", bus); }},
  };
  const std::string reason =
      std::make_error_code(std::errc::resource_unavailable_try_again).message();
  for (const auto& row : rows) {
    row.start();  // the threads that live as long as the process start with the first
    for (int failing = 0; failing < row.starts; ++failing) {
      SCOPED_TRACE(row.what + (" start " + std::to_string(failing)));
      const std::set<std::string> before = ThreadIdsOfThisProcess();
      W4Os::FailThreadStart(failing);
      try {
        row.start();
        ADD_FAILURE() << "no failure";
      } catch (const std::exception& error) {
        EXPECT_NE(std::string(error.what()).find(reason), std::string::npos) << error.what();
      }
      W4Os::FailThreadStart(-1);
      std::string left;
      EXPECT_TRUE(QueueManager::testing::Eventually([&] {
        left = ThreadsStartedSince(before);
        return left.empty();
      })) << "left running: "
          << left;
      EXPECT_NO_THROW(row.start());
    }
  }
  // A NATS client whose bus connection cannot start is refused, not served
  // as another client.
  const EchoBridge bridge(options);
  auto client = ConnectNats(options);
  W4Os::FailThreadStart(0);
  EXPECT_EQ(SyncSender(*client), std::nullopt);
  EXPECT_NE(SyncSender(*client), std::nullopt);
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
  CallbackLog log;  // one object for answers and notifications, as the library's cache is
  ASSERT_EQ(client->StartNotifications(kQueue, 0, &log, 0), eMsgSuccess);
  constexpr int kRequests = 50;
  std::vector<std::string> expected;
  for (std::int32_t i = 0; i < kRequests; ++i) {
    CRequestObject request(kServerEntity, 1);
    request << i;
    std::uint32_t id = 0;
    ASSERT_EQ(client->SendAsyncRequest(request, &log, 0, 5000, &id), eMsgSuccess);
    expected.push_back(std::to_string(id) + " success " + std::to_string(i));
    expected.push_back("notify " + std::to_string(i) + " 3.0");
  }
  EXPECT_EQ(log.WaitFor(expected.size()), expected);
  client->StopAllMessages(&log);
  bus->SetRequestHandler(nullptr);
}

}  // namespace
}  // namespace W4Notifier::testing
