// The notifier stand-in: the message codec and entities, and the in-process
// transport with its scripted server, also on several threads.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "NotifierFixture.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/MessageServer.h"
#include "QueueManager/Platform/Sync.h"
#include "platform/notifier/BusCore.h"
#include "platform/notifier/ByteFormLimit.h"
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
  for (const auto& c : cases) {
    const std::uint32_t timeoutMs = std::get<0>(c);  // locals: the lambdas capture them
    const bool served = std::get<1>(c), flapping = std::get<2>(c);
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

// A notification has an audience while an observer, or a subscription of
// its entity and event or of every entity of its type, would be handed it.
TEST(BusAudienceTest, SubscribersOfTheEntityOrOfItsTypeAndObserversHearIt) {
  const auto bus = CInProcessBus::Create();
  CallbackLog log;
  const auto connection = bus->Connect();
  const CEntityId queue(eWorkgroupQueue, u"Sales");
  connection->StartNotifications(queue, 0, &log, 0);
  connection->StartNotifications(CEntityId(eUserQueue, kAllObjects), 0, &log, 0);
  const struct {
    CEntityId entity;
    int event;
    bool heard;
  } cases[] = {{queue, 0, true},
               {queue, 1, false},
               {CEntityId(eWorkgroupQueue, u"Other"), 0, false},
               {CEntityId(eWorkgroupQueue, kAllObjects), 0, false},
               {CEntityId(eUserQueue, u"alice"), 0, true},
               {CEntityId(eUserQueue, kAllObjects), 0, true}};
  for (const auto& c : cases) {
    EXPECT_EQ(bus->HasAudience(c.entity, c.event), c.heard)
        << c.entity.QueryObjectId() << " event " << c.event;
  }
  connection->StopNotifications(queue, 0, &log, 0);
  EXPECT_FALSE(bus->HasAudience(queue, 0));
  const CScriptedServer observer(bus);  // it records the traffic
  EXPECT_TRUE(bus->HasAudience(queue, 0));
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

using ::testing::HasSubstr;

CMessage EveryFieldType() {
  CMessage m(CEntityId(eQueueManagerServer, kAllObjects), 4);
  m << std::int32_t{-7} << std::uint32_t{4000000000u} << std::int16_t{-3} << std::uint16_t{65535}
    << true << 0x0123456789ABCDEFull << "narrow \xC3\xA9" << std::u16string(u"wide")
    << u"zero-terminated" << eUserQueue;
  const std::uint8_t raw[3] = {1, 2, 3};
  m.Insert(raw, 3);
  return m;
}

// Every field type reads back in order, also through the byte form; 32-bit
// integers and object types read as one another; a nested message keeps its
// header; a copy has a body and a read position of its own.
TEST(MessageTest, FieldsReadBackInOrderWithTheirValues) {
  CMessage m = EveryFieldType();
  m.SetEventName(u"Created");
  const std::vector<std::uint8_t> bytes = m.Serialize();
  CMessage back = CMessage::Parse(bytes);
  EXPECT_EQ(back.Serialize(), bytes);
  EXPECT_EQ(back.QueryEventName(), u"Created");
  EXPECT_EQ(back.QueryEventId(), 4);
  EXPECT_EQ(back.QueryEntityId(), CEntityId(eQueueManagerServer, kAllObjects));
  EXPECT_EQ(back.DescribeFields(),
            "int -7, uint 4000000000, short -3, ushort 65535, bool true, "
            "uint64 81985529216486895, string \"narrow \xC3\xA9\", wstring \"wide\", "
            "wtext \"zero-terminated\", objtype 9, bytes [3 bytes]");
  std::int32_t i;
  std::uint32_t u;
  std::int16_t s;
  std::uint16_t us;
  bool b;
  std::uint64_t u64;
  std::string narrow;
  std::u16string wide, text;
  ObjectTypes type;
  std::uint8_t raw[3];
  back >> i >> u >> s >> us >> b >> u64 >> narrow >> wide >> text >> type;
  back.Extract(raw, 3);
  EXPECT_EQ(std::tie(i, u, s, us, b, u64, narrow, wide, text, type, raw[2]),
            std::make_tuple(-7, 4000000000u, std::int16_t{-3}, std::uint16_t{65535}, true,
                            0x0123456789ABCDEFull, std::string("narrow \xC3\xA9"),
                            std::u16string(u"wide"), std::u16string(u"zero-terminated"), eUserQueue,
                            std::uint8_t{3}));
  EXPECT_TRUE(back.IsAtEndOfData());

  CMessage inner(CEntityId(eInteractionRequest, 77u), 7);
  inner << std::uint32_t{0xFFFFFFFFu} << std::int32_t{29} << eQueueManagerServer;
  CMessage outer;
  outer << std::int32_t{9} << inner << false;
  CMessage copy = outer;
  copy << std::int32_t{2};  // copy on write: `outer` keeps its fields
  CMessage nested;
  outer >> i >> nested >> b;
  EXPECT_TRUE(outer.IsAtEndOfData());
  EXPECT_EQ(nested.QueryEventId(), 7);
  EXPECT_EQ(nested.QueryObjectId(), 77u);
  nested >> i >> type >> u;
  EXPECT_EQ(std::tie(i, type, u), std::make_tuple(-1, eQueueManagerServer, 29u));
  copy >> i >> nested >> b >> i;
  EXPECT_EQ(i, 2);
}

// A body starts in the room its allocation was made with and moves to the
// heap once it outgrows it; copies share it until one writes, whichever
// storage it is in.
TEST(MessageTest, BodiesKeepTheirFieldsAcrossGrowthCopiesAndParsing) {
  for (const std::int32_t count : {0, 1, 25, 26, 27, 200}) {  // 5 bytes each; room 128
    CMessage m;
    for (std::int32_t i = 0; i < count; ++i) m << i;
    CMessage copy = m;
    copy << std::int32_t{-1};
    m << std::int32_t{-2};
    CMessage parsed = CMessage::Parse(m.Serialize());
    for (CMessage* message : {&m, &copy, &parsed}) {
      std::int32_t value = 0;
      for (std::int32_t i = 0; i < count; ++i) {
        *message >> value;
        ASSERT_EQ(value, i) << count;
      }
      *message >> value;
      EXPECT_EQ(value, message == &copy ? -1 : -2) << count;
      EXPECT_TRUE(message->IsAtEndOfData()) << count;
    }
  }
}

TEST(MessageTest, ReadingAnotherKindOrPastTheEndThrowsAndMalformedBytesAreRejected) {
  CMessage m;
  const char data[] = "abcdef";
  m << std::int16_t{5} << true;
  m.Insert(data, 6);
  std::int32_t wrongSize;
  bool wrongKind;
  std::u16string notText;
  EXPECT_THROW(m >> wrongSize, CNotifierExtractException);
  EXPECT_THROW(m >> wrongKind, CNotifierExtractException);
  EXPECT_THROW(m >> notText, CNotifierExtractException);
  std::int16_t right;
  m >> right >> wrongKind;  // the failed reads left the position on the first field
  EXPECT_EQ(right, 5);
  EXPECT_TRUE(wrongKind);
  char out[8];
  EXPECT_THROW(m.Extract(out, 5), CNotifierExtractException);  // raw bytes need their length
  m.Extract(out, 6);
  EXPECT_EQ(std::string(out, 6), "abcdef");
  EXPECT_TRUE(m.IsAtEndOfData());
  EXPECT_THROW(m >> right, CNotifierExtractException);
  EXPECT_THROW(m.PeekFieldType(), CNotifierExtractException);

  // Bad headers are rejected; a field whose length claims far more than the data hold fails
  // before anything of that size is allocated.
  CMessage wide;
  wide << std::u16string(u"ab");
  std::vector<std::uint8_t> bytes = wide.Serialize();
  const std::size_t lengthAt = bytes.size() - 4 - 4;  // the wide string's count
  bytes[lengthAt] = 0x00;
  bytes[lengthAt + 1] = 0x94;
  bytes[lengthAt + 2] = 0x35;
  bytes[lengthAt + 3] = 0x77;  // about two billion code units
  CMessage hostile = CMessage::Parse(bytes);
  EXPECT_THROW(hostile >> notText, CNotifierExtractException);
  EXPECT_THAT(hostile.DescribeFields(), HasSubstr("<malformed>"));

  const std::vector<std::uint8_t> good = EveryFieldType().Serialize();
  EXPECT_THROW(CMessage::Parse(std::span(good.data(), 10)), CNotifierExtractException);
  std::vector<std::uint8_t> badMagic = good;
  badMagic[0] = 'X';
  EXPECT_THROW(CMessage::Parse(badMagic), CNotifierExtractException);
  std::vector<std::uint8_t> trailing = good;
  trailing.push_back(0);
  EXPECT_THROW(CMessage::Parse(trailing), CNotifierExtractException);
  std::vector<std::uint8_t> truncated(good.begin(), good.end() - 1);
  EXPECT_THROW(CMessage::Parse(truncated), CNotifierExtractException);
}

template <class T>
bool TryRead(CMessage& m) {
  T value{};
  try {
    m >> value;
    return true;
  } catch (const CNotifierExtractException&) {
    return false;
  }
}

// Random corruption of a valid message: parsing and reading every field
// either works or throws CNotifierExtractException, never anything else.
TEST(MessageTest, CorruptedBytesNeverCrashTheReader) {
  CMessage inner(CEntityId(eUserQueue, u"alice"), 3);
  inner << std::int32_t{1} << u"nested";
  CMessage original = EveryFieldType();
  original << inner;
  const std::vector<std::uint8_t> good = original.Serialize();
  std::mt19937 random(12345);
  for (int round = 0; round < 20000; ++round) {
    std::vector<std::uint8_t> bytes = good;
    const int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f)
      bytes[random() % bytes.size()] = static_cast<std::uint8_t>(random());
    if (random() % 4 == 0) bytes.resize(random() % bytes.size());
    try {
      CMessage m = CMessage::Parse(bytes);
      (void)m.DescribeFields();
      while (!m.IsAtEndOfData()) {
        if (m.PeekFieldType() == FieldType::kBytes) {
          std::vector<std::uint8_t> raw;
          m.Extract(raw);
        } else if (!TryRead<std::int32_t>(m) && !TryRead<std::u16string>(m) &&
                   !TryRead<std::uint64_t>(m)) {
          CMessage skip;
          m >> skip;  // may throw: ends this round
        }
      }
    } catch (const CNotifierExtractException&) {
    }
  }
}

// ---- the byte form ----

std::vector<std::uint8_t> Body(const CMessage& message) {
  const auto bytes = message.BodyBytes();
  return {bytes.begin(), bytes.end()};
}

TEST(MessageWriteTest, FieldBytesAreFixedAndZeroTerminatedTextEndsAtItsZero) {
  CMessage message;
  message << std::int32_t{-2} << u"ab" << std::u16string(u"\u00e9") << true;
  // clang-format off
  const std::vector<std::uint8_t> expected = {
      1, 0xFE, 0xFF, 0xFF, 0xFF,              // int -2
      9, 2, 0, 0, 0, 'a', 0, 'b', 0,          // wtext "ab"
      8, 1, 0, 0, 0, 0xE9, 0,                 // wstring "é"
      5, 1};                                  // bool true
  // clang-format on
  EXPECT_EQ(Body(message), expected);

  // Every length and every position of the first U+0000 (in and across the words the scan reads
  // at once) gives the field that zero-terminated text gives.
  for (std::size_t length = 0; length <= 26; ++length) {
    for (std::size_t zeroAt = 0; zeroAt <= length; ++zeroAt) {
      std::u16string text(length, u'\u8000');  // top bits set: no false zero
      for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char16_t>(0x8001 + i);
      if (zeroAt < length) text[zeroAt] = 0;
      if (zeroAt + 2 < length) text[zeroAt + 2] = 0;
      CMessage viaView;
      viaView.WriteZeroTerminated(text);
      CMessage viaPointer;
      viaPointer << text.c_str();
      ASSERT_EQ(Body(viaView), Body(viaPointer)) << length << " " << zeroAt;
      std::u16string read;
      viaView >> read;
      EXPECT_EQ(read.size(), std::min(zeroAt, length));
    }
  }
  CMessage low;  // lanes of one: the test must not see them as zero
  low.WriteZeroTerminated(u"\u0001\u0001\u0001\u0001\u0001");
  EXPECT_EQ(low.BodySize(), 5u + 10u);
}

// The byte form's lengths are 32 bits; a lowered limit stands in for 4 GiB.
// A write that would cross it throws and leaves a well-formed message;
// Serialize refuses a body or name beyond it instead of cutting the lengths
// into bytes that Parse rejects.
TEST(MessageWriteTest, NoWriteGrowsTheBodyBeyondTheByteForm) {
  constexpr std::size_t kLimit = 64;
  CMessage body;
  body << std::string(100, 'b');
  CMessage name(7);
  name.SetEventName(std::u16string(65, u'n'));
  CMessage fits(7);
  fits.SetEventName(std::u16string(64, u'n'));
  const detail::ScopedByteFormLimit limit(kLimit);
  const std::uint8_t raw[60] = {};
  CMessage nested;
  nested << std::string(30, 'n');
  const std::tuple<const char*, std::function<void(CMessage&)>> cases[] = {
      {"ints",
       [](CMessage& m) {
         for (std::int32_t i = 0; i < 20; ++i) m << i;
       }},
      {"strings", [](CMessage& m) { m << std::string(25, 's') << std::string(25, 's'); }},
      {"wide text", [](CMessage& m) { m << std::u16string(28, u'w'); }},
      {"raw bytes", [&](CMessage& m) { m.Insert(raw, sizeof raw); }},
      {"nested message", [&](CMessage& m) { m << nested; }},
      {"reserve", [](CMessage& m) { m.Reserve(kLimit); }},
      {"reserve all", [](CMessage& m) { m.Reserve(std::numeric_limits<std::size_t>::max()); }},
  };
  for (const auto& [what, write] : cases) {
    CMessage message;
    message << std::int32_t{7};
    EXPECT_THROW(write(message), CNotifierException) << what;
    EXPECT_LE(message.BodySize(), kLimit) << what;
    EXPECT_EQ(message.DescribeFields().find("malformed"), std::string::npos) << what;
    EXPECT_EQ(CMessage::Parse(message.Serialize()).BodyBytes().size(), message.BodySize());
  }
  CMessage full;  // exactly at the limit
  full << std::string(kLimit - 5, 'f');
  EXPECT_EQ(CMessage::Parse(full.Serialize()).DescribeFields(), full.DescribeFields());
  EXPECT_THROW(full << false, CNotifierException);
  EXPECT_THROW(body.Serialize(), CNotifierException);
  EXPECT_THROW(name.Serialize(), CNotifierException);
  EXPECT_EQ(CMessage::Parse(fits.Serialize()).QueryEventName(), fits.QueryEventName());
}

// ---- entities ----

TEST(EntityIdTest, NamedEntitiesIgnoreLetterCaseAvoidReservedIdsAndRoundTrip) {
  const CEntityId a(eWorkgroupQueue, u"Sales");
  const CEntityId b(eWorkgroupQueue, "SALES");
  EXPECT_TRUE(a.IsSet());
  EXPECT_FALSE(CEntityId().IsSet());
  EXPECT_FALSE(CEntityId(eWorkgroupQueue, u"").IsSet());
  EXPECT_EQ(a, b);
  EXPECT_NE(a, CEntityId(eUserQueue, u"Sales"));  // same name, other type
  EXPECT_NE(a, CEntityId(eWorkgroupQueue, u"Support"));
  for (int i = 0; i < 5000; ++i) {
    const std::uint32_t id = CEntityId::ObjectIdFromName(std::u16string(1, char16_t(i)) + u"q");
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, kAllObjects);
  }

  // Scoped names round-trip (an entity built from the id of a named one shows the name); a bad
  // one resets the entity.
  const CEntityId queue(eWorkgroupQueue, u"Sales");
  EXPECT_EQ(queue.QueryScopedName().str(), u"WorkgroupQueue:Sales");
  const CEntityId server(eQueueManagerServer, kAllObjects);
  EXPECT_EQ(server.QueryScopedName().str(), u"QueueManager:#4294967295");
  EXPECT_EQ(CEntityId(static_cast<ObjectTypes>(57), 3u).QueryScopedName().str(), u"57:#3");
  const CEntityId named(eStationQueue, u"Desk 12");
  EXPECT_EQ(CEntityId(eStationQueue, named.QueryObjectId()).QueryScopedName().str(),
            u"StationQueue:Desk 12");
  EXPECT_TRUE(CEntityId().QueryScopedName().empty());

  CEntityId parsed;
  ASSERT_TRUE(parsed.SetFromScopedName(u"userqueue:alice"));
  EXPECT_EQ(parsed, CEntityId(eUserQueue, u"Alice"));
  ASSERT_TRUE(parsed.SetFromScopedName("QueueManager:#4294967295"));
  EXPECT_EQ(parsed, server);
  ASSERT_TRUE(parsed.SetFromScopedName(u"57:name"));
  EXPECT_EQ(parsed.QueryObjectType(), 57);
  for (const char16_t* bad : {u"", u"noscope", u":leadingcolon", u"UnknownType:x", u"UserQueue:"}) {
    parsed = CEntityId(eUserQueue, u"bob");
    EXPECT_FALSE(parsed.SetFromScopedName(bad)) << "accepted a bad scoped name";
    EXPECT_FALSE(parsed.IsSet());
  }
}

TEST(EntityIdTest, OrderingIsByTypeThenIdAndTypesHaveNames) {
  std::set<CEntityId> ordered{CEntityId(eUserQueue, 5u), CEntityId(eWorkgroupQueue, 9u),
                              CEntityId(eWorkgroupQueue, 0xFFFFFFFFu), CEntityId()};
  std::vector<CEntityId> expected{CEntityId(), CEntityId(eWorkgroupQueue, 9u),
                                  CEntityId(eWorkgroupQueue, 0xFFFFFFFFu),
                                  CEntityId(eUserQueue, 5u)};
  EXPECT_EQ(std::vector<CEntityId>(ordered.begin(), ordered.end()), expected);
  // The options argument is not part of the identity.
  EXPECT_EQ(CEntityId(eUserQueue, 5u, 0), CEntityId(eUserQueue, 5u, 1));
  // The fixed object types have names, the others numbers.
  EXPECT_EQ(GetNotifierObjectTypeName(eQueueManagerServer).str(), u"QueueManager");
  EXPECT_EQ(GetNotifierObjectTypeName(static_cast<ObjectTypes>(-4)).str(), u"-4");
  for (ObjectTypes t : {eWorkgroupQueue, eObjectTypeEntity, eGenericObject2}) {
    EXPECT_EQ(ObjectTypeFromName(GetNotifierObjectTypeName(t).str()), t);
  }
  EXPECT_FALSE(ObjectTypeFromName(u"99999999999").has_value());
}

// Copies of one message go to several threads. Some read theirs and drop it,
// others read theirs and then write to it, while this thread writes to the
// original. Whoever writes last owns the body alone and writes in place: the
// other owners' reads and releases must happen before that write (a race
// under ThreadSanitizer otherwise), and no write may show through another
// copy.
TEST(MessageConcurrencyTest, CopiesReadWrittenAndDroppedOnOtherThreadsStayIndependent) {
  for (int round = 0; round < 300; ++round) {
    CMessage original;
    original << std::int32_t{round} << std::u16string(u"shared text");
    const std::string shared = "int " + std::to_string(round) + ", wstring \"shared text\"";
    std::vector<CMessage> copies(4, original);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < copies.size(); ++t) {
      threads.emplace_back([&copies, &shared, t] {
        CMessage mine = std::move(copies[t]);
        EXPECT_EQ(mine.DescribeFields(), shared);
        if (t % 2 == 0) return;  // dropped here, maybe as the next-to-last owner
        for (std::int32_t i = 0; i < 3; ++i) mine << static_cast<std::int32_t>(t);
        const std::string own = ", int " + std::to_string(t);
        EXPECT_EQ(mine.DescribeFields(), shared + own + own + own);
      });
    }
    original << true;
    EXPECT_EQ(original.DescribeFields(), shared + ", bool true");
    for (std::thread& thread : threads) thread.join();
  }
}

}  // namespace
}  // namespace W4Notifier
