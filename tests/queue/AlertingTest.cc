// Alerting against the scripted server: request fields, every way an
// outcome arrives (synchronously and asynchronously), the text and message
// forms, and the decoding of alert notifications.

#include "QueueManager/Alerting.h"

#include <gmock/gmock.h>

#include <limits>
#include <sstream>
#include <stdexcept>

#include "queue/AlertingCallback.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {
namespace {

using Params = CQmAlertingParameters::CallAlertingParams;
constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
const CEntityId kInteraction = InteractionEntity(42);
const CEntityId kUser(W4Notifier::eUserQueue, 5u);
const CEntityId kQueue(W4Notifier::eWorkgroupQueue, 77u);

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

}  // namespace
}  // namespace QueueManager::testing
