// libFuzzer target: decodes an attribute name, value or map, or a statistics
// record, from arbitrary message bytes. Decoding must either succeed or throw
// CNotifierExtractException (anything else escapes and is reported as a
// crash), a failed decode must leave the record as documented, and whatever
// decoded must survive encoding and decoding again as an equal object. The
// monitor cache's decoder of event attributes must agree with the map's.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "AttributeCodecInput.h"
#include "QueueManager/AttributeMap.h"
#include "QueueManager/QueueStats.h"
#include "RoundTripChecks.h"
#include "monitor/EventAttributes.h"

namespace QueueManager::fuzzing {
namespace {

using W4Notifier::CMessage;
using W4Notifier::CNotifierExtractException;

bool SameSpelling(const CQmAttributeName& a, const CQmAttributeName& b) {
  return a == b && a.DisplayName() == b.DisplayName();
}

bool SameSpelling(const CQmAttributeMap& a, const CQmAttributeMap& b) {
  if (a != b) return false;
  for (auto i = a.begin(), j = b.begin(); i != a.end(); ++i, ++j) {
    if (i->first.DisplayName() != j->first.DisplayName()) return false;
  }
  return true;
}

// Encodes `decoded` and reads it back into a fresh object, which must not
// fail, and checks that the whole message was consumed.
template <class T, class Encode, class Decode>
T RoundTrip(const T& decoded, Encode encode, Decode decode) {
  CMessage message;
  encode(decoded, message);
  T again;
  decode(again, message);
  Require(message.IsAtEndOfData(), "the encoded message was not read whole");
  return again;
}

void CheckName(CMessage& input) {
  CQmAttributeName decoded;
  try {
    decoded.Read(input);
  } catch (const CNotifierExtractException&) {
    return;
  }
  const auto encode = [](const CQmAttributeName& n, CMessage& m) { n.Write(m); };
  const auto decode = [](CQmAttributeName& n, CMessage& m) { n.Read(m); };
  const CQmAttributeName again = RoundTrip(decoded, encode, decode);
  Require(SameSpelling(again, WireForm(decoded)), "name");
  Require(SameSpelling(RoundTrip(again, encode, decode), again), "name, second trip");
}

void CheckValue(CMessage& input) {
  std::u16string text;
  try {
    input >> text;
  } catch (const CNotifierExtractException&) {
    return;
  }
  const CQmAttributeValue decoded(text);
  const auto encode = [](const CQmAttributeValue& v, CMessage& m) { m << v.c_str(); };
  const auto decode = [](CQmAttributeValue& v, CMessage& m) {
    std::u16string read;
    m >> read;
    v = read;
  };
  Require(RoundTrip(decoded, encode, decode) == WireForm(decoded), "value");
}

// The cache's own decoder of the map form must agree with the map: the same
// entries and spellings, or a failure that leaves nothing.
void CheckEventAttributes(const CMessage& input, const CQmAttributeMap* decoded) {
  CQmAttributeMap leftOver;
  leftOver[Xan_State] = u"left over";
  EventAttributes attributes;
  attributes.Assign(leftOver);
  try {
    attributes.Read(input);
  } catch (const CNotifierExtractException&) {
    Require(decoded == nullptr && attributes.empty(), "event attributes failed alone");
    return;
  }
  Require(decoded != nullptr && SameSpelling(attributes.Map(), *decoded),
          "event attributes differ from the map");
}

void CheckMap(CMessage& input) {
  const CMessage copy = input;  // its own read position
  CQmAttributeMap decoded;
  decoded[Xan_State] = u"left over";
  try {
    decoded.Read(input);
  } catch (const CNotifierExtractException&) {
    Require(decoded.empty(), "a failed map read left entries");
    CheckEventAttributes(copy, nullptr);
    return;
  }
  CheckEventAttributes(copy, &decoded);
  // Entries are written in map order and stored on arrival with assignment
  // semantics; the same insertions of their wire forms give the expected map.
  CQmAttributeMap expected;
  for (const auto& [name, value] : decoded) expected.insert(WireForm(name), WireForm(value));
  const auto encode = [](const CQmAttributeMap& map, CMessage& m) { map.Write(m); };
  const auto decode = [](CQmAttributeMap& map, CMessage& m) { map.Read(m); };
  const CQmAttributeMap again = RoundTrip(decoded, encode, decode);
  Require(SameSpelling(again, expected), "map");
  Require(SameSpelling(RoundTrip(again, encode, decode), again), "map, second trip");
}

// Statistics records carry every value exactly: one trip gives an equal record.
template <class Stats>
void CheckStats(CMessage& input, const Stats& sentinel) {
  Stats decoded = sentinel;
  try {
    input >> decoded;
  } catch (const CNotifierExtractException&) {
    Require(decoded == sentinel, "a failed statistics read changed the record");
    return;
  }
  const auto encode = [](const Stats& s, CMessage& m) { m << s; };
  const auto decode = [](Stats& s, CMessage& m) { m >> s; };
  Require(RoundTrip(decoded, encode, decode) == decoded, "statistics");
}

CQmQueueStats2 Stats2Sentinel() {
  CQmQueueStats2 stats;
  stats.SetTotalConnectionCallCount(11);
  stats.media_type_maps()[W4Notifier::eInteractionRequest].Held = 3;
  return stats;
}

void CheckInput(std::span<const std::uint8_t> input) {
  if (input.empty()) return;
  CMessage message = MessageWithBody(input.subspan(1));
  (void)message.DescribeFields();
  switch (SelectedStructure(input[0])) {
    case Structure::kName:
      return CheckName(message);
    case Structure::kValue:
      return CheckValue(message);
    case Structure::kMap:
      return CheckMap(message);
    case Structure::kQueueStats:
      return CheckStats(message, CQmQueueStats({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    case Structure::kQueueStats2:
      return CheckStats(message, Stats2Sentinel());
  }
}

}  // namespace
}  // namespace QueueManager::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  QueueManager::fuzzing::CheckInput(std::span<const std::uint8_t>(data, size));
  return 0;
}
