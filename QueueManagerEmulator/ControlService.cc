// The control functions served as requests: each decoded request runs the
// function of its kind and its result becomes the answer.

#include "ControlWire.h"
#include "Wire.h"

namespace QueueManager::Emulator {

using W4Notifier::CMessage;

namespace {

void WriteIds(CMessage& out, const std::vector<std::uint32_t>& ids) {
  out << static_cast<std::int32_t>(ids.size());
  for (const std::uint32_t id : ids) out << id;
}

void WriteCounts(CMessage& out, const QueueCounts& c) {
  out << c.alerting << c.connected << c.disconnected << c.held << c.messaging << c.system;
}

// The answers of the inspections: found or not, then what was found.
CMessage Inspect(const ControlRequest& r, const IEmulatorControl& control) {
  CMessage answer;
  switch (r.kind) {
    case eControl::kQueues:
      WriteEntities(answer, control.Queues(r.type));
      break;
    case eControl::kQueueContents: {
      const auto contents = control.QueueContents(r.queue);
      answer << contents.has_value();
      if (contents) WriteIds(answer, *contents);
      break;
    }
    case eControl::kCounts: {
      const auto counts = control.Counts(r.queue);
      answer << counts.has_value();
      if (counts) WriteCounts(answer, *counts);
      break;
    }
    case eControl::kInteraction: {
      const auto interaction = control.Interaction(r.id);
      answer << interaction.has_value();
      if (interaction) WriteInteraction(answer, *interaction);
      break;
    }
    default:  // kRejections
      answer << static_cast<unsigned long long>(control.MalformedRequests())
             << control.LastRejection();
      break;
  }
  return answer;
}

}  // namespace

CMessage RunControl(const ControlRequest& r, IEmulatorControl& control) {
  CMessage answer;
  switch (r.kind) {
    case eControl::kCreateQueue:
      answer << control.CreateQueue(r.queue);
      break;
    case eControl::kAddInteraction:
      answer << control.AddInteraction(r.type, r.map, r.entities);
      break;
    case eControl::kSetAttributes:
      answer << control.SetAttributes(r.id, r.map);
      break;
    case eControl::kMove:
      answer << control.Move(r.id, r.entities, r.entities2);
      break;
    case eControl::kAnswerAlerting:
      answer << control.AnswerAlerting(r.id, r.queue);
      break;
    case eControl::kRemoveInteraction:
      answer << control.RemoveInteraction(r.id);
      break;
    case eControl::kInjectFault:
      control.InjectFault(r.requestFault);
      break;
    case eControl::kInjectNotificationFault:
      control.InjectNotificationFault(r.notificationFault);
      break;
    case eControl::kClearFaults:
      control.ClearFaults();
      break;
    case eControl::kSetNextInteractionId:
      control.SetNextInteractionId(r.id);
      break;
    case eControl::kRenegotiateSender:
      answer << true;  // the emulator renegotiates once the answer is sent
      break;
    default:
      answer = Inspect(r, control);
      break;
  }
  return answer;
}

}  // namespace QueueManager::Emulator
