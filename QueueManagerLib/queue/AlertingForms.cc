// The message forms and the text forms of the alerting types.

#include <cstdint>
#include <ostream>
#include <string_view>
#include <utility>

#include "QueueManager/Alerting.h"
#include "QueueManager/Platform/Exceptions.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

using W4Notifier::CMessage;
using Params = CQmAlertingParameters::CallAlertingParams;

struct NamedValue {
  std::int32_t value;
  std::string_view text;
};

constexpr NamedValue kResponseTexts[] = {
    {1, "invalid parameter"},
    {2, "invalid interaction ID"},
    {3, "invalid interaction state"},
    {4, "interaction not already on alerted queue"},
    {5, "interaction already on associated queue"},
    {6, "disconnected"},
    {7, "answered"},
    {8, "transferred"},
    {9, "ended by QueueManager::EndAlerting"},
    {10, "timeout"},
    {11, "internal error"},
};

constexpr NamedValue kAlertTypeTexts[] = {
    {1, "User alert"},         {2, "Station alert"},  {3, "Workgroup alert"},
    {4, "Stationgroup alert"}, {5, "ACD user alert"}, {7, "ACD station alert"},
    {8, "Held timeout"},       {9, "Parked timeout"},
};

constexpr NamedValue kCadenceTexts[] = {
    {1, "2 sec on, 4 sec off"},
    {2, "1 sec on, 5 sec off"},
    {3, "Splash 1"},
    {4, "Splash 2"},
    {5, "Splash 3"},
    {6, "Splash 4"},
    {7, "Long/Short"},
    {8, "Short/Long"},
};

// The number, then " (text)" for a value of the table, else
// " (unknown <enumeration> value)".
template <std::size_t N>
std::ostream& PrintNamed(std::ostream& out, std::int32_t value, const NamedValue (&table)[N],
                         std::string_view enumeration) {
  out << value;
  for (const NamedValue& named : table) {
    if (named.value == value) return out << " (" << named.text << ')';
  }
  return out << " (unknown " << enumeration << " value)";
}

// Reads with `read` into a scratch value and commits it only when the whole
// form was read; otherwise the read position goes back to where it was.
template <class T, class Read>
const CMessage& ReadWhole(const CMessage& message, T& target, Read read) {
  const std::size_t start = message.QueryReadPosition();
  try {
    T decoded;
    read(decoded);
    target = std::move(decoded);
  } catch (const W4Notifier::CNotifierExtractException&) {
    message.RestoreReadPosition(start);
    throw;
  }
  return message;
}

}  // namespace

// ---- Message forms ----------------------------------------------------------

CMessage& operator<<(CMessage& message, const Params& params) {
  // Narrow texts travel zero-terminated: the text up to its first U+0000.
  return message << params.Cadence << params.Freq1 << params.Ampl1 << params.Freq2 << params.Ampl2
                 << params.Duration << params.SilenceDuration << params.Repeat
                 << params.Greeting.c_str() << params.Whisper.c_str() << params.SIPAlert.c_str();
}

CMessage& operator<<(CMessage& message, const CQmAlertingParameters& parameters) {
  message << parameters.Type << parameters.AutoAnswer << parameters.CallingName.c_str()
          << parameters.CallingAddress.c_str();
  requests::WriteEntity(message, parameters.MonitoredEntity);
  return message << parameters.Params;
}

CMessage& operator<<(CMessage& message, const AlertList::value_type& entry) {
  requests::WriteEntity(message, entry.first);
  return message << entry.second;
}

const CMessage& operator>>(const CMessage& message, Params& params) {
  return ReadWhole(message, params, [&](Params& p) {
    message >> p.Cadence >> p.Freq1 >> p.Ampl1 >> p.Freq2 >> p.Ampl2 >> p.Duration >>
        p.SilenceDuration >> p.Repeat >> p.Greeting >> p.Whisper >> p.SIPAlert;
  });
}

const CMessage& operator>>(const CMessage& message, CQmAlertingParameters& parameters) {
  return ReadWhole(message, parameters, [&](CQmAlertingParameters& p) {
    message >> p.Type >> p.AutoAnswer >> p.CallingName >> p.CallingAddress;
    p.MonitoredEntity = requests::ReadEntity(message);
    message >> p.Params;
  });
}

const CMessage& operator>>(const CMessage& message, AlertList::value_type& entry) {
  return ReadWhole(message, entry, [&](AlertList::value_type& e) {
    e.first = requests::ReadEntity(message);
    message >> e.second;
  });
}

// ---- Text forms -------------------------------------------------------------

std::ostream& operator<<(std::ostream& out, ePerformAlertingResponse code) {
  if (code == eAlertingSucceeded) return out << 0;
  return PrintNamed(out, code, kResponseTexts, "ePerformAlertingResponse");
}

std::ostream& operator<<(std::ostream& out, CQmAlertingParameters::eAlertType type) {
  return PrintNamed(out, type, kAlertTypeTexts, "eAlertType");
}

std::ostream& operator<<(std::ostream& out, Params::eRingCadence cadence) {
  return PrintNamed(out, cadence, kCadenceTexts, "eRingCadence");
}

std::ostream& operator<<(std::ostream& out, Params params) {
  return out << "(Cadence=" << static_cast<Params::eRingCadence>(params.Cadence)
             << ",Freq1=" << params.Freq1 << ",Ampl1=" << params.Ampl1 << ",Freq2=" << params.Freq2
             << ",Ampl2=" << params.Ampl2 << ",Duration=" << params.Duration
             << ",SilenceDuration=" << params.SilenceDuration << ",Repeat=" << params.Repeat
             << ",Greeting=" << params.Greeting << ",Whisper=" << params.Whisper
             << ",SIPAlert=" << params.SIPAlert << ')';
}

std::ostream& operator<<(std::ostream& out, const CQmAlertingParameters& parameters) {
  out << "<Type=" << static_cast<CQmAlertingParameters::eAlertType>(parameters.Type)
      << ",AutoAnswer=" << (parameters.AutoAnswer ? 1 : 0);
  if (!parameters.CallingName.empty()) out << ",CallingName=" << parameters.CallingName;
  if (!parameters.CallingAddress.empty()) out << ",CallingAddress=" << parameters.CallingAddress;
  if (parameters.MonitoredEntity.IsSet()) out << ",MonitoredEntity=" << parameters.MonitoredEntity;
  return out << ",Params=" << parameters.Params << '>';
}

std::ostream& operator<<(std::ostream& out, const AlertList& alerts) {
  for (const auto& entry : alerts) out << entry.first << ':' << entry.second << '\n';
  return out;
}

std::ostream& operator<<(std::ostream& out, const AlertNotification& notification) {
  return out << "Alert " << notification.alerted_entity() << " for "
             << notification.alerting_interaction() << ": " << notification.alerting_parameters();
}

std::ostream& operator<<(std::ostream& out, const std::vector<W4Notifier::CEntityId>& entities) {
  if (entities.size() == 1) return out << entities.front();
  if (entities.empty()) return out;
  out << '{';
  const char* separator = "";
  for (const W4Notifier::CEntityId& entity : entities) {
    out << std::exchange(separator, ",") << entity;
  }
  return out << '}';
}

}  // namespace QueueManager
