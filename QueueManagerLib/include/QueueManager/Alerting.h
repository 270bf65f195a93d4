#pragma once

// Alerting: making users, stations or workgroups ring for an interaction
// until someone answers, the alerting ends or its time-out passes. Every
// request goes to the interaction's request entity (object type 30, the
// interaction's id).
//
// The functions hold no lock of their own and may be called from any thread,
// also at once. Every type has a text form for traces (operator<< on a
// narrow output stream) and the alerting parameters have their message form
// (operator<< and operator>> on CMessage).

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/RefCount.h"

namespace QueueManager {

/// How one party is to be alerted. A plain value type: copies are independent
/// and distinct objects may be used from different threads. The library only
/// carries the values; their units and meaning are the server's and the
/// alerted endpoint's.
struct QM_EXPORT CQmAlertingParameters {
  /// The kinds of alert the server knows.
  ///@{
  enum eAlertType : std::int32_t {
    eUserAlert = 1,
    eStationAlert = 2,
    eWorkgroupAlert = 3,
    eStationgroupAlert = 4,
    eAcdUserAlert = 5,
    eAcdStationAlert = 7,
    eHeldTimeout = 8,
    eParkedTimeout = 9,
  };
  ///@}

  /// The ring of a call alert. A plain value type, as above.
  struct QM_EXPORT CallAlertingParams {
    /// The ring cadences the server knows.
    ///@{
    enum eRingCadence : std::int32_t {
      eTwoOnFourOff = 1,
      eOneOnFiveOff = 2,
      eSplash1 = 3,
      eSplash2 = 4,
      eSplash3 = 5,
      eSplash4 = 6,
      eLongShort = 7,
      eShortLong = 8,
    };
    ///@}

    /// The tone, its two frequencies and amplitudes, its durations (ring, silence, repeats), and
    /// the greeting, whisper and SIP alert-info texts, carried for the endpoint.
    ///@{
    std::int32_t Cadence = -1;  ///< an eRingCadence, or any other value the server takes
    std::uint16_t Freq1 = 0;
    std::int16_t Ampl1 = 0;
    std::uint16_t Freq2 = 0;
    std::int16_t Ampl2 = 0;
    std::uint16_t Duration = 0;
    std::uint16_t SilenceDuration = 0;
    std::uint16_t Repeat = 0;
    std::string Greeting;
    std::string Whisper;
    std::string SIPAlert;

    friend bool operator==(const CallAlertingParams&, const CallAlertingParams&) = default;
    ///@}
  };

  CQmAlertingParameters() = default;
  /// Every field at once, or none (type -1, no auto-answer, the default ring).
  ///@{
  CQmAlertingParameters(std::int32_t type, bool autoAnswer, std::string callingName,
                        std::string callingAddress, W4Notifier::CEntityId monitoredEntity,
                        CallAlertingParams params)
      : Type(type),
        AutoAnswer(autoAnswer),
        CallingName(std::move(callingName)),
        CallingAddress(std::move(callingAddress)),
        MonitoredEntity(monitoredEntity),
        Params(std::move(params)) {}
  ///@}

  /// The alert's type, whether the endpoint answers on its own, who calls, the entity watched, and
  /// the ring; compared field by field.
  ///@{
  std::int32_t Type = -1;  ///< an eAlertType, or any other value the server takes
  bool AutoAnswer = false;
  std::string CallingName;
  std::string CallingAddress;
  W4Notifier::CEntityId MonitoredEntity;
  CallAlertingParams Params;

  friend bool operator==(const CQmAlertingParameters&, const CQmAlertingParameters&) = default;
  ///@}
};

/// The parties to alert, each with its parameters.
using AlertList = std::vector<std::pair<W4Notifier::CEntityId, CQmAlertingParameters>>;

/// The outcome of an alerting request. 11 is also every local failure.
enum ePerformAlertingResponse : std::int32_t {
  eAlertingSucceeded = 0,
  eAlertingInvalidParameter = 1,
  eAlertingInvalidInteractionId = 2,
  eAlertingInvalidInteractionState = 3,
  eAlertingNotOnAlertedQueue = 4,
  eAlertingAlreadyOnAssociatedQueue = 5,
  eAlertingDisconnected = 6,
  eAlertingAnswered = 7,
  eAlertingTransferred = 8,
  eAlertingEnded = 9,
  eAlertingTimeout = 10,
  eAlertingInternalError = 11,
};

/// Receives the outcome of AsyncPerformAlerting. Its count is thread-safe: the
/// application and the library (which holds a reference while a request is
/// under way) may hold and drop references on different threads; the object
/// deletes itself through its virtual destructor at the last release.
/// Implemented by the application.
class QM_EXPORT AsyncPerformAlertingResponse : public W4Util::RefCountBase {
 public:
  /// Called once per request: on a notifier delivery thread with the server's
  /// code, or on the thread of AsyncPerformAlerting with 11 when the request
  /// could not be sent. No lock of the library is held; the function may
  /// call any function of the library. An exception it throws on a delivery
  /// thread is traced and dropped; the outcome is not delivered again.
  virtual void OnPerformAlertingResponse(ePerformAlertingResponse code) = 0;

 protected:
  ~AsyncPerformAlertingResponse() override;
};

/// A decoded alert notification: which entity is alerted (the notification's
/// own entity) for which interaction, with which parameters. A plain value
/// type: copies are independent and distinct objects may be used from
/// different threads.
class QM_EXPORT AlertNotification {
 public:
  /// Decodes the body from `message`'s read position on; `message` itself is
  /// not moved on. A malformed body is traced and gives an unset alerting
  /// interaction and default parameters; IsComplete() then says false.
  explicit AlertNotification(const W4Notifier::CMessage& message);

  /// The interaction alerting, the entity alerted, and the parameters.
  ///@{
  const W4Notifier::CEntityId& alerting_interaction() const { return alertingInteraction_; }
  const W4Notifier::CEntityId& alerted_entity() const { return alertedEntity_; }
  const CQmAlertingParameters& alerting_parameters() const { return parameters_; }
  ///@}
  /// True when the whole body was read.
  bool IsComplete() const { return complete_; }

 private:
  W4Notifier::CEntityId alertingInteraction_;
  W4Notifier::CEntityId alertedEntity_;
  CQmAlertingParameters parameters_;
  bool complete_ = false;
};

/// Alerts the parties of `alerts` for the interaction and waits for the
/// outcome: up to `timeoutSeconds` plus three minutes (the longest wait the
/// notifier can represent when that is more). The two entity lists and the
/// final value are the server's business and are passed unchanged. Every
/// local failure (no connection, no answer, an unreadable answer) gives 11.
/// A rejection gives the server's reason; one that carries 0 or a code
/// outside the enumeration gives 11, never success.
QM_EXPORT ePerformAlertingResponse
PerformAlerting(InteractionId id, std::uint32_t timeoutSeconds,
                const std::vector<W4Notifier::CEntityId>& firstEntities,
                const std::vector<W4Notifier::CEntityId>& secondEntities, const AlertList& alerts,
                std::uint32_t finalValue);

/// As PerformAlerting, without waiting: the outcome goes to `response` (see
/// its contract). An asynchronous time-out, cancellation or loss of the
/// connection is traced and not delivered. A null `response` is refused:
/// nothing is sent and a failure is traced. Notifier exceptions raised while
/// the request is built or sent pass to the caller.
QM_EXPORT void AsyncPerformAlerting(
    InteractionId id, std::uint32_t timeoutSeconds,
    const std::vector<W4Notifier::CEntityId>& firstEntities,
    const std::vector<W4Notifier::CEntityId>& secondEntities, const AlertList& alerts,
    std::uint32_t finalValue, const W4Util::ObjectPtr<AsyncPerformAlertingResponse>& response);

/// One-way instructions; a failure to send is traced, notifier exceptions pass.
QM_EXPORT void EndAlerting(std::uint32_t interactionId, std::uint32_t value);
QM_EXPORT void SilentAlerting(std::uint32_t interactionId);
/// The server's answer; false when the request fails or its answer cannot be
/// read. Notifier exceptions of the send itself pass to the caller.
QM_EXPORT bool AlertConnectionTimeout(std::uint32_t interactionId, std::uint32_t value);

/// Message forms. A read that fails throws CNotifierExtractException and
/// leaves both the target and the read position as they were.
QM_EXPORT W4Notifier::CMessage& operator<<(W4Notifier::CMessage& message,
                                           const CQmAlertingParameters::CallAlertingParams& params);
QM_EXPORT W4Notifier::CMessage& operator<<(W4Notifier::CMessage& message,
                                           const CQmAlertingParameters& parameters);
QM_EXPORT W4Notifier::CMessage& operator<<(W4Notifier::CMessage& message,
                                           const AlertList::value_type& entry);
QM_EXPORT const W4Notifier::CMessage& operator>>(const W4Notifier::CMessage& message,
                                                 CQmAlertingParameters::CallAlertingParams& params);
QM_EXPORT const W4Notifier::CMessage& operator>>(const W4Notifier::CMessage& message,
                                                 CQmAlertingParameters& parameters);
QM_EXPORT const W4Notifier::CMessage& operator>>(const W4Notifier::CMessage& message,
                                                 AlertList::value_type& entry);

/// Text forms: each enumeration prints its number, and for a known value
/// " (text)" (nothing more for code 0); an unknown value prints
/// " (unknown <enumeration> value)".
QM_EXPORT std::ostream& operator<<(std::ostream& out, ePerformAlertingResponse code);
QM_EXPORT std::ostream& operator<<(std::ostream& out, CQmAlertingParameters::eAlertType type);
QM_EXPORT std::ostream& operator<<(std::ostream& out,
                                   CQmAlertingParameters::CallAlertingParams::eRingCadence cadence);
QM_EXPORT std::ostream& operator<<(std::ostream& out,
                                   CQmAlertingParameters::CallAlertingParams params);
QM_EXPORT std::ostream& operator<<(std::ostream& out, const CQmAlertingParameters& parameters);
QM_EXPORT std::ostream& operator<<(std::ostream& out, const AlertList& alerts);
QM_EXPORT std::ostream& operator<<(std::ostream& out, const AlertNotification& notification);
/// Nothing when empty, the scoped name alone for one entity, else
/// "{a,b,...}".
QM_EXPORT std::ostream& operator<<(std::ostream& out,
                                   const std::vector<W4Notifier::CEntityId>& entities);

}  // namespace QueueManager
