#pragma once

// The alertings in progress: an alerting order holds its caller's reply until
// it ends, and ends with one of these codes:
//   0  auto-answered: an alerted party answers by itself, at once;
//   6  disconnected: the interaction was removed or its state became I or E;
//   7  answered by an alerted party (CEmulator::AnswerAlerting);
//   8  transferred: the interaction left a queue it was alerting from;
//   9  ended by an end alerting request (event 16);
//   10 the time-out passed.
// A bad order is answered at once, and changes nothing:
//   1  no party to alert, an unset party or a time-out of 0 seconds;
//   2  the interaction does not exist;
//   3  it is disconnected, or already alerting;
//   4  it is not on each queue of the first list (the queues it alerts from);
//   5  it is already on a queue of the second list (the associated queues).
// While it alerts, the interaction's state is A and it is on the associated
// queues; answered it is connected (C) and stays there; any other end takes
// it off them and gives it back its earlier state, unless its state changed
// meanwhile. Each alerted party's entity gets an alert notification (event 15
// of that entity: the interaction's entity fields and the party's
// parameters) when the alerting starts. The final value of the order is kept
// as it came.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager::Emulator {

using Clock = std::chrono::steady_clock;

// One party's alerting parameters, as they travel.
struct AlertParameters {
  std::int32_t type = -1;
  bool autoAnswer = false;
  std::string callingName;
  std::string callingAddress;
  W4Notifier::CEntityId monitored;
  std::int32_t cadence = -1;
  std::uint16_t freq1 = 0;
  std::int16_t ampl1 = 0;
  std::uint16_t freq2 = 0;
  std::int16_t ampl2 = 0;
  std::uint16_t duration = 0;
  std::uint16_t silence = 0;
  std::uint16_t repeat = 0;
  std::string greeting;
  std::string whisper;
  std::string sipAlert;
};
void ReadAlertParameters(const W4Notifier::CMessage& message, AlertParameters& parameters);
void WriteAlertParameters(W4Notifier::CMessage& message, const AlertParameters& parameters);

struct AlertOrder {
  W4Notifier::CEntityId party;
  AlertParameters parameters;
};

// One alerting in progress.
struct Alerting {
  std::uint64_t ticket = 0;  // names the held reply
  Clock::time_point deadline;
  std::vector<W4Notifier::CEntityId> fromQueues;
  std::vector<W4Notifier::CEntityId> associatedQueues;
  std::vector<AlertOrder> orders;
  CQmAttributeValue earlierState;
  std::uint32_t finalValue = 0;
  bool silent = false;
};

// An ended alerting's code for its held reply.
struct AlertOutcome {
  std::uint64_t ticket = 0;
  std::int32_t code = 0;
};

}  // namespace QueueManager::Emulator
