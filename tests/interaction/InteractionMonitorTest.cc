// The interaction and conference monitors against the scripted server, alone
// and on several threads at once.

#include <gmock/gmock.h>

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "QueueManager/AttributeRequests.h"
#include "QueueManager/Platform/Text.h"
#include "QueueManager/Platform/Thread.h"
#include "interaction/InteractionTestSupport.h"
#include "platform/notifier/NullConnection.h"

namespace QueueManager::testing {
namespace {

const CQmAttributeName kNote(u"Note");
constexpr auto kType2 = W4Notifier::eGenericObject2;

std::vector<CQmAttributeName> Monitored(const CQmInteractionMonitor& monitor, InteractionId id) {
  std::vector<CQmAttributeName> names;
  monitor.Monitors(id, names);
  return names;
}

TEST_F(InteractionMonitorTest, ActivationAsksForItsOwnNamesMonitorsTheUnionAndAnswers) {
  Answer({101, Attributes({{Xan_State, u"C"}, {kNote, u"n"}}), false, false, kType2});
  RecordingInteractionMonitor monitor;
  monitor.RequestAttributeUpdateCallback(Xan_State);  // none reported: nothing asked
  for (const std::uint32_t unset : {0u, 0xFFFFFFFFu}) monitor.Activate(unset, {Xan_State}, true);
  monitor.Activate(101, {Xan_State}, true);
  EXPECT_TRUE(monitor.IsMonitored(101));
  monitor.Activate(101, {kNote}, false);
  EXPECT_THAT(SentFields(InteractionEntity(101), kMonitorRequestEvent),
              ElementsAre("int 1, uint 101, int 1, int 38",
                          "int 1, uint 101, int 1, int -1, wtext \"Note\""));
  EXPECT_EQ(RequestCount(), 2u);
  EXPECT_THAT(Monitored(monitor, 101), ElementsAre(kNote, Xan_State));
  EXPECT_THAT(monitor.Log(),
              ElementsAre("Updated 101 {Note=n,Xan_State=C}", "Updated 101 {Note=n,Xan_State=C}"));
  // The cache's attribute and object type lookups are answered here.
  server_->ClearTraffic();
  CQmAttributeValue value;
  EXPECT_TRUE(QueueManager::QueryAttribute(101, kNote, value));
  EXPECT_EQ(value.QueryString(), u"n");
  EXPECT_EQ(InteractionId(101).QueryObjectType(), kType2);
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_FALSE(monitor.QueryEntityId(101).IsSet());  // the cache's entity only
  // Updates are asked for every reported interaction, of the first one's type.
  Silence(103);
  Answer({102, Attributes({{Xan_State, u"A"}})});
  for (const std::uint32_t id : {103, 102}) monitor.Activate(id, {Xan_State}, id == 102);
  server_->ClearTraffic();
  monitor.RequestAttributeUpdateCallback(std::vector<CQmAttributeName>{kNote});
  const CEntityId target(W4Notifier::eInteractionRequest, kType2, 0);
  EXPECT_THAT(SentFields(target, kMonitorRequestEvent),
              ElementsAre("int 2, uint 101, uint 102, int 1, int -1, wtext \"Note\""));
  EXPECT_EQ(monitor.Log().size(), 5u);
  EXPECT_THAT(Monitored(monitor, 102), ElementsAre(Xan_State));  // names not added
  // Names added later keep the values held (the silent answer brings none).
  Silence(102);
  monitor.Activate(102, {kNote}, false);
  EXPECT_EQ(monitor.QueryAttribute(102, Xan_State).QueryString(), u"A");
}

TEST_F(InteractionMonitorTest, RecordsCacheMonitoredNamesAndReportByTheRules) {
  // The record notified, what it reports and the state kept afterwards.
  const std::tuple<Record, std::vector<std::string>, const char16_t*> rows[] = {
      {{101, Attributes({{Xan_State, u"H"}, {kNote, u"x"}})},
       {"Updated 101 {Note=x,Xan_State=H}"},
       u"H"},
      {{101, Attributes({{kNote, u"y"}})}, {}, u"C"},
      {{101, Attributes({{kNote, u"z"}}), true}, {"Updated 101 {Note=z}"}, u"C"},
  };
  for (const auto& [record, log, state] : rows) {
    Answer({101, Attributes({{Xan_State, u"C"}})});
    RecordingInteractionMonitor monitor;
    monitor.Activate(101, {Xan_State}, true);
    Notify(101, {record});
    std::vector<std::string> expected = {"Updated 101 {Xan_State=C}"};
    expected.insert(expected.end(), log.begin(), log.end());
    EXPECT_EQ(monitor.Log(), expected);
    EXPECT_EQ(monitor.QueryAttribute(101, Xan_State).QueryString(), state);
    server_->ClearTraffic();
    CQmAttributeValue note;
    EXPECT_FALSE(QueueManager::QueryAttribute(101, kNote, note));  // not kept: asked
    EXPECT_EQ(RequestCount(), 1u);
  }
}

TEST_F(InteractionMonitorTest, ADeallocationRecordEndsTheMessageAndTheWatch) {
  Answer({101, Attributes({{Xan_State, u"C"}})});
  RecordingInteractionMonitor monitor;
  monitor.Activate(101, {Xan_State}, true);
  monitor.Activate(102, {Xan_State}, true);
  Notify(101, {{101, Attributes({{Xan_State, u"H"}})},
               {101, {}, false, true},
               {102, Attributes({{Xan_State, u"A"}})}});
  Notify(101, {{101, {}, false, true}});                  // repeated: nothing new
  Notify(101, {{101, Attributes({{Xan_State, u"A"}})}});  // unsubscribed
  EXPECT_THAT(monitor.Log(), ElementsAre("Updated 101 {Xan_State=C}", "Updated 101 {Xan_State=H}",
                                         "Deallocated 101"));
  EXPECT_FALSE(monitor.IsMonitored(101));
  EXPECT_FALSE(monitor.IsMonitored(102));
  EXPECT_THAT(Monitored(monitor, 101), IsEmpty());
  // A malformed record drops the rest of its message.
  monitor.Activate(103, {Xan_State}, false);
  CMessage cut = Records({{103, Attributes({{Xan_State, u"H"}})}});
  cut << std::int32_t{9} << true;
  server_->Publish(InteractionEntity(103), kAttributeNotificationEvent, cut);
  server_->WaitIdle();
  EXPECT_EQ(monitor.Log().back(), "Updated 103 {Xan_State=H}");
  EXPECT_EQ(TracesAt(W4Trace::kLevelFailure), 1u);
}

TEST_F(InteractionMonitorTest, LateAnswersAfterDeactivationOrDestructionCallNobody) {
  for (const bool destroy : {false, true}) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    server_->Handle(InteractionEntity(909), kMonitorRequestEvent, [released](const CMessage&) {
      released.wait();
      return CScriptedReply::Respond(Records({{909, Attributes({{Xan_State, u"C"}}), true}}));
    });
    auto monitor = std::make_unique<RecordingInteractionMonitor>();
    monitor->Activate(909, {Xan_State}, false);
    destroy ? monitor.reset() : monitor->Deactivate(909);
    release.set_value();
    server_->WaitIdle();  // under ASan a call into a destroyed monitor fails here
    if (destroy) continue;
    EXPECT_THAT(monitor->Log(), IsEmpty());
    EXPECT_FALSE(monitor->IsMonitored(909));
  }
}

// The cache's reload names the watched interactions but calls no monitor:
// its records would be applied out of order with the monitor's
// notifications. Each monitor asks again on its own.
TEST_F(InteractionMonitorTest, ARenegotiationHasEachMonitorAskAgainOnItsOwn) {
  Answer({101, Attributes({{Xan_State, u"C"}})});
  Answer({102, Attributes({{Xan_State, u"C"}})});
  RecordingInteractionMonitor monitor;
  monitor.Activate(101, {Xan_State}, true);
  monitor.Activate(102, {Xan_State}, true);
  Notify(102, {{102, Attributes({{Xan_State, u"N"}})}});
  CMessage reload;
  WriteServerTime(reload, 0);
  reload << std::int32_t{W4Notifier::eInteractionRequest} << std::int32_t{102};
  WriteRecord(reload, {102, Attributes({{Xan_State, u"O"}})});  // older than N
  server_->Respond(ServerEntity(), kCacheReloadEvent, reload);
  server_->ClearTraffic();
  Cache().OnConnectionRenegotiated();
  server_->WaitIdle();
  EXPECT_THAT(SentFields(ServerEntity(), kCacheReloadEvent),
              ElementsAre("int 2, int 30, int 101, int 30, int 102"));
  EXPECT_EQ(monitor.QueryAttribute(102, Xan_State).QueryString(), u"N");
  EXPECT_EQ(monitor.Log().size(), 3u);

  Answer({101, {}, false, true});
  Answer({102, Attributes({{Xan_State, u"H"}})});
  server_->ClearTraffic();
  connection_->Renegotiate();
  server_->WaitIdle();
  EXPECT_THAT(SentFields(InteractionEntity(101), kMonitorRequestEvent),
              ElementsAre("int 1, uint 101, int 1, int 38"));
  EXPECT_THAT(monitor.Log(), ElementsAre("Updated 101 {Xan_State=C}", "Updated 102 {Xan_State=C}",
                                         "Updated 102 {Xan_State=N}", "Deallocated 101",
                                         "Updated 102 {Xan_State=H}"));
  EXPECT_FALSE(monitor.IsMonitored(101));
  EXPECT_TRUE(monitor.IsMonitored(102));
}

// The conference monitor against the scripted server: parties joining,
// changing and leaving, and the conference's end.

constexpr W4Notifier::ObjectTypes kConference = W4Notifier::eConferenceInteraction;

Record Conference(std::uint32_t id, std::vector<InteractionId> members) {
  CQmAttributeMap attributes;
  attributes.insert(Xan_ConferenceMembers, CQmAttributeValue(members));
  return {id, attributes, false, false, kConference};
}

TEST_F(InteractionMonitorTest, ConferencePartiesJoinChangeAndLeave) {
  Answer(Conference(500, {601}));
  Answer({601, Attributes({{Xan_State, u"C"}})});
  Answer({603, Attributes({{Xan_State, u"A"}})});
  Silence(602);
  RecordingConferenceMonitor monitor;
  std::vector<InteractionId> parties;
  EXPECT_FALSE(monitor.QueryConferencePartys(parties));
  monitor.Activate(500, {Xan_State}, true);
  EXPECT_THAT(SentFields(InteractionEntity(500), kMonitorRequestEvent),
              ElementsAre("int 1, uint 500, int 4, int 38, int 38, int 46, int 53"));
  EXPECT_THAT(SentFields(InteractionEntity(601), kMonitorRequestEvent),
              ElementsAre("int 1, uint 601, int 1, int 38"));
  Notify(601, {{601, Attributes({{Xan_State, u"H"}})}});
  Notify(500, {Conference(500, {601, 602, 601})});
  Notify(500, {Conference(500, {603})});
  EXPECT_TRUE(monitor.QueryConferencePartys(parties));
  EXPECT_THAT(parties, ElementsAre(603));
  // Parties gone from the list are no longer watched, answered or not.
  server_->ClearTraffic();
  Cache().OnConnectionRenegotiated();
  EXPECT_THAT(SentFields(ServerEntity(), kCacheReloadEvent),
              ElementsAre("int 2, int 30, int 500, int 30, int 603"));
  Record ending{500, Attributes({{Xan_State, u"I"}}), false, false, kConference};
  Notify(500, {ending});
  Notify(500, {{500, {}, false, true, kConference}});
  EXPECT_THAT(monitor.Log(),
              ElementsAre("Added 601 {Xan_State=C}", "Updated 601 {Xan_State=H}", "Removed 601",
                          "Added 603 {Xan_State=A}", "Updated 500 {Xan_State=I}", "Ended 500"));
  server_->ClearTraffic();
  monitor.Activate(501, {Xan_State}, true);  // activated once only
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_EQ(monitor.QueryConferenceId(), InteractionId(500));
}

TEST_F(InteractionMonitorTest, AConferenceEndsOnceWhicheverWayItEnds) {
  const std::pair<Record, std::vector<std::string>> rows[] = {
      {{700, Attributes({{Xan_State, u"C"}})}, {"Ended 700"}},  // not a conference
      {{700, Attributes({{Xan_State, u"E"}}), false, false, kConference},
       {"Updated 700 {Xan_State=E}", "Ended 700"}},
      {{700, {}, false, true, kConference}, {"Ended 700"}},
  };
  for (const auto& [record, log] : rows) {
    Answer(record);
    RecordingConferenceMonitor monitor;
    monitor.Activate(700, {}, true);
    Notify(700, {record, {700, {}, false, true, kConference}});
    EXPECT_EQ(monitor.Log(), log);
  }
}

// Interaction and conference monitors activated, deactivated and destroyed
// on application threads while notifications for them are delivered.

constexpr int kRounds = 500;
constexpr int kChurns = 150;
constexpr std::uint32_t kIds[] = {1, 2, 3, 4, 51, 100, 101, 102, 103};  // 51: a party

Record Conference(std::uint32_t conference, std::uint32_t party) {
  CQmAttributeMap attributes;
  attributes.insert(Xan_ConferenceMembers, CQmAttributeValue(std::vector<InteractionId>{party}));
  return {conference, attributes, false, false, W4Notifier::eConferenceInteraction};
}

// A callback for an interaction after its Deactivate returned is a fault.
void Churn(std::uint32_t id, bool synchronous, std::atomic<int>& faults) {
  auto monitor = std::make_unique<RecordingInteractionMonitor>();
  auto deactivated = std::make_shared<std::atomic<bool>>(false);
  monitor->hook = [deactivated, &faults](const std::string&) { faults += deactivated->load(); };
  monitor->Activate(id, {Xan_State}, synchronous);
  if (synchronous) {
    monitor->Deactivate(id);
    deactivated->store(true);
  }
  RecordingConferenceMonitor conference;
  conference.Activate(60, {Xan_State}, !synchronous);
}

TEST_F(InteractionMonitorTest, MonitorsComeAndGoWhileNotificationsArrive) {
  for (const std::uint32_t id : kIds) Answer({id, Attributes({{Xan_State, u"C"}})});
  Answer(Conference(50, 51));
  Answer(Conference(60, 101));
  RecordingInteractionMonitor steady[2];
  for (RecordingInteractionMonitor& monitor : steady) {
    for (const std::uint32_t id : {1, 2, 3, 4}) monitor.Activate(id, {Xan_State}, true);
  }
  RecordingConferenceMonitor conference;
  conference.Activate(50, {Xan_State}, true);
  server_->WaitIdle();  // the party's answer is in
  std::atomic<int> faults{0};
  std::thread publisher = W4Os::StartThread([this] {
    for (int round = 0; round < kRounds; ++round) {
      for (const std::uint32_t id : kIds) {
        server_->Publish(InteractionEntity(id), kAttributeNotificationEvent,
                         Records({{id, Attributes({{Xan_State, u"H"}})}}));
      }
    }
  });
  std::thread churners[2];
  for (int t = 0; t < 2; ++t) {
    churners[t] = W4Os::StartThread([t, &faults] {
      for (int i = 0; i < kChurns; ++i) Churn(100 + (i + t) % 4, i % 2 == 0, faults);
    });
  }
  W4Os::JoinThread(publisher);
  for (std::thread& churner : churners) W4Os::JoinThread(churner);
  server_->WaitIdle();
  EXPECT_EQ(faults.load(), 0);
  for (const auto& monitor : steady) EXPECT_EQ(monitor.Log().size(), 4u * (kRounds + 1));
  EXPECT_EQ(conference.Log().size(), 1u + kRounds);  // added, then every update
}

// Renegotiations while an interaction's value keeps changing, with many
// delivery threads: the monitor never goes back to an older value, whether
// it comes with a notification or with the answer that a renegotiation
// brings.
TEST_F(InteractionMonitorTest, RenegotiationsNeverBringBackAnOlderValue) {
  const auto connection = server_->Bus()->Connect(W4Notifier::CInProcessOptions{7});
  W4Notifier::SetDefaultConnection(connection);
  std::atomic<int> latest{0};
  auto value = [](int n) { return fmt::format("v{:05}", n); };
  auto record = [&](int n) {
    const std::u16string text = W4Os::NarrowToWideLossy(value(n));
    return Record{101, Attributes({{Xan_State, text.c_str()}})};
  };
  Answer(record(0));
  // A reload of the cache, should it ask, carries the latest value too.
  server_->Handle(ServerEntity(), kCacheReloadEvent, [&](const CMessage&) {
    CMessage reload;
    WriteServerTime(reload, 0);
    reload << std::int32_t{W4Notifier::eInteractionRequest} << std::int32_t{101};
    WriteRecord(reload, record(latest.load()));
    return CScriptedReply::Respond(reload);
  });
  // The server changes the value, and publishes it, in order with its
  // answers: on its own thread.
  const CEntityId kChanger(W4Notifier::eQueueManagerServer, 77, 0);
  constexpr int kChangeEvent = 99;
  server_->Handle(kChanger, kChangeEvent, [&](const CMessage& request) {
    std::int32_t n = 0;
    request >> n;
    latest = n;
    Answer(record(n));
    server_->Publish(InteractionEntity(101), kAttributeNotificationEvent, Records({record(n)}));
    return CScriptedReply::Respond();
  });
  {
    RecordingInteractionMonitor monitor;
    monitor.Activate(101, {Xan_State}, true);
    for (int n = 1; n <= 300; ++n) {
      W4Notifier::CRequestObject change(kChanger, kChangeEvent);
      change << std::int32_t{n};
      change.Send();
      connection->Renegotiate();
    }
    server_->WaitIdle();
    std::string last;
    for (const std::string& entry : monitor.Log()) {
      EXPECT_LE(last, entry) << "went back";
      last = entry;
    }
    EXPECT_GT(server_->Requests().size(), 300u) << "the monitor asked again";
    EXPECT_EQ(last, fmt::format("Updated 101 {{Xan_State={}}}", value(300)));
  }
  W4Notifier::SetDefaultConnection(connection_);
}

// An interaction monitor activated while another thread still stops the same
// subscription.

// Plays the default connection, holding a thread inside its stop of one
// entity's subscription (after the stop took effect) until released. What
// the monitor does not use goes nowhere.
class HeldStopConnection : public W4Notifier::NullConnection {
 public:
  HeldStopConnection(std::shared_ptr<W4Notifier::CNotifierConnection> real, const CEntityId& entity)
      : real_(std::move(real)), entity_(entity) {}
  std::atomic<bool> holding{false}, released{false};

  std::uint16_t QueryHandle() const override { return real_->QueryHandle(); }
  bool IsConnected() const override { return real_->IsConnected(); }
  W4Notifier::eSendStatus SendRequest(const CMessage& request, CMessage* response,
                                      std::uint32_t timeoutMs) override {
    return real_->SendRequest(request, response, timeoutMs);
  }
  W4Notifier::eMsgCode SendAsyncRequest(const CMessage& request,
                                        W4Notifier::IAsyncResponseCallback* callback,
                                        std::uint32_t flags, std::uint32_t timeoutMs,
                                        std::uint32_t* handleOut,
                                        const W4Notifier::CKeepAlive& keepAlive) override {
    return real_->SendAsyncRequest(request, callback, flags, timeoutMs, handleOut, keepAlive);
  }
  W4Notifier::eMsgCode CancelAsyncRequest(std::uint32_t requestId) override {
    return real_->CancelAsyncRequest(requestId);
  }
  W4Notifier::eMsgCode StartNotifications(const CEntityId& entity, int eventCode,
                                          W4Notifier::IMessageCallback* callback,
                                          std::uint32_t flags, std::uint32_t* handleOut,
                                          const W4Notifier::CKeepAlive& keepAlive,
                                          std::u16string_view name) override {
    return real_->StartNotifications(entity, eventCode, callback, flags, handleOut, keepAlive,
                                     name);
  }
  W4Notifier::eMsgCode StopNotifications(const CEntityId& entity, int eventCode,
                                         W4Notifier::IMessageCallback* callback,
                                         std::uint32_t flags) override {
    const W4Notifier::eMsgCode code = real_->StopNotifications(entity, eventCode, callback, flags);
    if (entity == entity_ && !holding.exchange(true)) {
      holding.notify_all();
      released.wait(false);
    }
    return code;
  }
  W4Notifier::eMsgCode StopAllMessages(W4Notifier::IMessageCallback* callback) override {
    return real_->StopAllMessages(callback);
  }

 private:
  const std::shared_ptr<W4Notifier::CNotifierConnection> real_;
  const CEntityId entity_;
};

// Activate(1) while another thread's Deactivate(1) is inside its
// subscription stop: the activation's answer comes only once the
// subscription is back, so a change published after it is not missed.
TEST_F(InteractionMonitorTest, AnActivationRacingADeactivationMissesNoChange) {
  const auto held = std::make_shared<HeldStopConnection>(connection_, InteractionEntity(1));
  W4Notifier::SetDefaultConnection(held);
  Answer({1, Attributes({{Xan_State, u"C"}})});
  {
    RecordingInteractionMonitor monitor;
    monitor.Activate(1, {Xan_State}, true);
    std::thread deactivator([&] { monitor.Deactivate(1); });
    held->holding.wait(false);
    monitor.Activate(1, {Xan_State}, false);
    server_->WaitIdle();
    // The server's value changes and is published.
    Answer({1, Attributes({{Xan_State, u"N"}})});
    server_->Publish(InteractionEntity(1), kAttributeNotificationEvent,
                     Records({{1, Attributes({{Xan_State, u"N"}})}}));
    server_->WaitIdle();
    held->released = true;
    held->released.notify_all();
    deactivator.join();
    server_->WaitIdle();
    EXPECT_EQ(monitor.QueryAttribute(1, Xan_State).QueryString(), u"N");
    EXPECT_EQ(monitor.Log().back(), "Updated 1 {Xan_State=N}");
  }
  W4Notifier::SetDefaultConnection(connection_);
}

}  // namespace
}  // namespace QueueManager::testing
