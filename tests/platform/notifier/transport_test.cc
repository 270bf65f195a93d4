#include <gmock/gmock.h>

#include <chrono>
#include <condition_variable>
#include <tuple>

#include "NotifierFixture.h"
#include "QueueManager/Platform/MessageServer.h"
#include "QueueManager/Platform/Sync.h"
#include "platform/notifier/BusCore.h"
#include "platform/notifier/CallbackLog.h"

namespace W4Notifier {
namespace {

using namespace std::chrono_literals;
using QueueManager::testing::Eventually;
using QueueManager::testing::Within;
using testing::CallbackLog;
using ::testing::ElementsAre;
using testing::Ints;
using testing::NotifierFixture;

const CEntityId kServer(eQueueManagerServer, kAllObjects, 0);

class TransportTest : public NotifierFixture {};

std::vector<std::string> Describe(const std::vector<CTrafficRecord>& traffic) {
  std::vector<std::string> out;
  for (const CTrafficRecord& record : traffic) out.push_back(record.Describe());
  return out;
}

// A request gets what the server scripts for it: an answer, a rejection with
// a readable body, silence until the time-out. A rule for a type answers every
// id, the latest matching rule wins, and a request without a rule is
// rejected. The server records the exact traffic in order.
TEST_F(TransportTest, RequestsGetWhatTheServerScripts) {
  const CEntityId interaction(eInteractionRequest, 1001u);
  server_->Respond(interaction, 7, Ints({5, 6}));
  CRequestObject request(interaction, 7);
  request << std::int32_t{3} << std::u16string(u"Xan_State");
  CResponseObject response;
  ASSERT_NE(request.Send(response, CNotifierTimeout::Query()), 0);
  EXPECT_EQ(response.QueryStatus(), eSendStatus::kSuccess);
  EXPECT_EQ(response.QueryEventId(), 7);
  EXPECT_EQ(response.DescribeFields(), "int 5, int 6");
  CRequestObject oneWay(interaction, 18);
  oneWay << false;
  EXPECT_EQ(oneWay.Send(), eMsgSuccess);
  server_->Publish(CEntityId(eWorkgroupQueue, 5u), 0, Ints({9}));
  server_->WaitIdle();
  EXPECT_THAT(Describe(server_->Traffic()),
              ElementsAre("request (30, 1001) event 7: int 3, wstring \"Xan_State\"",
                          "response (30, 1001) event 7: int 5, int 6",
                          "one-way request (30, 1001) event 18: bool false",
                          "notification (3, 5) event 0: int 9"));
  server_->ClearTraffic();
  EXPECT_TRUE(server_->Traffic().empty());

  server_->HandleType(eInteractionRequest, 37, [](const CMessage& typeRequest) {
    CMessage body;
    body << static_cast<ObjectTypes>(typeRequest.QueryObjectId() % 100);
    return CScriptedReply::Respond(body);
  });
  server_->Reject(CEntityId(eInteractionRequest, 5u), 37, Ints({4}));
  CRequestObject forType(CEntityId(eInteractionRequest, 123u), 37);
  ASSERT_NE(forType.Send(response, 1000), 0);
  ObjectTypes type;
  response >> type;
  EXPECT_EQ(type, 23);
  CRequestObject rejected(CEntityId(eInteractionRequest, 5u), 37);
  EXPECT_EQ(rejected.Send(response, 1000), 0);
  EXPECT_EQ(response.QueryStatus(), eSendStatus::kRejected);
  std::int32_t code = 0;
  response >> code;
  EXPECT_EQ(code, 4);
  server_->Silence(kServer, 16);
  CRequestObject silent(kServer, 16);
  EXPECT_EQ(silent.Send(response, 50), 0);
  EXPECT_EQ(response.QueryStatus(), eSendStatus::kTimeout);
  server_->ClearRules();
  EXPECT_EQ(forType.Send(response, 1000), 0);
  EXPECT_EQ(response.QueryStatus(), eSendStatus::kRejected);
}

// A send either fails or ends in exactly one callback, off the sending
// thread, and leaves no route behind: whether the server answers, rejects,
// stays silent or is missing, the request is cancelled meanwhile, its
// time-out expires while it is being routed, or the connection flaps.
TEST_F(TransportTest, ASendFailsOrEndsInExactlyOneCallback) {
  // The time-out in ms, whether a server answers, whether the connection flaps.
  const std::tuple<std::uint32_t, bool, bool> cases[] = {{200, true, false}, {0, true, false},
                                                         {1, true, false},   {0, false, false},
                                                         {1, false, false},  {1, true, true}};
  for (const auto& [timeoutMs, served, flapping] : cases) {
    SCOPED_TRACE(::testing::Message()
                 << timeoutMs << " ms, served " << served << ", flapping " << flapping);
    server_.reset();
    if (served) {
      server_ = std::make_unique<CScriptedServer>(bus_);
      server_->Handle(kServer, 0, [](const CMessage& request) {
        CMessage copy = request;
        std::int32_t n;
        copy >> n;
        if (n % 3 == 0) return CScriptedReply::Respond(Ints({n}));
        if (n % 3 == 1) return CScriptedReply::Reject();
        return CScriptedReply::Silence();
      });
    } else {
      CMessage response;
      EXPECT_EQ(connection_->SendRequest(CMessage(kServer, 0), &response, timeoutMs),
                eSendStatus::kNoRoute);
    }
    CallbackLog recorder;
    static thread_local bool onSender = false;
    std::atomic<int> wrongThread{0};
    recorder.onOutcome = [&] { wrongThread += onSender ? 1 : 0; };
    std::mutex idsMutex;
    std::vector<std::uint32_t> sent;
    std::atomic<int> failed{0};
    std::atomic<bool> sending{true};
    std::thread flapper([&] {
      while (flapping && sending) {
        connection_->Disconnect();
        connection_->Reconnect(false);
      }
    });
    std::vector<std::thread> senders;
    for (int t = 0; t < 3; ++t) {
      senders.emplace_back([&, t] {
        onSender = true;
        for (std::int32_t i = 0; i < 800; ++i) {
          CMessage request(kServer, 0);
          request << t * 800 + i;
          std::uint32_t id = 0;
          const eMsgCode code =
              connection_->SendAsyncRequest(request, &recorder, 0, timeoutMs, &id);
          if (code != eMsgSuccess) {
            EXPECT_EQ(code, flapping ? eMsgNotConnected : served ? eMsgSuccess : eMsgNoRoute);
            ++failed;
            continue;
          }
          if (i % 10 == 5) connection_->CancelAsyncRequest(id);  // races with the answer
          std::lock_guard lock(idsMutex);
          sent.push_back(id);
        }
      });
    }
    for (std::thread& s : senders) s.join();
    sending = false;
    flapper.join();
    ASSERT_GE(recorder.WaitFor(sent.size()).size(), sent.size());
    bus_->WaitIdle();  // a callback beyond one per sent request would be delivered by now
    const std::vector<std::string> outcomes = recorder.Lines();
    EXPECT_EQ(outcomes.size(), sent.size()) << failed.load() << " sends failed";
    for (std::uint32_t id : sent)
      ASSERT_EQ(CallbackLog::Count(outcomes, std::to_string(id) + " "), 1u) << "request " << id;
    EXPECT_EQ(wrongThread, 0);
    EXPECT_EQ(bus_->Core().RouteCount(), 0u);
  }
}

// Waiting senders on several threads each get their own request's outcome:
// its answer or rejection, its time-out, or the connection's loss, never
// another sender's answer; and no route is left behind.
TEST_F(TransportTest, EachWaitingSenderGetsItsOwnOutcome) {
  auto firstInt = [](CMessage message) {
    std::int32_t n = -1;
    message >> n;
    return n;
  };
  server_->Handle(kServer, 0, [&](const CMessage& request) {
    const std::int32_t n = firstInt(request);
    if (n % 50 == 49) return CScriptedReply::Silence();
    return n % 5 == 4 ? CScriptedReply::Reject(Ints({n})) : CScriptedReply::Respond(Ints({n}));
  });
  std::thread flapper([&] {
    for (int i = 0; i < 200; ++i) connection_->Disconnect(), connection_->Reconnect(false);
  });
  std::vector<std::thread> senders;
  for (std::int32_t t = 0; t < 3; ++t) {
    senders.emplace_back([&, t] {
      for (std::int32_t n = t * 1000; n < t * 1000 + 400; ++n) {
        CMessage response;
        const bool silent = n % 50 == 49;
        const eSendStatus status =
            connection_->SendRequest(CMessage(kServer, 0) << n, &response, silent ? 1 : 10000);
        if (status == eSendStatus::kNotConnected) continue;
        const eSendStatus expected = silent       ? eSendStatus::kTimeout
                                     : n % 5 == 4 ? eSendStatus::kRejected
                                                  : eSendStatus::kSuccess;
        EXPECT_EQ(status, expected) << n;
        if (!silent) {
          EXPECT_EQ(firstInt(response), n);
        }
      }
    });
  }
  for (std::thread& s : senders) s.join();
  flapper.join();
  EXPECT_EQ(bus_->Core().RouteCount(), 0u);
}

// Requests waiting for a server that does not keep up are bounded in bytes:
// beyond the bound they are refused, and taken again once it caught up.
TEST_F(TransportTest, RequestsWaitingForTheServerAreBoundedInBytes) {
  std::mutex mutex;
  std::condition_variable cv;
  bool released = false;
  server_->Handle(kServer, 0, [&](const CMessage&) {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return released; });
    return CScriptedReply::Silence();
  });
  const CMessage large = CMessage(kServer, 0) << std::string(std::size_t{1} << 20, 'x');
  int accepted = 0;
  while (accepted < 100 && connection_->SendRequest(large, nullptr, 0) == eSendStatus::kSuccess)
    ++accepted;
  EXPECT_GE(accepted, 60);
  EXPECT_LT(accepted, 100);
  {
    std::lock_guard lock(mutex);
    released = true;
  }
  cv.notify_all();
  bus_->WaitIdle();
  EXPECT_EQ(connection_->SendRequest(large, nullptr, 0), eSendStatus::kSuccess);
  bus_->WaitIdle();  // the handler is done with the test's locals
}

// A lost connection ends the pending requests; without a connected default
// connection nothing is sent.
TEST_F(TransportTest, ConnectionLossEndsPendingRequestsAndNoConnectionSendsNothing) {
  server_->Silence(kServer, 0);
  CallbackLog recorder;
  std::uint32_t id = 0;
  ASSERT_EQ(connection_->SendAsyncRequest(CMessage(kServer, 0), &recorder, 0, 10000, &id),
            eMsgSuccess);
  connection_->Disconnect();
  EXPECT_EQ(recorder.Await(id), "connection loss");
  EXPECT_EQ(connection_->SendAsyncRequest(CMessage(kServer, 0), &recorder, 0, 100),
            eMsgNotConnected);
  EXPECT_EQ(CNotifierHandle::GetDefaultConnection(), nullptr);
  connection_->Reconnect(false);
  EXPECT_NE(CNotifierHandle::GetDefaultConnection(), nullptr);
  SetDefaultConnection(nullptr);
  EXPECT_EQ(CNotifierHandle::GetDefaultHandle().GetHandle(), 0);
  server_->ClearTraffic();
  CRequestObject request(kServer, 4);
  CResponseObject response;
  EXPECT_EQ(request.Send(response, 100), 0);
  EXPECT_EQ(response.QueryStatus(), eSendStatus::kNotConnected);
  EXPECT_EQ(request.Send(), eMsgNotConnected);
  EXPECT_EQ(CNotificationObject(kServer, 3).Send(), eMsgNotConnected);
  server_->WaitIdle();
  EXPECT_TRUE(server_->Traffic().empty());
}

TEST_F(TransportTest, KeepAliveHoldsTheCallbackUntilItsOutcome) {
  struct Callback : IAsyncResponseCallback {
    explicit Callback(std::atomic<int>* state) : state_(state) {}
    ~Callback() override { state_->store(state_->load() == 1 ? 2 : -1); }
    void OnAsyncResponseSuccess(std::uint32_t, CMessage&) override { state_->store(1); }
    void OnAsyncResponseRejected(std::uint32_t, CMessage&) override {}
    void OnAsyncResponseTimeout(std::uint32_t) override {}
    std::atomic<int>* state_;
  };
  std::atomic<int> state{0};  // 0 waiting, 1 called, 2 destroyed after the call
  server_->Respond(kServer, 0);
  {
    auto callback = std::make_shared<Callback>(&state);
    ASSERT_EQ(connection_->SendAsyncRequest(CMessage(kServer, 0), callback.get(), 0, 5000, nullptr,
                                            CKeepAlive(callback)),
              eMsgSuccess);
  }  // the notifier now holds the only reference
  server_->WaitIdle();
  EXPECT_EQ(state.load(), 2);
}

// Subscribers see the notifications of their entity (of every entity of the
// type for a whole-type subscription, made once however often it is started)
// and of their event (by number or by name), in publish order.
TEST_F(TransportTest, SubscribersSeeTheirNotificationsInPublishOrder) {
  const CEntityId queue(eWorkgroupQueue, u"Sales");
  CallbackLog subscribers[3], all, named;
  for (auto& s : subscribers)
    ASSERT_EQ(connection_->StartNotifications(queue, 0, &s, 0), eMsgSuccess);
  connection_->StartNotifications(CEntityId(eUserQueue, kAllObjects), 0, &all, 0);
  connection_->StartNotifications(CEntityId(eUserQueue, kAllObjects), 0, &all, 0);
  const CEntityId object(eGenericObject, 42u);
  connection_->StartNotifications(object, EventCodeFromName(u"Created"), &named, 0);
  std::vector<std::int32_t> expected;
  for (std::int32_t i = 0; i < 500; ++i) {
    server_->Publish(queue, 0, Ints({i}));
    expected.push_back(i);
  }
  server_->Publish(CEntityId(eWorkgroupQueue, u"Other"), 0, Ints({-5}));  // not subscribed
  server_->Publish(queue, 1, Ints({-6}));                                 // other event
  server_->Publish(CEntityId(eUserQueue, u"alice"), 0, Ints({1}));
  server_->Publish(CEntityId(eUserQueue, u"bob"), 0, Ints({2}));
  server_->Publish(CEntityId(eStationQueue, u"bob"), 0, Ints({3}));
  CNotificationObject created(object, "Created");
  created << std::int32_t{7};
  EXPECT_EQ(created.Send(), eMsgSuccess);
  CNotificationObject other(object, "Held");
  other.Send();
  server_->WaitIdle();
  for (auto& s : subscribers) EXPECT_EQ(s.Values(), expected);
  EXPECT_EQ(all.Values(), (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(all.Lines()[1],
            "notify 2 " + std::to_string(CEntityId(eUserQueue, u"bob").QueryObjectId()) + ".0");
  EXPECT_EQ(named.Values(), (std::vector<std::int32_t>{7}));
  const auto traffic = server_->Traffic();
  EXPECT_EQ(traffic[traffic.size() - 2].message.QueryEventName(), u"Created");
}

// Stop returns only once a callback of the subscription that is running on
// a delivery thread has returned, whichever of the two ways it is stopped.
TEST_F(TransportTest, StopWaitsForARunningCallback) {
  const CEntityId queue(eWorkgroupQueue, u"Busy");
  struct Blocking : IMessageCallback {
    void OnMessageReceived(CMessage&) override {
      entered = true;
      Eventually([&] { return stopping.load(); });
      // Long enough for a Stop that does not wait to return meanwhile.
      returnedEarly = Within(100ms, [&] { return stopped.load(); });
    }
    std::atomic<bool> entered{false}, stopping{false}, stopped{false}, returnedEarly{false};
  };
  for (const bool stopAll : {false, true}) {
    Blocking callback;
    connection_->StartNotifications(queue, 0, &callback, 0);
    server_->Publish(queue, 0);
    ASSERT_TRUE(Eventually([&] { return callback.entered.load(); }));
    callback.stopping = true;
    stopAll ? connection_->StopAllMessages(&callback)
            : connection_->StopNotifications(queue, 0, &callback, 0);
    callback.stopped = true;
    bus_->WaitIdle();
    EXPECT_FALSE(callback.returnedEarly) << "stop all " << stopAll;
  }
}

// Two callbacks on two delivery threads that stop each other's
// subscriptions: each stop would wait for the other callback, which waits in
// its own stop; one of them returns at once and both callbacks end.
TEST_F(TransportTest, CallbacksStoppingEachOthersSubscriptionsNeverDeadlock) {
  const CEntityId queue(eWorkgroupQueue, u"Crossed");
  struct Crossing : IMessageCallback {
    void OnMessageReceived(CMessage&) override {
      entered = true;
      entered.notify_all();
      // Bounded: on one delivery thread the other callback never starts.
      met = Within(2s, [&] { return other->entered.load(); });
      connection->StopNotifications(CEntityId(eWorkgroupQueue, u"Crossed"), 0, other, 0);
      done = true;
    }
    CNotifierConnection* connection = nullptr;
    Crossing* other = nullptr;
    std::atomic<bool> entered{false}, met{false}, done{false};
  };
  auto connection = bus_->Connect(CInProcessOptions{7});
  // Pairs of objects until two land on different delivery threads.
  bool crossed = false;
  for (int attempt = 0; attempt < 16 && !crossed; ++attempt) {
    auto pair = std::make_unique<Crossing[]>(2);
    for (int i = 0; i < 2; ++i) {
      pair[i].connection = connection.get();
      pair[i].other = &pair[1 - i];
      connection->StartNotifications(queue, 0, &pair[i], 0);
    }
    server_->Publish(queue, 0);
    // A callback that ran ends; on one delivery thread the second one never
    // starts, its subscription stopped by the first.
    const auto settled = [&] {
      return (pair[0].entered || pair[1].entered) && pair[0].done == pair[0].entered &&
             pair[1].done == pair[1].entered;
    };
    ASSERT_TRUE(Within(10s, settled)) << "the two stops wait for each other";
    crossed = pair[0].met && pair[1].met;
    connection->StopAllMessages(&pair[0]);
    connection->StopAllMessages(&pair[1]);
  }
  EXPECT_TRUE(crossed) << "no two subscribers were called back at once";
}

// Notifications already queued for a subscription when it stops are not
// delivered: the callback holds the first one until the rest are queued,
// then stops itself.
TEST_F(TransportTest, ACallbackCanStopItselfAndDropItsLastReference) {
  const CEntityId queue(eWorkgroupQueue, u"Self");
  struct SelfStopping : IMessageCallback {
    ~SelfStopping() override { *alive = false; }
    void OnMessageReceived(CMessage&) override {
      ++*calls;
      queued->Wait();
      connection->StopAllMessages(this);  // must not deadlock or free `this` now
      EXPECT_TRUE(alive->load());
    }
    CNotifierConnection* connection;
    W4Os::CEvent* queued;
    std::atomic<int>* calls;
    std::atomic<bool>* alive;
  };
  W4Os::CEvent queued(/*manualReset=*/true);
  std::atomic<int> calls{0};
  std::atomic<bool> alive{true};
  {
    auto subscriber = std::make_shared<SelfStopping>();
    std::tie(subscriber->connection, subscriber->queued, subscriber->calls, subscriber->alive) =
        std::tuple(connection_.get(), &queued, &calls, &alive);
    connection_->StartNotifications(queue, 0, subscriber.get(), 0, nullptr, CKeepAlive(subscriber));
  }
  server_->Publish(queue, 0);
  EXPECT_TRUE(Eventually([&] { return calls.load() > 0; }));
  for (int i = 0; i < 20; ++i) server_->Publish(queue, 0);  // queued behind the running call
  queued.Set();
  server_->WaitIdle();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_FALSE(alive.load());  // released once its callback had returned
}

TEST_F(TransportTest, RenegotiationCallsEachSubscribedObjectOnce) {
  CallbackLog twice, once, never;
  connection_->StartNotifications(CEntityId(eUserQueue, u"a"), 0, &twice, 0);
  connection_->StartNotifications(CEntityId(eUserQueue, u"b"), 0, &twice, 0);
  connection_->StartNotifications(CEntityId(eUserQueue, u"c"), 0, &once, 0);
  connection_->StartNotifications(CEntityId(eUserQueue, u"d"), 0, &never, 0);
  connection_->StopAllMessages(&never);
  connection_->Disconnect();
  server_->Publish(CEntityId(eUserQueue, u"a"), 0, Ints({1}));  // lost while down
  connection_->Reconnect();
  server_->WaitIdle();
  EXPECT_THAT(twice.Lines(), ElementsAre("renegotiated"));
  EXPECT_THAT(once.Lines(), ElementsAre("renegotiated"));
  EXPECT_THAT(never.Lines(), ::testing::IsEmpty());
}

TEST_F(TransportTest, PrivateInboxCollectsAndWakesUp) {
  CMessageServer inbox(CNotifierHandle::GetDefaultHandle(), u"TestInbox");
  ASSERT_EQ(inbox.StartNotifications(eObjectTypeEntity, kAllObjects, 0), eMsgSuccess);
  std::deque<CMessage> messages;
  EXPECT_EQ(inbox.GetMessagesWithCode(messages, 20), eMsgTimeout);

  server_->Publish(CEntityId(eObjectTypeEntity, u"Call"), 0, Ints({1}));
  server_->Publish(CEntityId(eObjectTypeEntity, u"Chat"), 0, Ints({2}));
  server_->WaitIdle();
  EXPECT_EQ(inbox.GetMessagesWithCode(messages, W4Os::kInfinite), 0);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[1].DescribeFields(), "int 2");

  messages.clear();
  std::thread waker([&] { inbox.WakeUp(0); });
  EXPECT_EQ(inbox.GetMessagesWithCode(messages, W4Os::kInfinite), 0);  // woken, nothing new
  EXPECT_TRUE(messages.empty());
  waker.join();
  inbox.WakeUp(5);
  EXPECT_EQ(inbox.GetMessagesWithCode(messages, W4Os::kInfinite), 5);
}

}  // namespace
}  // namespace W4Notifier
