// libFuzzer target: the decoders of request messages and of their responses
// read arbitrary message bytes. A decode must either succeed or throw
// CNotifierExtractException (anything else escapes and is reported as a
// crash); a failed decode must leave its object and the read position as they
// were; whatever decoded must survive encoding and decoding again as its wire
// form.
//
// Input: one byte that selects a row of the decoder table (modulo its size),
// then the raw bytes of a message body. Further decoders are further rows.
// Seeds: make_seeds.cc.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <sstream>

#include "AttributeCodecInput.h"
#include "QueueManager/Alerting.h"
#include "QueueManager/ConditionalUpdates.h"
#include "QueueManager/InteractionLifeCycle.h"
#include "RoundTripChecks.h"
#include "queue/AlertingCallback.h"
#include "requests/RequestFields.h"

namespace QueueManager::fuzzing {
namespace {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;
using W4Notifier::CNotifierExtractException;

// ---- SetAttributeConditionally ------------------------------------------------

using Setting = SetAttributeConditionally;

// `again` is what the wire makes of `sent`.
bool IsWireFormOf(const Setting::Condition& again, const Setting::Condition& sent) {
  return again.attribute_name == WireForm(sent.attribute_name) &&
         again.comparison == sent.comparison &&
         again.comparison_value == WireForm(sent.comparison_value) &&
         again.comparison_attribute_name == WireForm(sent.comparison_attribute_name) &&
         again.flag == sent.flag;
}

bool IsWireFormOf(const Setting& again, const Setting& sent) {
  const auto& conditions = again.query_conditions();
  return again.query_andConditions() == sent.query_andConditions() &&
         again.query_alwaysSetIfAttributeIsEmpty() == sent.query_alwaysSetIfAttributeIsEmpty() &&
         again.query_attribute_name() == WireForm(sent.query_attribute_name()) &&
         again.query_attribute_value() == WireForm(sent.query_attribute_value()) &&
         std::equal(conditions.begin(), conditions.end(), sent.query_conditions().begin(),
                    sent.query_conditions().end(),
                    [](const auto& a, const auto& s) { return IsWireFormOf(a, s); });
}

Setting RoundTrip(const Setting& setting) {
  CMessage message;
  setting.write(message);
  Setting again;
  again.read(message);
  Require(message.IsAtEndOfData(), "the encoded setting was not read whole");
  return again;
}

void CheckConditionalSetting(const CMessage& input) {
  Setting sentinel(Xan_State, CQmAttributeValue(u"left"), true, false);
  sentinel.AddCondition(Xan_Note, Setting::eComparisonType{}, CQmAttributeName(Xan_State), true);
  Setting decoded = sentinel;
  try {
    decoded.read(input);
  } catch (const CNotifierExtractException&) {
    Require(decoded == sentinel, "a failed read changed the setting");
    Require(input.QueryReadPosition() == 0, "a failed read moved the read position");
    return;
  }
  const Setting again = RoundTrip(decoded);
  Require(IsWireFormOf(again, decoded), "setting");
  Require(RoundTrip(again) == again, "setting, second trip");
}

// ---- CDeactivationData ------------------------------------------------------------
//
// The report decoder never throws nor allocates for the lengths and counts it
// is told; it leaves the caller's message where it was; a report that stops
// short keeps no attributes; a complete one, written again, decodes complete
// and, once names and values have their wire form, stays equal trip after
// trip.

// The report as the server would write it, with an empty block.
CMessage Written(const CDeactivationData& data) {
  CMessage message;
  requests::WriteEntity(message, data.QueryEntityId());
  message << std::uint32_t{0};
  data.QueryAttributes().Write(message);
  return message;
}

CDeactivationData WrittenAndRead(const CDeactivationData& data) {
  const CDeactivationData again(Written(data));
  Require(again.IsComplete(), "a written report did not decode whole");
  Require(again.QueryEntityId() == data.QueryEntityId(), "the entity changed on the way");
  return again;
}

void CheckDeactivationData(const CMessage& input) {
  const CDeactivationData data(input);
  Require(input.QueryReadPosition() == 0, "the caller's message was read");
  if (!data.IsComplete()) {
    Require(data.QueryAttributes().empty(), "an incomplete report kept attributes");
    return;
  }
  Require(data.QueryEntityId().IsSet(), "a complete report without an entity");
  const CDeactivationData once = WrittenAndRead(data);
  const CDeactivationData twice = WrittenAndRead(once);
  Require(twice.QueryAttributes() == once.QueryAttributes(), "the attributes changed");
}

// ---- Alerting -------------------------------------------------------------------
//
// An alert notification never throws and leaves the caller's message where it
// was; an incomplete one keeps nothing of its body. Alert list entries read
// whole or not at all. Whatever decoded prints, and survives writing and
// reading again unchanged once its texts have their wire form (cut at the
// first U+0000). An answer to an alerting request reaches the application
// exactly once: the server's code when it is there, else 11.

AlertList::value_type EntryRoundTrip(const AlertList::value_type& entry) {
  CMessage message;
  message << entry;
  AlertList::value_type again;
  message >> again;
  Require(message.IsAtEndOfData(), "the encoded alert was not read whole");
  return again;
}

void CheckAlertRoundTrip(const AlertList::value_type& entry) {
  std::ostringstream text;
  text << AlertList{entry};
  const AlertList::value_type once = EntryRoundTrip(entry);
  Require(EntryRoundTrip(once) == once, "alert, second trip");
}

void CheckAlertNotification(const CMessage& input) {
  const AlertNotification alert(input);
  Require(input.QueryReadPosition() == 0, "the caller's message was read");
  std::ostringstream text;
  text << alert;
  if (!alert.IsComplete()) {
    Require(!alert.alerting_interaction().IsSet() &&
                alert.alerting_parameters() == CQmAlertingParameters(),
            "an incomplete notification kept part of its body");
    return;
  }
  CheckAlertRoundTrip({alert.alerting_interaction(), alert.alerting_parameters()});
}

void CheckAlertEntry(const CMessage& input) {
  const AlertList::value_type sentinel{CEntityId(W4Notifier::eUserQueue, 5u),
                                       CQmAlertingParameters(1, true, "left", "", {}, {})};
  AlertList::value_type decoded = sentinel;
  try {
    input >> decoded;
  } catch (const CNotifierExtractException&) {
    Require(decoded == sentinel, "a failed read changed the alert");
    Require(input.QueryReadPosition() == 0, "a failed read moved the read position");
    return;
  }
  CheckAlertRoundTrip(decoded);
}

class CountedOutcomes final : public AsyncPerformAlertingResponse {
 public:
  void OnPerformAlertingResponse(ePerformAlertingResponse code) override {
    ++calls;
    last = code;
  }
  int calls = 0;
  ePerformAlertingResponse last = eAlertingSucceeded;
};

void CheckAlertingAnswer(const CMessage& input) {
  std::int32_t expected = eAlertingInternalError;
  const CMessage probe = input;
  try {
    probe >> expected;
  } catch (const CNotifierExtractException&) {
    expected = eAlertingInternalError;
  }
  for (bool rejected : {false, true}) {
    const auto outcomes = W4Util::MakeObject<CountedOutcomes>();
    CMessage answer = input;
    AsyncPerformAlertingCallback callback(outcomes);
    if (rejected) {
      callback.OnAsyncResponseRejected(1, answer);
    } else {
      callback.OnAsyncResponseSuccess(1, answer);
    }
    Require(outcomes->calls == 1, "an answer was not delivered exactly once");
    // A rejection never reads as success: one that carries no failure code
    // of the enumeration is an internal error.
    const bool failureCode = expected > eAlertingSucceeded && expected <= eAlertingInternalError;
    const std::int32_t delivered = rejected && !failureCode ? eAlertingInternalError : expected;
    Require(outcomes->last == delivered, "the delivered code is not the server's");
  }
}

// ---- The decoder table ------------------------------------------------------------

struct Decoder {
  const char* what;
  void (*check)(const CMessage& input);
};

constexpr Decoder kDecoders[] = {
    {"SetAttributeConditionally::read", CheckConditionalSetting},
    {"CDeactivationData", CheckDeactivationData},
    {"AlertNotification", CheckAlertNotification},
    {"alert list entry", CheckAlertEntry},
    {"alerting answer", CheckAlertingAnswer},
};

void CheckInput(std::span<const std::uint8_t> input) {
  if (input.empty()) return;
  const CMessage message = MessageWithBody(input.subspan(1));
  kDecoders[input[0] % std::size(kDecoders)].check(message);
}

}  // namespace
}  // namespace QueueManager::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  QueueManager::fuzzing::CheckInput(std::span<const std::uint8_t>(data, size));
  return 0;
}
