// The NATS notifier against a real nats-server on a loopback port.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <nats/nats.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <tuple>
#include <vector>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/MessageServer.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "platform/nats/NatsServerProcess.h"
#include "platform/notifier/CallbackLog.h"
#include "support/Waits.h"

namespace W4Notifier::testing {
namespace {

using namespace std::chrono_literals;

constexpr auto kPatience = 10s;  // far beyond any wait that succeeds
const CEntityId kQueueA(static_cast<ObjectTypes>(7), 12u);
const CEntityId kServerEntity(static_cast<ObjectTypes>(29), kAllObjects);

// A subscriber is a CallbackLog; `Subscriber::values` are its notifications'.
using Subscriber = CallbackLog;
using OutcomeRecorder = CallbackLog;

// Stops a subscriber's subscriptions when leaving the scope, before the
// subscriber goes (declare it after the subscriber): a callback may still be
// running when the test has seen what it waited for.
class StopOnExit {
 public:
  StopOnExit(CNotifierConnection& connection, std::vector<IMessageCallback*> subscribers)
      : connection_(connection), subscribers_(std::move(subscribers)) {}
  ~StopOnExit() {
    for (IMessageCallback* subscriber : subscribers_) connection_.StopAllMessages(subscriber);
  }
  StopOnExit(const StopOnExit&) = delete;
  StopOnExit& operator=(const StopOnExit&) = delete;

 private:
  CNotifierConnection& connection_;
  std::vector<IMessageCallback*> subscribers_;
};

CMessage Notification(const CEntityId& entity, std::int32_t value) {
  CNotificationObject message(entity, 0);
  message << value;
  return message;
}

class NatsTransportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    QM_START_NATS_OR_SKIP(server_);
    options_.urls = {server_.Url()};
    options_.root = "qmtest";
    options_.reconnectWaitMs = 20;
    options_.reconnectJitterMs = 10;
    client_ = ConnectNats(options_);
  }

  // Serves with `handler` from now on.
  void Serve(CNatsResponder::Handler handler) {
    responder_ = std::make_unique<CNatsResponder>(options_, "servers", std::move(handler));
  }

  // A handler that answers the request's int field plus one, rejects 0 with
  // its reason, and keeps requests with the field -1 unanswered.
  CNatsResponder::Handler Arithmetic() {
    return [this](CNatsRequest request) {
      std::int32_t value = 0;
      request.Message() >> value;
      CMessage body;
      if (value == -1) {
        std::lock_guard lock(heldMutex_);
        held_.push_back(std::move(request));
        return;
      }
      if (value == 0) {
        body << std::string("zero refused");
        request.Reply(body, /*rejected=*/true);
        return;
      }
      body << value + 1;
      request.Reply(body);
    };
  }

  CRequestObject Request(std::int32_t value) {
    CRequestObject request(kServerEntity, 10);
    request << value;
    return request;
  }

  NatsServerProcess server_;
  CNatsOptions options_;
  std::shared_ptr<CNotifierConnection> client_;
  std::unique_ptr<CNatsResponder> responder_;
  std::mutex heldMutex_;
  std::vector<CNatsRequest> held_;
};

// Beyond what the server takes in one message (1 MB by default), a request,
// its answer and a notification travel in parts and arrive whole.
TEST_F(NatsTransportTest, MessagesBeyondTheServersLimitArriveWhole) {
  const std::string big(std::size_t{3} << 20, 'x');
  Serve([](CNatsRequest request) {
    std::string text;
    request.Message() >> text;
    CMessage body;
    body << text + "!";
    request.Reply(body);
  });
  CRequestObject request(kServerEntity, 10);
  request << big;
  CMessage response;
  ASSERT_EQ(client_->SendRequest(request, &response, 10000), eSendStatus::kSuccess);
  std::string answer;
  response >> answer;
  EXPECT_EQ(answer, big + "!");
  Subscriber subscriber;
  StopOnExit stop(*client_, {&subscriber});
  ASSERT_EQ(client_->StartNotifications(kQueueA, 0, &subscriber, 0), eMsgSuccess);
  CMessage notification = Notification(kQueueA, 5);
  notification << big;
  ASSERT_TRUE(responder_->Publish(notification));
  ASSERT_TRUE(subscriber.AwaitValues(1));
  EXPECT_EQ(subscriber.Values(), std::vector<std::int32_t>{5});
}

// Responders sharing the requests are told apart: a client that only
// listens renegotiates once for each that starts (or starts again), and not
// as the requests go to one or the other.
TEST_F(NatsTransportTest, EachResponderThatStartsRenegotiatesOnce) {
  Serve(Arithmetic());
  CMessage response;
  ASSERT_EQ(client_->SendRequest(Request(1), &response, 5000), eSendStatus::kSuccess);
  Subscriber subscriber;
  StopOnExit stop(*client_, {&subscriber});
  ASSERT_EQ(client_->StartNotifications(kQueueA, 0, &subscriber, 0), eMsgSuccess);
  auto renegotiated = [&](int count) { return subscriber.AwaitCount("renegotiated", count); };
  auto other = std::make_unique<CNatsResponder>(options_, "servers", Arithmetic());
  ASSERT_TRUE(renegotiated(1));
  for (std::int32_t i = 1; i < 20; ++i) client_->SendRequest(Request(i), &response, 5000);
  other = std::make_unique<CNatsResponder>(options_, "servers", Arithmetic());
  ASSERT_TRUE(renegotiated(2));
  // Delivered after any renegotiation the requests could have queued.
  ASSERT_TRUE(responder_->Publish(Notification(kQueueA, 7)));
  ASSERT_TRUE(subscriber.AwaitValues(1));
  EXPECT_EQ(Subscriber::Count(subscriber.Lines(), "renegotiated"), 2u);
}

TEST_F(NatsTransportTest, SynchronousRequestsGetTheirAnswerOrRejection) {
  Serve(Arithmetic());
  CMessage response;
  ASSERT_EQ(client_->SendRequest(Request(41), &response, 5000), eSendStatus::kSuccess);
  std::int32_t answer = 0;
  response >> answer;
  EXPECT_EQ(answer, 42);
  EXPECT_EQ(response.QueryEntityId(), kServerEntity);

  CMessage rejection;
  ASSERT_EQ(client_->SendRequest(Request(0), &rejection, 5000), eSendStatus::kRejected);
  std::string reason;
  rejection >> reason;
  EXPECT_EQ(reason, "zero refused");
}

TEST_F(NatsTransportTest, NoResponderFailsAtOnceRatherThanTimingOut) {
  // With nobody serving, a time-out of the whole patience would show up as
  // kTimeout / "timeout"; the server's "no responders" ends both at once.
  const auto longWait = static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(kPatience).count() * 3);
  CMessage response;
  EXPECT_EQ(client_->SendRequest(Request(1), &response, longWait), eSendStatus::kNoRoute);
  OutcomeRecorder outcomes;
  std::uint32_t id = 0;
  ASSERT_EQ(client_->SendAsyncRequest(Request(1), &outcomes, 0, longWait, &id), eMsgSuccess);
  EXPECT_EQ(outcomes.Await(id), "rejected");
}

TEST_F(NatsTransportTest, AsynchronousRequestsEndExactlyOnce) {
  Serve(Arithmetic());
  OutcomeRecorder outcomes;
  struct Row {
    std::int32_t value;
    std::uint32_t timeoutMs;
    bool cancel;
    const char* outcome;
  };
  const Row rows[] = {
      {5, 5000, false, "success 6"},
      {0, 5000, false, "rejected"},
      {-1, 50, false, "timeout"},
      {-1, 5000, true, "cancelled"},
  };
  std::vector<std::uint32_t> ids;
  for (const Row& row : rows) {
    std::uint32_t id = 0;
    ASSERT_EQ(client_->SendAsyncRequest(Request(row.value), &outcomes, 0, row.timeoutMs, &id),
              eMsgSuccess);
    if (row.cancel) {
      EXPECT_EQ(client_->CancelAsyncRequest(id), eMsgSuccess);
    }
    EXPECT_EQ(outcomes.Await(id), row.outcome) << row.value;
    ids.push_back(id);
  }
  // Answers that come after a time-out or a cancellation are dropped. The
  // round trip after them runs through the same connection in order, so any
  // stray outcome would be queued before its answer.
  {
    std::lock_guard lock(heldMutex_);
    for (CNatsRequest& request : held_) {
      CMessage body;
      body << 99;
      request.Reply(body);
    }
  }
  CMessage response;
  ASSERT_EQ(client_->SendRequest(Request(7), &response, 5000), eSendStatus::kSuccess);
  std::uint32_t last = 0;
  ASSERT_EQ(client_->SendAsyncRequest(Request(8), &outcomes, 0, 5000, &last), eMsgSuccess);
  EXPECT_EQ(outcomes.Await(last), "success 9");
  for (std::uint32_t id : ids) {
    EXPECT_EQ(outcomes.CountOf(id), 1u) << id;
  }
  EXPECT_EQ(client_->CancelAsyncRequest(ids.front()), eMsgNotFound);
}

TEST_F(NatsTransportTest, RequestsNameTheirSenderAndHowLongItWaits) {
  QueueManager::testing::WaitableLog senders;
  std::vector<std::uint32_t> waits;  // written before the log line that tells of it
  Serve([&](CNatsRequest request) {
    waits.push_back(request.WaitMilliseconds());
    senders.Add(request.SenderName());
    CMessage body;
    body << 1;
    request.Reply(body);
  });
  CMessage response;
  ASSERT_EQ(client_->SendRequest(Request(1), &response, 4321), eSendStatus::kSuccess);
  OutcomeRecorder outcomes;
  std::uint32_t id = 0;
  ASSERT_EQ(client_->SendAsyncRequest(Request(1), &outcomes, 0, 7654, &id), eMsgSuccess);
  EXPECT_EQ(outcomes.Await(id), "success 1");
  ASSERT_EQ(client_->SendRequest(Request(1), nullptr, 0), eSendStatus::kSuccess);
  // Requests of two connections may arrive in either order: the other one
  // sends once the one-way request arrived.
  ASSERT_EQ(senders.WaitFor(3).size(), 3u);
  auto other = ConnectNats(options_);
  ASSERT_EQ(other->SendRequest(Request(1), &response, 1000), eSendStatus::kSuccess);
  const std::vector<std::string> seen = senders.WaitFor(4);
  responder_.reset();  // the handler refers to this test's locals
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_FALSE(seen[0].empty());
  EXPECT_EQ(seen[1], seen[0]);
  EXPECT_EQ(seen[2], seen[0]);
  EXPECT_NE(seen[3], seen[0]);
  // A one-way request waits for nothing.
  EXPECT_EQ(waits, (std::vector<std::uint32_t>{4321, 7654, 0, 1000}));
}

TEST_F(NatsTransportTest, NotificationsArriveInOrderWithTheirEntity) {
  Subscriber subscriber;
  Subscriber everyQueue;
  const StopOnExit stop(*client_, {&subscriber, &everyQueue});
  ASSERT_EQ(client_->StartNotifications(kQueueA, 0, &subscriber, 0), eMsgSuccess);
  ASSERT_EQ(client_->StartNotifications(CEntityId(kQueueA.QueryObjectType(), kAllObjects), 0,
                                        &everyQueue, 0),
            eMsgSuccess);
  auto publisher = ConnectNats(options_);
  const CEntityId otherQueue(kQueueA.QueryObjectType(), 13u);
  constexpr int kCount = 300;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_EQ(publisher->Publish(Notification(i % 2 == 0 ? kQueueA : otherQueue, i)), eMsgSuccess);
  }
  ASSERT_TRUE(everyQueue.AwaitValues(kCount));
  ASSERT_TRUE(subscriber.AwaitValues(kCount / 2));
  const std::vector<std::string> lines = subscriber.Lines();
  for (int i = 0; i < kCount / 2; ++i) ASSERT_EQ(lines[i], fmt::format("notify {} 12.0", 2 * i));
  const std::vector<std::int32_t> all = everyQueue.Values();
  for (int i = 0; i < kCount; ++i) ASSERT_EQ(all[i], i);
}

TEST_F(NatsTransportTest, NoCallbackAfterStopReturns) {
  // Stopped from another thread while notifications stream in, and from
  // inside its own callback: neither is called afterwards, and a sentinel
  // subscribed to the same entity shows that the later ones did arrive.
  Subscriber fromOutside;
  Subscriber fromInside;
  Subscriber sentinel;
  const StopOnExit stop(*client_, {&fromOutside, &fromInside, &sentinel});
  fromInside.onValue = [&](std::int32_t value) {
    if (value == 10) client_->StopAllMessages(&fromInside);
  };
  for (Subscriber* s : {&fromOutside, &fromInside, &sentinel}) {
    ASSERT_EQ(client_->StartNotifications(kQueueA, 0, s, 0), eMsgSuccess);
  }
  auto publisher = ConnectNats(options_);
  constexpr int kCount = 400;
  std::jthread publishing([&] {
    for (int i = 0; i < kCount; ++i) publisher->Publish(Notification(kQueueA, i));
  });
  ASSERT_TRUE(fromOutside.AwaitValues(5));
  ASSERT_EQ(client_->StopNotifications(kQueueA, 0, &fromOutside, 0), eMsgSuccess);
  const std::size_t heardByOutside = fromOutside.Lines().size();
  publishing.join();
  ASSERT_TRUE(sentinel.AwaitValues(kCount));
  EXPECT_EQ(fromOutside.Lines().size(), heardByOutside);
  EXPECT_EQ(fromInside.Values().back(), 10);
  EXPECT_EQ(client_->StopNotifications(kQueueA, 0, &fromOutside, 0), eMsgNotFound);
}

TEST_F(NatsTransportTest, ServerRestartRenegotiatesAndRequestsFailFastWhileDown) {
  Serve(Arithmetic());
  Subscriber subscriber;
  const StopOnExit stop(*client_, {&subscriber});
  ASSERT_EQ(client_->StartNotifications(kQueueA, 0, &subscriber, 0), eMsgSuccess);
  OutcomeRecorder outcomes;
  std::uint32_t pending = 0;
  ASSERT_EQ(client_->SendAsyncRequest(Request(-1), &outcomes, 0, 60000, &pending), eMsgSuccess);
  CMessage response;
  ASSERT_EQ(client_->SendRequest(Request(1), &response, 5000), eSendStatus::kSuccess);

  server_.Kill();
  EXPECT_EQ(outcomes.Await(pending), "connection loss");
  // The disconnection is known now: nothing waits for a server that is gone.
  EXPECT_FALSE(client_->IsConnected());
  EXPECT_EQ(client_->SendRequest(Request(1), &response, 60000), eSendStatus::kNotConnected);
  EXPECT_EQ(client_->SendRequest(Request(1), nullptr, 0), eSendStatus::kNotConnected);
  EXPECT_EQ(client_->SendAsyncRequest(Request(1), &outcomes, 0, 60000), eMsgNotConnected);
  EXPECT_EQ(client_->Publish(Notification(kQueueA, 1)), eMsgNotConnected);

  std::string error;
  ASSERT_TRUE(server_.Start(error)) << error;
  ASSERT_TRUE(subscriber.AwaitCount("renegotiated", 1));
  EXPECT_TRUE(client_->IsConnected());
  // The subscription was restored before the callback.
  ASSERT_EQ(client_->Publish(Notification(kQueueA, 77)), eMsgSuccess);
  ASSERT_TRUE(subscriber.AwaitValues(1));
  EXPECT_EQ(outcomes.CountOf(pending), 1u);
  client_->StopAllMessages(&subscriber);
  EXPECT_EQ(subscriber.Values(), std::vector<std::int32_t>{77});
}

// A server process that goes away while the NATS server stays: what it
// published meanwhile is lost, so its return renegotiates, once a request
// found it missing (not before: the reload would find nobody either).
TEST_F(NatsTransportTest, ARequestThatFoundNoServerRenegotiatesWhenOneIsBack) {
  std::atomic<bool> serving{false};
  std::atomic<int> early{0};
  Subscriber subscriber;
  subscriber.onRenegotiated = [&] { early += serving.load() ? 0 : 1; };
  const StopOnExit stop(*client_, {&subscriber});
  ASSERT_EQ(client_->StartNotifications(kQueueA, 0, &subscriber, 0), eMsgSuccess);
  CMessage response;
  ASSERT_EQ(client_->SendRequest(Request(1), &response, 5000), eSendStatus::kNoRoute);
  OutcomeRecorder outcomes;
  std::uint32_t refused = 0;
  ASSERT_EQ(client_->SendAsyncRequest(Request(1), &outcomes, 0, 5000, &refused), eMsgSuccess);
  EXPECT_EQ(outcomes.Await(refused), "rejected");
  serving = true;
  Serve(Arithmetic());
  ASSERT_TRUE(subscriber.AwaitCount("renegotiated", 1));
  EXPECT_EQ(early.load(), 0);
  EXPECT_EQ(client_->SendRequest(Request(1), &response, 5000), eSendStatus::kSuccess);
}

TEST_F(NatsTransportTest, OptionsComeFromTheEnvironment) {
  CNatsOptions options;
  ::unsetenv(kNatsUrlVariable);
  EXPECT_FALSE(NatsOptionsFromEnvironment(options));
  ::setenv(kNatsUrlVariable, " nats://a:1, nats://b:2 ,", 1);
  ::setenv(kNatsRootVariable, "site1", 1);
  ASSERT_TRUE(NatsOptionsFromEnvironment(options));
  EXPECT_EQ(options.urls, (std::vector<std::string>{"nats://a:1", "nats://b:2"}));
  EXPECT_EQ(options.root, "site1");
  ::unsetenv(kNatsRootVariable);
  // The identity; a secret also from a file, which wins.
  const std::string secret = ::testing::TempDir() + "qm-nats-secret";
  std::ofstream(secret) << "from-file\n";
  const std::pair<const char*, const char*> identity[] = {{"QM_NATS_CLIENT", "c1"},
                                                          {"QM_NATS_USER", "u"},
                                                          {"QM_NATS_PASSWORD", "direct"},
                                                          {"QM_NATS_PASSWORD_FILE", secret.c_str()},
                                                          {"QM_NATS_TOKEN", "t"},
                                                          {"QM_NATS_CA", "ca.pem"},
                                                          {"QM_NATS_TLS", "1"}};
  for (const auto& [name, value] : identity) ::setenv(name, value, 1);
  ASSERT_TRUE(NatsOptionsFromEnvironment(options));
  EXPECT_EQ(std::tie(options.client, options.user, options.password, options.token, options.caFile,
                     options.secure),
            std::make_tuple("c1", "u", "from-file", "t", "ca.pem", true));
  ::setenv("QM_NATS_PASSWORD_FILE", (secret + ".missing").c_str(), 1);
  EXPECT_THROW(NatsOptionsFromEnvironment(options), CNotifierException);
  for (const auto& [name, value] : identity) ::unsetenv(name);
  std::remove(secret.c_str());

  // The application's choice: NATS when the variable names a server, else
  // the in-process bus.
  ::setenv(kNatsUrlVariable, server_.Url().c_str(), 1);
  auto configured = ConnectConfiguredDefault();
  EXPECT_EQ(CNotifierHandle::GetDefaultConnection(), configured);
  EXPECT_EQ(dynamic_cast<CInProcessConnection*>(configured.get()), nullptr);
  EXPECT_TRUE(configured->IsConnected());
  ::unsetenv(kNatsUrlVariable);
  SetDefaultConnection(nullptr);
  configured = ConnectConfiguredDefault();
  EXPECT_NE(dynamic_cast<CInProcessConnection*>(configured.get()), nullptr);
  SetDefaultConnection(nullptr);

  CNatsOptions bad = options_;
  bad.root = "q m";
  EXPECT_THROW(ConnectNats(bad), CNotifierException);
}

TEST_F(NatsTransportTest, WhatIsNotANotificationIsSkippedAndTheRestStillArrive) {
  Subscriber subscriber;
  const StopOnExit stop(*client_, {&subscriber});
  const ObjectTypes type = kQueueA.QueryObjectType();
  ASSERT_EQ(client_->StartNotifications(CEntityId(type, kAllObjects), 0, &subscriber, 0),
            eMsgSuccess);
  const std::vector<std::uint8_t> good = Notification(kQueueA, 0).Serialize();
  const std::string whole(good.begin(), good.end());
  const struct {
    const char* subject;
    std::string payload;
  } rows[] = {
      {"qmtest.n.7.12.0._", "not a message"},
      {"qmtest.n.7.12.0._", ""},
      {"qmtest.n.7.12.0._", whole.substr(0, whole.size() / 2)},
      {"qmtest.n.7.x12.0._", whole},   // no object id
      {"qmtest.n.7.12.0.%zz", whole},  // no event name
  };
  natsConnection* raw = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&raw, server_.Url().c_str()), NATS_OK);
  auto publisher = ConnectNats(options_);
  std::int32_t value = 0;
  for (const auto& row : rows) {
    EXPECT_EQ(natsConnection_Publish(raw, row.subject, row.payload.data(),
                                     static_cast<int>(row.payload.size())),
              NATS_OK);
    EXPECT_EQ(natsConnection_Flush(raw), NATS_OK);  // the server has it before the last one
    ASSERT_EQ(publisher->Publish(Notification(kQueueA, value++)), eMsgSuccess);
  }
  natsConnection_Destroy(raw);
  const CEntityId last(type, 13u);
  ASSERT_EQ(publisher->Publish(Notification(last, value)), eMsgSuccess);
  ASSERT_TRUE(subscriber.AwaitValues(static_cast<std::size_t>(value) + 1));
  EXPECT_EQ(subscriber.Values(), (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(subscriber.Lines().back(), "notify 5 13.0");
}

TEST_F(NatsTransportTest, WhatManyThreadsQueueArrivesWholeAndInOrder) {
  // Notifications of four publishers and answers (handed over by libnats's
  // thread) meet cancellations (an application thread) in one delivery
  // queue.
  constexpr int kPublishers = 4;
  constexpr int kPerPublisher = 500;
  constexpr int kRequests = 200;
  Serve(Arithmetic());
  Subscriber subscriber;
  const StopOnExit stop(*client_, {&subscriber});
  ASSERT_EQ(client_->StartNotifications(kQueueA, 0, &subscriber, 0), eMsgSuccess);
  OutcomeRecorder outcomes;
  std::vector<std::uint32_t> ids;
  {
    std::vector<std::jthread> threads;
    for (int p = 0; p < kPublishers; ++p) {
      threads.emplace_back([this, p] {
        auto publisher = ConnectNats(options_);
        for (int i = 0; i < kPerPublisher; ++i)
          publisher->Publish(Notification(kQueueA, p * 10000 + i));
      });
    }
    for (int i = 1; i <= kRequests; ++i) {
      std::uint32_t id = 0;
      ASSERT_EQ(client_->SendAsyncRequest(Request(i), &outcomes, 0, 10000, &id), eMsgSuccess);
      if (i % 2 == 0) client_->CancelAsyncRequest(id);
      ids.push_back(id);
    }
  }
  ASSERT_TRUE(subscriber.AwaitValues(kPublishers * kPerPublisher));
  // Answers come in order: once the last one is in, an answer that a
  // cancelled request wrongly got as well would have been counted.
  std::uint32_t last = 0;
  ASSERT_EQ(client_->SendAsyncRequest(Request(1), &outcomes, 0, 10000, &last), eMsgSuccess);
  EXPECT_EQ(outcomes.Await(last), "success 2");
  for (std::uint32_t id : ids) EXPECT_EQ(outcomes.CountOf(id), 1u) << id;
  std::vector<int> next(kPublishers, 0);
  for (std::int32_t value : subscriber.Values()) {
    const auto publisher = static_cast<std::size_t>(value / 10000);
    ASSERT_EQ(value % 10000, next[publisher]++) << publisher;
  }
}

TEST_F(NatsTransportTest, DroppingTheConnectionDropsWhatWaitsInItsQueueUncalled) {
  // The first notification holds the delivery thread until the connection
  // is being dropped (which closes its inboxes); the others wait in its
  // queue meanwhile: an inbox, which libnats's thread fills directly, hears
  // of the last one only after they were all handed over.
  const CEntityId sentinel(kQueueA.QueryObjectType(), 99u);
  auto handedOver = std::make_shared<CMessageInbox>();
  auto closing = std::make_shared<CMessageInbox>();
  ASSERT_EQ(client_->AttachInbox(handedOver, sentinel, 0), eMsgSuccess);
  ASSERT_EQ(client_->AttachInbox(closing, CEntityId(kQueueA.QueryObjectType(), 98u), 0),
            eMsgSuccess);
  Subscriber subscriber;
  subscriber.onValue = [closing](std::int32_t value) {
    std::deque<CMessage> none;
    if (value == 0) closing->Wait(none, 10000);
  };
  ASSERT_EQ(client_->StartNotifications(kQueueA, 0, &subscriber, 0), eMsgSuccess);
  auto publisher = ConnectNats(options_);
  ASSERT_EQ(publisher->Publish(Notification(kQueueA, 0)), eMsgSuccess);
  ASSERT_TRUE(subscriber.AwaitValues(1));
  for (int i = 1; i <= 200; ++i)
    ASSERT_EQ(publisher->Publish(Notification(kQueueA, i)), eMsgSuccess);
  ASSERT_EQ(publisher->Publish(Notification(sentinel, 0)), eMsgSuccess);
  std::deque<CMessage> arrived;
  ASSERT_EQ(handedOver->Wait(arrived, 10000), 0);
  client_.reset();
  EXPECT_EQ(subscriber.Values(), std::vector<std::int32_t>{0});
}

// A subscriber that holds its delivery thread: what waits for it stays
// within the byte bound, and the drops and any number of renegotiation
// notices come to one renegotiation.
TEST_F(NatsTransportTest, ABlockedSubscriberHoldsAtMostTheByteBoundAndHearsOneRenegotiation) {
  CNatsOptions bounded = options_;
  bounded.maxQueuedBytes = std::size_t{1} << 20;
  auto client = ConnectNats(bounded);
  std::promise<std::string> named;
  Serve([&named](CNatsRequest request) {
    named.set_value(request.SenderName());
    request.Reply(CMessage());
  });
  CMessage response;
  ASSERT_EQ(client->SendRequest(Request(1), &response, 5000), eSendStatus::kSuccess);
  const std::string notices = named.get_future().get() + "." + kRenegotiatedToken;

  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  Subscriber subscriber;
  subscriber.onValue = [&](std::int32_t value) {
    if (value == 0) released.wait_for(kPatience);
  };
  const StopOnExit stop(*client, {&subscriber});
  ASSERT_EQ(client->StartNotifications(kQueueA, 0, &subscriber, 0), eMsgSuccess);
  // libnats hands the sentinel over after everything sent before it.
  const CEntityId sentinel(kQueueA.QueryObjectType(), 99u);
  auto handedOver = std::make_shared<CMessageInbox>();
  ASSERT_EQ(client->AttachInbox(handedOver, sentinel, 0), eMsgSuccess);
  natsConnection* raw = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&raw, server_.Url().c_str()), NATS_OK);
  auto send = [raw](const char* subject, const CMessage& message) {
    const std::vector<std::uint8_t> bytes = message.Serialize();
    return natsConnection_Publish(raw, subject, bytes.data(), static_cast<int>(bytes.size()));
  };
  ASSERT_EQ(send("qmtest.n.7.12.0._", Notification(kQueueA, 0)), NATS_OK);
  ASSERT_TRUE(subscriber.AwaitValues(1));
  constexpr int kLarge = 40;  // of 100 kB each: four times the bound
  for (int i = 1; i <= kLarge; ++i) {
    CMessage large = Notification(kQueueA, i);
    large << std::string(100'000, 'x');
    ASSERT_EQ(send("qmtest.n.7.12.0._", large), NATS_OK);
  }
  for (int i = 0; i < 1000; ++i)
    ASSERT_EQ(natsConnection_Publish(raw, notices.c_str(), nullptr, 0), NATS_OK);
  ASSERT_EQ(send("qmtest.n.7.99.0._", Notification(sentinel, 0)), NATS_OK);
  std::deque<CMessage> arrived;
  ASSERT_EQ(handedOver->Wait(arrived, 10000), 0);

  const CNatsStatistics held = NatsStatistics(*client);
  EXPECT_LE(held.pendingBytes, bounded.maxQueuedBytes);
  EXPECT_GT(held.droppedNotifications, 0u);
  EXPECT_EQ(held.pendingMessages + held.droppedNotifications, std::uint64_t{kLarge});
  EXPECT_GE(held.messagesIn, std::uint64_t{kLarge});
  EXPECT_GE(held.roundTripMicroseconds, 0);
  release.set_value();
  ASSERT_EQ(send("qmtest.n.7.12.0._", Notification(kQueueA, kLarge + 1)), NATS_OK);
  ASSERT_TRUE(subscriber.AwaitCount(fmt::format("notify {} ", kLarge + 1), 1));
  natsConnection_Destroy(raw);
  EXPECT_EQ(Subscriber::Count(subscriber.Lines(), "renegotiated"), 1u);
}

// A peer that greets and then says nothing ends a connect, or a responder's,
// after the connect time-out, with an error that says so.
TEST(NatsConnectTest, GivesUpOnAPeerThatGoesSilentAfterItsTimeOut) {
  SilentNatsPeer peer;
  ASSERT_FALSE(peer.Url().empty());
  CNatsOptions options;
  options.urls = {peer.Url()};
  options.connectTimeoutMs = 300;
  const std::function<void()> connects[] = {
      [&] { ConnectNats(options); },
      [&] { CNatsResponder(options, "servers", [](CNatsRequest) {}); },
  };
  for (const auto& connect : connects) {
    std::atomic<bool> ended{false};
    std::string error;
    std::thread connecting([&] {
      try {
        connect();
      } catch (const CNotifierException& e) {
        error = e.what();
      }
      ended = true;
    });
    const bool inTime = QueueManager::testing::Within(3s, [&] { return ended.load(); });
    connecting.join();
    EXPECT_TRUE(inTime);
    EXPECT_NE(error.find("no server answered within 300 ms"), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace W4Notifier::testing
