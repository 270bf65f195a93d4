// Queue administration, alerting and the queue object functions against the
// scripted server.

#include <gmock/gmock.h>

#include <atomic>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "QueueManager/Alerting.h"
#include "QueueManager/GenericQueueObject.h"
#include "QueueManager/Platform/Text.h"
#include "QueueManager/QueueAdministration.h"
#include "QueueManager/QueueObjects.h"
#include "monitor/QmCache.h"
#include "queue/AlertingCallback.h"
#include "queue/ObjectIdBlock.h"
#include "requests/RequestFields.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using ::testing::UnorderedElementsAre;

const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);

CQmQueueStats2 Stats2(std::uint32_t calls, std::uint32_t alerting) {
  CQmQueueStats2 stats;
  stats.SetTotalConnectionCallCount(calls);
  stats.SetDisconnectedConnectionCallCount(calls / 2);
  stats.media_type_maps()[W4Notifier::eConferenceInteraction].Alerting = alerting;
  return stats;
}

class QueueAdministrationTest : public RequestTest {
 protected:
  // Queries the statistics of kQueue, held `before`, against `answer`.
  template <class Record>
  void ExpectStatistics(const CMessage& answer, bool found, Record before, const Record& after) {
    SCOPED_TRACE(answer.DescribeFields());
    server_->Respond(server_entity_, 8, answer);
    EXPECT_EQ(QueryQueueStatistics(kQueue, before), found);
    EXPECT_EQ(before, after);
  }

  const CEntityId server_entity_ = ServerEntity();
};

// Instructions are sent one way; none of an unset queue is sent.
TEST_F(QueueAdministrationTest, InstructionsAreSentOneWay) {
  CreateQueue(kQueue);
  RemoveQueue(kQueue);
  DeallocateAllInstances(W4Notifier::eUserQueue);
  MonitorStatServerAttributes({});
  MonitorStatServerAttributes({Xan_State, CQmAttributeName(u"Note")});
  RequestDeactivationAttributes({CQmAttributeName(Xan_CallId)});
  EXPECT_THAT(SentFields(server_entity_, 6), ElementsAre("int 3, int 77"));
  EXPECT_THAT(SentFields(server_entity_, 7), ElementsAre("int 3, int 77"));
  EXPECT_THAT(SentFields(server_entity_, 13), ElementsAre("int 9"));
  EXPECT_THAT(SentFields(server_entity_, 17),
              ElementsAre("int 0", "int 2, int 38, int -1, wtext \"Note\""));
  EXPECT_THAT(SentFields(server_entity_, 5), ElementsAre("int 1, int 6"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(false, false, false, false, false, false));

  server_->ClearTraffic();  // an unset queue is never sent
  CEntityId unset;
  CreateQueue(unset);
  RemoveQueue(unset);
  EXPECT_FALSE(IsQueueActive(unset));
  CQmQueueStats stats = Stats(1);
  EXPECT_FALSE(QueryQueueStatistics(unset, stats));
  EXPECT_EQ(stats, Stats(1));
  CQmQueueStats2 stats2;
  EXPECT_FALSE(QueryQueueStatistics(unset, stats2));
  std::vector<CEntityId> contents(2);
  EXPECT_FALSE(QueryQueueContents(unset, contents));
  EXPECT_THAT(contents, IsEmpty());
  EXPECT_EQ(RequestCount(), 0u);
}

TEST_F(QueueAdministrationTest, FailedQueriesLeaveTheirOutputs) {
  ForEachFailure(server_entity_, {4, 8, 10, 18}, Body(true), [&] {
    EXPECT_FALSE(IsQueueActive(kQueue));
    CQmQueueStats stats = Stats(1);
    EXPECT_FALSE(QueryQueueStatistics(kQueue, stats));
    EXPECT_EQ(stats, Stats(1));
    CQmQueueStats2 stats2 = Stats2(4, 1);
    EXPECT_FALSE(QueryQueueStatistics(kQueue, stats2));
    EXPECT_EQ(stats2, Stats2(4, 1));
    std::vector<CEntityId> queues{kQueue};
    QueryQueues(W4Notifier::eWorkgroupQueue, queues);
    EXPECT_THAT(queues, ElementsAre(kQueue));
    std::vector<CEntityId> contents{kQueue};
    EXPECT_FALSE(QueryQueueContents(kQueue, contents));
    EXPECT_THAT(contents, IsEmpty());
  });
  server_->ClearTraffic();  // no connection from here on
  CreateQueue(kQueue);
  DeallocateAllInstances(W4Notifier::eUserQueue);
  MonitorStatServerAttributes({Xan_State});
  EXPECT_EQ(RequestCount(), 0u);
}

// Found gives the record (the second of two for the second statistics),
// not found the default record, a truncated answer leaves the output alone.
// Whether a queue is active is the answer itself.
TEST_F(QueueAdministrationTest, StatisticsActivityAndEntityListAnswers) {
  server_->Respond(server_entity_, 10, Body(true));
  EXPECT_TRUE(IsQueueActive(kQueue));
  server_->Respond(server_entity_, 10, Body(false));
  EXPECT_FALSE(IsQueueActive(kQueue));
  EXPECT_THAT(SentFields(server_entity_, 10), ElementsAre("int 3, int 77", "int 3, int 77"));
  ExpectStatistics(Body(true, Stats(10)), true, Stats(1), Stats(10));
  ExpectStatistics(Body(false), false, Stats(1), CQmQueueStats());
  ExpectStatistics(Body(true, 1u, 2u, 3u), false, Stats(1), Stats(1));
  ExpectStatistics(Body(true, Stats2(100, 7), Stats2(200, 9)), true, Stats2(4, 1), Stats2(200, 9));
  ExpectStatistics(Body(false), false, Stats2(4, 1), CQmQueueStats2());
  ExpectStatistics(Body(true, Stats2(100, 7)), false, Stats2(4, 1), Stats2(4, 1));
  EXPECT_THAT(SentFields(server_entity_, 8), ::testing::Each("int 3, int 77"));
  EXPECT_THAT(RequestsAwaited(), ::testing::Each(true));

  // The queue list (event 18) and the queue contents (event 4) are both entity lists; an
  // unreadable one leaves the queue list alone and empties contents.
  const CEntityId last(W4Notifier::eWorkgroupQueue, 0xFFFFFFFEu);
  constexpr std::int32_t kHuge = std::numeric_limits<std::int32_t>::max();
  const std::pair<CMessage, std::optional<std::vector<CEntityId>>> cases[] = {
      {Body(std::int32_t{2}, std::int32_t{3}, std::int32_t{77}, std::int32_t{3},
            std::uint32_t{0xFFFFFFFEu}),
       std::vector{kQueue, last}},
      {Body(std::int32_t{0}), std::vector<CEntityId>()},
      {Body(std::int32_t{-4}), std::vector<CEntityId>()},
      {Body(std::int32_t{2}, std::int32_t{3}, std::int32_t{77}), std::nullopt},
      {Body(kHuge, std::int32_t{3}, std::int32_t{77}), std::nullopt},
      {Body(std::int32_t{1}, std::int32_t{3}), std::nullopt},
      {Body(u"x"), std::nullopt},
  };
  for (const auto& [body, list] : cases) {
    SCOPED_TRACE(body.DescribeFields());
    server_->Respond(server_entity_, 18, body);
    server_->Respond(server_entity_, 4, body);
    std::vector<CEntityId> queues{kQueue};
    QueryQueues(W4Notifier::eWorkgroupQueue, queues);
    EXPECT_EQ(queues, list.value_or(std::vector{kQueue}));
    std::vector<CEntityId> contents{kQueue};
    EXPECT_EQ(QueryQueueContents(kQueue, contents), list.has_value());
    EXPECT_EQ(contents, list.value_or(std::vector<CEntityId>()));
  }
  EXPECT_THAT(SentFields(server_entity_, 18), ::testing::Each("int 3"));
  EXPECT_THAT(SentFields(server_entity_, 4), ::testing::Each("int 3, int 77"));
  EXPECT_THAT(RequestsAwaited(), ::testing::Each(true));
}

// ---- A watched queue --------------------------------------------------------

const CEntityId kWatched(W4Notifier::eWorkgroupQueue, 2001u);

TEST_F(QueueAdministrationTest, AWatchedQueueIsAnsweredFromTheCacheInItsOrder) {
  RecordingMonitor watcher;
  Watch(watcher, kWatched, {Xan_State},
        {.stats = Stats(30),
         .events = {{.id = 6001, .added = true, .type = W4Notifier::eConferenceInteraction},
                    {.id = 6002, .added = true, .type = W4Notifier::eChatConferenceInteraction},
                    {.id = 6003, .added = true, .type = W4Notifier::eConferenceInteraction}},
         .trailer = true,
         .stats2 = Stats2(12, 2)});
  std::vector<CEntityId> contents{kWatched};
  EXPECT_TRUE(QueryQueueContents(kWatched, contents));
  EXPECT_THAT(contents,
              UnorderedElementsAre(CEntityId(W4Notifier::eConferenceInteraction, 6001u),
                                   CEntityId(W4Notifier::eChatConferenceInteraction, 6002u),
                                   CEntityId(W4Notifier::eConferenceInteraction, 6003u)));
  std::vector<InteractionId> ids;
  ASSERT_TRUE(CQmCache::Instance().QueryQueueContents(kWatched, ids));
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(contents[i].QueryObjectId(), ids[i].QueryObjectId());
  }
  CQmQueueStats stats;
  EXPECT_TRUE(QueryQueueStatistics(kWatched, stats));
  EXPECT_EQ(stats, Stats(30));
  CQmQueueStats2 stats2;
  EXPECT_TRUE(QueryQueueStatistics(kWatched, stats2));
  EXPECT_EQ(stats2, Stats2(12, 2));
  EXPECT_EQ(RequestCount(), 0u);

  watcher.Deactivate();  // a queue no longer watched is asked for
  server_->Respond(ServerEntity(), 4, Body(std::int32_t{0}));
  contents.assign(1, kWatched);
  EXPECT_TRUE(QueryQueueContents(kWatched, contents));
  EXPECT_TRUE(contents.empty());
  EXPECT_EQ(RequestCount(), 1u);
}

// Alerting against the scripted server: request fields, every way an
// outcome arrives (synchronously and asynchronously), the text and message
// forms, and the decoding of alert notifications.

using Params = CQmAlertingParameters::CallAlertingParams;
constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
const CEntityId kInteraction = InteractionEntity(42);
const CEntityId kUser(W4Notifier::eUserQueue, 5u);

template <class T>
std::string Text(const T& value) {
  std::ostringstream out;
  out << value;
  return out.str();
}

CQmAlertingParameters Ringing() {
  Params ring{2, 440, -3, 480, 4, 1000, 5000, 3, "hello", "", "sip"};
  return CQmAlertingParameters(1, true, "Ann", "", kQueue, ring);
}

// Keeps the codes it receives; throws after each when told to. The event
// orders the codes' writes before a waiter's reads.
struct Outcomes : AsyncPerformAlertingResponse {
  explicit Outcomes(bool throwing) : throws(throwing) {}
  void OnPerformAlertingResponse(ePerformAlertingResponse code) override {
    codes.push_back(code);
    arrived.Set();
    if (throws) throw std::runtime_error("application fault");
  }
  const bool throws;
  std::vector<ePerformAlertingResponse> codes;
  W4Os::CEvent arrived{true};
};

class AlertingTest : public RequestTest {
 protected:
  static ePerformAlertingResponse Alert(std::uint32_t timeout = 30) {
    return PerformAlerting(42u, timeout, {kQueue}, {}, {{kUser, Ringing()}}, 9);
  }
  // The codes once the first has arrived.
  static std::vector<ePerformAlertingResponse> AlertAsync(bool throws = false) {
    auto outcomes = W4Util::MakeObject<Outcomes>(throws);
    AsyncPerformAlerting(42u, 30, {kQueue}, {}, {{kUser, Ringing()}}, 9, outcomes);
    outcomes->arrived.Wait();
    return outcomes->codes;
  }
};

TEST_F(AlertingTest, RequestsCarryTheirFields) {
  server_->Respond(kInteraction, 15, Body(std::int32_t{7}));
  server_->Respond(kInteraction, 19, Body(true));
  EXPECT_EQ(Alert(), eAlertingAnswered);
  EndAlerting(42, 3);
  SilentAlerting(42);
  EXPECT_TRUE(AlertConnectionTimeout(42, 8));
  EXPECT_THAT(SentFields(kInteraction, 15),
              ElementsAre("uint 30, int 1, int 3, int 77, int 0, int 1, int 9, int 5, int 1, "
                          "bool true, string \"Ann\", string \"\", int 3, int 77, int 2, "
                          "ushort 440, short -3, ushort 480, short 4, ushort 1000, ushort 5000, "
                          "ushort 3, string \"hello\", string \"\", string \"sip\", uint 9"));
  EXPECT_THAT(SentFields(kInteraction, 16), ElementsAre("uint 3"));
  EXPECT_THAT(SentFields(kInteraction, 17), ElementsAre(""));
  EXPECT_THAT(SentFields(kInteraction, 19), ElementsAre("uint 8"));
  EXPECT_THAT(RequestsAwaited(), ElementsAre(true, false, false, true));
}

// Every code of the server passes, answered or rejected, both ways; what
// cannot be read is 11.
TEST_F(AlertingTest, ServerCodesPassAndLocalFailuresAreEleven) {
  for (std::int32_t code = 0; code <= 12; ++code) {
    SCOPED_TRACE(code);
    server_->Respond(kInteraction, 15, Body(code));
    EXPECT_EQ(Alert(), code);
    EXPECT_THAT(AlertAsync(), ElementsAre(code));
  }
  // A rejection passes the server's reason; it never reads as a success.
  const std::pair<CMessage, ePerformAlertingResponse> rejections[] = {
      {Body(std::int32_t{4}), eAlertingNotOnAlertedQueue},
      {Body(std::int32_t{10}), eAlertingTimeout},
      {Body(std::int32_t{0}), eAlertingInternalError},
      {Body(std::int32_t{12}), eAlertingInternalError},
      {Body(std::int32_t{-1}), eAlertingInternalError},
      {CMessage(), eAlertingInternalError},
      {Body(u"4"), eAlertingInternalError}};
  for (const auto& [body, expected] : rejections) {
    SCOPED_TRACE(body.DescribeFields());
    server_->Reject(kInteraction, 15, body);
    EXPECT_EQ(Alert(), expected);
    EXPECT_THAT(AlertAsync(), ElementsAre(expected));
  }
  server_->Respond(kInteraction, 19, Body(u"x"));
  EXPECT_FALSE(AlertConnectionTimeout(42, 1));
}

// A null response object sends nothing; a throwing one is called once; a
// time-out reaches no one and is traced. Without a connection everything
// answers at once, asynchronous alerting before it returns.
TEST_F(AlertingTest, TheApplicationIsCalledOnceOrAtOnceOrNotAtAll) {
  AsyncPerformAlerting(42u, 30, {}, {}, {}, 0, nullptr);
  EXPECT_EQ(RequestCount(), 0u);
  EXPECT_TRUE(traces_.Has(W4Trace::kLevelFailure, "no response object"));

  server_->Respond(kInteraction, 15, Body(std::int32_t{7}));
  auto outcomes = W4Util::MakeObject<Outcomes>(true);
  AsyncPerformAlerting(42u, 30, {}, {}, {}, 0, outcomes);
  outcomes->arrived.Wait();
  server_->WaitIdle();
  EXPECT_THAT(outcomes->codes, ElementsAre(eAlertingAnswered));
  EXPECT_TRUE(traces_.Has(W4Trace::kLevelFailure, "threw: application fault"));

  // An outcome that brings no code reaches no one and is traced under the
  // function that saw it.
  struct Silent {
    std::function<void(AsyncPerformAlertingCallback&)> outcome;
    int level;
    std::string function;
  };
  const Silent silent[] = {
      {[](auto& c) { c.OnAsyncResponseTimeout(1); }, W4Trace::kLevelWarning,
       "AsyncPerformAlertingCallback::OnAsyncResponseTimeout"},
      {[](auto& c) { c.OnAsyncResponseCancelled(1); }, W4Trace::kLevelFailure,
       "AsyncPerformAlertingCallback::OnAsyncResponseCancelled"},
      {[](auto& c) { c.OnAsyncResponseConnectionLoss(1); }, W4Trace::kLevelFailure,
       "AsyncPerformAlertingCallback::OnAsyncResponseConnectionLoss"},
  };
  for (const Silent& s : silent) {
    SCOPED_TRACE(s.function);
    traces_->Clear();
    AsyncPerformAlertingCallback callback(outcomes);
    s.outcome(callback);
    const auto traced = [&](const W4Trace::CTraceRecord& r) {
      return r.level == s.level && r.function == s.function &&
             r.text.find("PerformAlerting") != std::string::npos;
    };
    EXPECT_EQ(traces_->Count(traced), 1u);
  }
  EXPECT_THAT(outcomes->codes, ElementsAre(eAlertingAnswered));

  RemoveConnection();
  server_->ClearTraffic();
  EXPECT_EQ(Alert(kMax), eAlertingInternalError);
  EXPECT_THAT(AlertAsync(), ElementsAre(eAlertingInternalError));
  EndAlerting(42, 3);
  SilentAlerting(42);
  EXPECT_FALSE(AlertConnectionTimeout(42, 8));
  EXPECT_EQ(RequestCount(), 0u);
}

// Time-out plus three minutes, never wrapped round to a short wait: an
// answer arrives within any of these waits.
TEST_F(AlertingTest, TheWaitNeverWrapsRound) {
  const std::pair<std::uint32_t, std::uint32_t> waits[] = {
      {0, 180000},        {30, 210000},      {4294787, 4294967000},
      {4294788, kMax},    {536870732, kMax},  // (t + 180) * 1000 is 2^32 * 125
      {kMax - 179, kMax}, {kMax, kMax}};
  server_->Respond(kInteraction, 15, Body(std::int32_t{6}));
  for (const auto& [seconds, milliseconds] : waits) {
    SCOPED_TRACE(seconds);
    EXPECT_EQ(AlertingWaitMilliseconds(seconds), milliseconds);
    EXPECT_EQ(Alert(seconds), eAlertingDisconnected);
  }
}

TEST_F(AlertingTest, TextForms) {
  const CQmAlertingParameters none;
  const std::pair<std::string, std::string> texts[] = {
      {Text(eAlertingSucceeded), "0"},
      {Text(eAlertingAnswered), "7 (answered)"},
      {Text(static_cast<ePerformAlertingResponse>(12)),
       "12 (unknown ePerformAlertingResponse value)"},
      {Text(static_cast<CQmAlertingParameters::eAlertType>(6)), "6 (unknown eAlertType value)"},
      {Text(none),
       "<Type=-1 (unknown eAlertType value),AutoAnswer=0,Params=(Cadence=-1 (unknown eRingCadence "
       "value),Freq1=0,Ampl1=0,Freq2=0,Ampl2=0,Duration=0,SilenceDuration=0,Repeat=0,Greeting=,"
       "Whisper=,SIPAlert=)>"},
      {Text(AlertList{{kUser, none}, {kQueue, none}}),
       "UserQueue:#5:" + Text(none) + "\nWorkgroupQueue:#77:" + Text(none) + "\n"},
      {Text(std::vector<CEntityId>{}), ""},
      {Text(std::vector{kQueue}), "WorkgroupQueue:#77"},
      {Text(std::vector{kQueue, kUser}), "{WorkgroupQueue:#77,UserQueue:#5}"},
  };
  for (const auto& [text, expected] : texts) EXPECT_EQ(text, expected);
}

// A notification decodes from the entity it came from and its body; a
// malformed body is reported and keeps nothing of itself.
TEST_F(AlertingTest, AlertNotificationsDecodeWholeOrNotAtAll) {
  CMessage message(kUser, 0);
  message << std::int32_t{30} << std::int32_t{42} << Ringing();
  const AlertNotification alert(message);
  EXPECT_TRUE(alert.IsComplete());
  EXPECT_EQ(alert.alerted_entity(), kUser);
  EXPECT_EQ(alert.alerting_interaction(), kInteraction);
  EXPECT_EQ(alert.alerting_parameters(), Ringing());
  EXPECT_EQ(Text(alert),
            "Alert UserQueue:#5 for Interaction:#42: <Type=1 (User alert),AutoAnswer=1,CallingName="
            "Ann,MonitoredEntity=WorkgroupQueue:#77,Params=(Cadence=2 (1 sec on, 5 sec off),Freq1="
            "440,Ampl1=-3,Freq2=480,Ampl2=4,Duration=1000,SilenceDuration=5000,Repeat=3,Greeting="
            "hello,Whisper=,SIPAlert=sip)>");

  // Every cut of the body within a field or between two (the length of the
  // body stands just before it).
  const std::vector<std::uint8_t> bytes = message.Serialize();
  const std::size_t header = bytes.size() - message.BodySize();
  for (std::uint32_t cut = 0; cut < message.BodySize(); ++cut) {
    std::vector<std::uint8_t> shorter(bytes.begin(), bytes.begin() + header + cut);
    for (int i = 0; i < 4; ++i) shorter[header - 4 + i] = static_cast<std::uint8_t>(cut >> (8 * i));
    const AlertNotification broken(CMessage::Parse(shorter));
    EXPECT_TRUE(!broken.IsComplete() && broken.alerted_entity() == kUser &&
                !broken.alerting_interaction().IsSet() &&
                broken.alerting_parameters() == CQmAlertingParameters())
        << cut;
  }
}

// The procedural queue object functions and the generic queue object against
// the scripted server: what each sends, answers and publishes.

using namespace XANQueueObject;  // NOLINT: the actions and disconnection types
using I = std::int32_t;
using U = std::uint32_t;
using Entities = std::vector<CEntityId>;
namespace Q = AQueueObject;
const CEntityId kObject(W4Notifier::eGenericObject, 600u);
const CEntityId kRequests = InteractionEntity(600);
const CEntityId kBob(W4Notifier::eUserQueue, u"bob");
const CEntityId kStation(W4Notifier::eStationQueue, 12u);

// A move of object 600 with `state` (none when null).
std::string Moved(const Entities& removeFrom, const char16_t* state, const Entities& addTo) {
  CQmAttributeMap attributes;
  if (state != nullptr) attributes.insert(Xan_State, CQmAttributeValue(state));
  return requests::MoveAndSetRequest(600u, removeFrom, attributes, addTo).DescribeFields();
}

class QueueObjectsTest : public RequestTest {
 protected:
  // The notifications published since the last call, as "name type:id
  // fields" ("#event" for a nameless one).
  std::vector<std::string> Published() {
    server_->WaitIdle();
    std::vector<std::string> published;
    for (const W4Notifier::CTrafficRecord& record : server_->Traffic()) {
      const CMessage& m = record.message;
      if (record.kind != W4Notifier::IBusObserver::eTraffic::kNotification) continue;
      published.push_back(
          fmt::format("{} {}:{} {}",
                      m.QueryEventName().empty() ? fmt::format("#{}", m.QueryEventId())
                                                 : W4Os::WideToNarrowLossy(m.QueryEventName()),
                      static_cast<I>(m.QueryObjectType()), m.QueryObjectId(), m.DescribeFields()));
    }
    server_->ClearTraffic();
    return published;
  }
  // Object 600's object type and attributes as the server holds them.
  void Serve(I type, std::map<eAttributeName, std::u16string> attributes) {
    server_->Respond(kRequests, 37, Body(type));
    server_->Handle(kRequests, 0, [attributes](const CMessage& request) {
      CQmAttributeName name;
      I count = 0;
      name.Read(request >> count);
      for (const auto& [key, value] : attributes) {
        if (name == CQmAttributeName(key)) return CScriptedReply::Respond(ValueList({value}));
      }
      return CScriptedReply::Reject();
    });
  }
};

// Each function's remove-from and add-to lists; a move onto the queue it
// comes from sends nothing.
TEST_F(QueueObjectsTest, LegacyMovesSendTheObjectAndBothLists) {
  server_->Respond(kRequests, 7, Body(I{5}));
  InsertObjectOnQueue(kObject, kQueue, "ignored", 7);
  InsertObjectOnQueues(kObject, {kQueue, kUser});
  InsertObjectOnQueues(kObject, {});
  RemoveObjectFromQueue(kObject, kUser);
  RemoveObjectFromQueues(kObject, {});
  RemoveObjectFromAllQueues(kObject);
  EXPECT_EQ(MoveQueueObject(kObject, CEntityId(), kUser), 5);
  EXPECT_EQ(MoveQueueObject(kObject, kQueue, kQueue), 1);
  const std::string head = "int 70, int 600, ";
  EXPECT_THAT(SentFields(kRequests, 7),
              ElementsAre(head + "int 0, int 0, int 1, int 3, int 77",
                          head + "int 0, int 0, int 2, int 3, int 77, int 9, int 5",
                          head + "int 1, int 9, int 5, int 0, int 0",
                          head + "int 1, int 0, int 0, int 0, int 0",
                          head + "int 0, int 0, int 1, int 9, int 5"));
  EXPECT_THAT(RequestsAwaited(), ::testing::Each(true));
  ForEachFailure(kRequests, {7}, Body(I{5}),
                 [] { EXPECT_EQ(MoveQueueObject(kObject, kQueue, kUser), 0); });
}

// An answer cut short tells nothing; an unset queue asks nothing.
TEST_F(QueueObjectsTest, ActiveCountsContainingQueuesAndItems) {
  const std::tuple<CMessage, int, int> answers[] = {
      {Body(true, false), 1, 1}, {Body(false, true), 0, 1}, {Body(true), 0, 0}};
  for (const auto& [answer, active, either] : answers) {
    server_->Respond(ServerEntity(), 9, answer);
    EXPECT_EQ(QueryActiveQueueObjectCount(kQueue, W4Notifier::eGenericObject), active);
    EXPECT_EQ(QueryActiveHeldQueueObjectCount(kQueue, W4Notifier::eGenericObject), either);
  }
  EXPECT_EQ(QueryActiveHeldQueueObjectCount(CEntityId(), W4Notifier::eGenericObject), 0);
  EXPECT_THAT(SentFields(ServerEntity(), 9), ::testing::Each("int 3, int 77, int 70"));
  EXPECT_EQ(RequestCount(), 6u);

  W4Notifier::CEntityIdArray queues{kObject};
  std::vector<sQueueItem> items(3);
  for (const bool whole : {true, false}) {  // the list, then the list cut short
    const CMessage list = whole ? Body(I{2}, I{3}, I{77}, I{9}, I{5}) : Body(I{2}, I{3}, I{77});
    server_->Respond(kRequests, 6, list);
    server_->Respond(ServerEntity(), 4, list);
    EXPECT_EQ(QueryQueuesContainingObject(kObject, queues), whole ? 2 : 0);
    EXPECT_EQ(queues, (whole ? Entities{kQueue, kUser} : Entities{}));
    EXPECT_EQ(RequestQueueItems(kQueue, items), whole ? 2 : -1);
    EXPECT_EQ(items,
              (whole ? std::vector<sQueueItem>{{3, 77}, {9, 5}} : std::vector<sQueueItem>{}));
  }
}

// One request per block; 0 and 0xFFFFFFFF are never handed out; a block
// that cannot be had gives 0.
TEST_F(QueueObjectsTest, ObjectIdsComeFromServerBlocks) {
  const CEntityId allocator = InteractionEntity(W4Notifier::kAllObjects);
  const std::pair<CMessage, std::vector<U>> blocks[] = {
      {Body(U{1000}, I{3}), {1000, 1001, 1002}},
      {Body(U{0}, I{3}), {1, 2}},
      {Body(U{0xFFFFFFFDu}, I{5}), {0xFFFFFFFDu, 0xFFFFFFFEu}},
      {Body(U{0xFFFFFFFFu}, I{5}), {0}},
      {Body(U{40}, I{0}), {0}},
      {Body(U{40}), {0}}};
  CObjectIdBlock block;
  for (const auto& [answer, ids] : blocks) {
    server_->Respond(allocator, 35, answer);
    server_->ClearTraffic();
    for (U id : ids) EXPECT_EQ(block.Allocate(3), id);
    EXPECT_THAT(SentFields(allocator, 35), ElementsAre("int 3"));
  }
  server_->Respond(allocator, 35, Body(U{7}, I{2}));
  EXPECT_EQ(AllocateQueueObjectId(2) + AllocateQueueObjectId(2), 15u);
}

// Plain names are workgroup queues, names with ':' after their first
// character scoped names; what names nothing is left out.
TEST_F(QueueObjectsTest, SelectCallParsesNamesAndRefusesNoCall) {
  CMessage expected;
  requests::WriteEntityList(expected << I{4},
                            {CEntityId(W4Notifier::eWorkgroupQueue, u"Sales"), kBob, kQueue,
                             CEntityId(W4Notifier::eWorkgroupQueue, u":odd")});
  const std::vector<std::string> names = {"Sales", "UserQueue:bob", "WorkgroupQueue:#77", ":odd",
                                          "",      "NoSuchType:x"};
  const std::pair<CMessage, U> answers[] = {
      {Body(U{321}), 321}, {Body(U{0}), 0}, {Body(U{0xFFFFFFFFu}), 0}, {Body(true), 0}};
  for (const auto& [answer, selected] : answers) {
    server_->Respond(ServerEntity(), 12, answer);
    U id = 99;
    EXPECT_EQ(SelectCall(names, 4, id), selected != 0);
    EXPECT_EQ(id, selected);
  }
  EXPECT_THAT(SentFields(ServerEntity(), 12), ::testing::Each(expected.DescribeFields()));
  U id = 99;
  EXPECT_FALSE(SelectCall({"", "x:"}, 4, id) || id != 0);
  EXPECT_EQ(RequestCount(), 4u);
}

TEST_F(QueueObjectsTest, GenericObjectActionsMoveSetAndPublish) {
  server_->Respond(kRequests, 7, Body(true));
  CGenericObject object(kObject);
  const std::tuple<std::function<void()>, std::vector<std::string>, std::vector<std::string>>
      actions[] = {
          {[&] { object.Connect("bob"); }, {Moved({}, u"C", {kBob})}, {"Connected 70:600 "}},
          {[&] { object.Hold("bob"); }, {Moved({}, u"H", {kBob})}, {"Held 70:600 "}},
          {[&] { object.Park(kStation); }, {Moved({}, u"P", {kStation})}, {"Parked 70:600 "}},
          {[&] { object.Park(kQueue); }, {}, {}},
          {[&] { object.Transfer("ann", kBob, kQueue, false); },
           {Moved({kQueue}, u"S", {kBob})},
           {"Transfered 70:600 "}},
          {[&] { object.Transfer(kBob, kQueue); },
           {Moved({kQueue}, u"O", {kBob})},
           {"Transfered 70:600 ",
            "GenericObjectInNonSystemQueue 70:600 wstring \"UserQueue:bob\""}},
          {[&] { object.SetCurrentQueue(kQueue); }, {Moved({}, nullptr, {kQueue})}, {}},
          {[&] { object.Disconnect(eDisconnectToInitializing); },
           {Moved({}, u"I", {})},
           {"Disconnected 70:600 "}},
          {[&] { object.Disconnect(DisconnectionType{7}); },
           {Moved({}, u"E", {})},
           {"Disconnected 70:600 "}},
      };
  for (const auto& [action, moves, published] : actions) {
    action();
    EXPECT_EQ(SentFields(kRequests, 7), moves);
    EXPECT_EQ(Published(), published);
  }
}

// The server's entity replaces the object's; "Created" is published even
// when the server refuses. Unknown codes map to 'C', 'I' and 'I'.
TEST_F(QueueObjectsTest, GenericObjectCreationTakesTheServersEntity) {
  server_->Respond(ServerEntity(), 14, Body(true, I{70}, I{600}));
  CGenericObject object;
  object.CreateNew(kQueue, Q::eQueueObjectStatus{'X'}, Q::eQueueObjectDirection{'X'},
                   Q::eQueueObjectParty{'X'}, Q::ePartyStation, "Caller", "c1", "555");
  EXPECT_EQ(object.QueryObjectEntityId(), kObject);
  EXPECT_THAT(SentFields(ServerEntity(), 14),
              ElementsAre("uint 0, int 70, int 10, int 5, wtext \"I\", int 18, wtext \"555\", "
                          "int 19, wtext \"\", int 20, wtext \"\", int 21, wtext \"S\", int 32, "
                          "wtext \"\", int 33, wtext \"c1\", int 34, wtext \"Caller\", int 35, "
                          "wtext \"I\", int 38, wtext \"C\", int 1, int 3, int 77, int 0"));
  EXPECT_THAT(Published(), ElementsAre("Created 70:600 ",
                                       "GenericObjectInNonSystemQueue 70:600 "
                                       "wstring \"WorkgroupQueue:#77\""));
  server_->Reject(ServerEntity(), 14);
  CGenericObject second(W4Notifier::eGenericObject2, 9u);
  second.CreateNew(kBob, Q::eStatusAlerting, Q::eDirectionOutbound, Q::ePartyExternal,
                   Q::ePartyInternal, "", "", "");
  EXPECT_EQ(second.QueryObjectEntityId(), CEntityId(W4Notifier::eGenericObject2, 9u));
  EXPECT_THAT(Published(), ElementsAre("Created 195:9 ", "#10 195:9 wstring \"UserQueue:bob\""));
}

TEST_F(QueueObjectsTest, GenericObjectValidActionFollowsStateAndAssignment) {
  const std::tuple<I, const char16_t*, const char16_t*, U, const char*, bool> cases[] = {
      {20, u"A", u"", eActionTransfer, "bob", false},
      {70, u"A", u"", eActionTransfer, "bob", true},
      {195, u"H", u"", eActionPark, "bob", true},
      {70, u"E", u"", eActionDisconnect, "bob", false},
      {70, u"C", u"", eActionPickup, "bob", false},
      {70, u"C", u"", eActionDisconnect, "bob", true},
      {70, u"C", u"Sales", eActionWorkgroupTransfer, "bob", true},
      {70, u"C", u"", eActionWorkgroupTransfer, "bob", false},
      {70, u"C", u"", eActionPickup, "carl", true},
      {70, u"O", u"Sales", eActionWorkgroupTransfer, "carl", false},
  };
  const CGenericObject object(600);
  for (const auto& [type, state, workgroup, action, user, valid] : cases) {
    Serve(type, {{Xan_State, state}, {Xan_UserName, u"ann|bob"}, {Xan_WorkgroupName, workgroup}});
    EXPECT_EQ(object.ValidAction(action, user), valid) << type << " " << action << " " << user;
    EXPECT_EQ(object.IsAlerting(), state[0] == u'A' || state[0] == u'O');
  }
  EXPECT_TRUE(traces_.Has(W4Trace::kLevelWarning, "Invalid object type '20'"));
}

// Many threads draw object ids at once: every id is drawn once, and each
// block costs exactly one request.

class ObjectIdConcurrencyTest : public RequestTest {};

TEST_F(ObjectIdConcurrencyTest, ThreadsShareEachBlock) {
  constexpr std::uint32_t kThreads = 8, kDraws = 200, kBlock = 16;
  std::atomic<std::uint32_t> nextFirst{100};
  server_->Handle(InteractionEntity(W4Notifier::kAllObjects), 35, [&](const CMessage&) {
    return CScriptedReply::Respond(Body(nextFirst.fetch_add(kBlock), std::int32_t{kBlock}));
  });
  CObjectIdBlock block;
  std::vector<std::vector<std::uint32_t>> drawn(kThreads);
  std::vector<std::thread> threads;
  for (auto& ids : drawn) {
    threads.emplace_back([&block, &ids] {
      for (std::uint32_t i = 0; i < kDraws; ++i) ids.push_back(block.Allocate(kBlock));
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::uint32_t> unique;
  for (const auto& ids : drawn) unique.insert(ids.begin(), ids.end());
  EXPECT_EQ(unique.size(), kThreads * kDraws);
  EXPECT_EQ(*unique.begin(), 100u);
  EXPECT_EQ(*unique.rbegin(), 100u + kThreads * kDraws - 1);
  EXPECT_EQ(RequestCount(), kThreads * kDraws / kBlock);
}

}  // namespace
}  // namespace QueueManager::testing
