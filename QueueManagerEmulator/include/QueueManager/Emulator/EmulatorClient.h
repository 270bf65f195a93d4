#pragma once

// The emulator's control functions reached through the notifier, for an
// emulator in another process (qm_emulator) or behind a bus bridge.

#include <cstdint>
#include <memory>
#include <string>

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/Notifier.h"

namespace QueueManager::Emulator {

/// A control request failed: no answer in time, nobody serves the control
/// entity, the emulator rejected it (the reason is in what()), or its answer
/// could not be read.
class QM_EXPORT CEmulatorControlError : public W4Notifier::CNotifierException {
 public:
  /// An error with its reason.
  ///@{
  explicit CEmulatorControlError(const std::string& what) : CNotifierException(what) {}
  ///@}
};

/// Sends the control functions as requests to the control entity of an
/// emulator that serves them (CEmulator::ServeControlRequests), one request
/// each, and waits for the answer. Thread-safe; shares the connection. Every
/// function throws CEmulatorControlError when its request fails, so that a
/// result is always the emulator's.
class QM_EXPORT CEmulatorClient : public IEmulatorControl {
 public:
  /// How long a control request waits for its answer unless told otherwise.
  ///@{
  static constexpr std::uint32_t kDefaultTimeoutMs = 10000;
  ///@}
  /// With `unreachablePatienceMs`, a request that could not be sent or found
  /// nobody serving (the connection or the emulator is away) is sent again
  /// until it is answered or that long has passed.
  /// REQUIRES: `connection` is not null.
  explicit CEmulatorClient(std::shared_ptr<W4Notifier::CNotifierConnection> connection,
                           std::uint32_t timeoutMs = kDefaultTimeoutMs,
                           std::uint32_t unreachablePatienceMs = 0);

  /// The control functions, each one request to the control entity; CEmulator describes what each
  /// does. Each throws CEmulatorControlError when the request fails.
  ///@{
  bool CreateQueue(const W4Notifier::CEntityId& queue) override;
  std::uint32_t AddInteraction(W4Notifier::ObjectTypes type, const CQmAttributeMap& attributes,
                               const std::vector<W4Notifier::CEntityId>& queues) override;
  bool SetAttributes(std::uint32_t id, const CQmAttributeMap& attributes) override;
  bool Move(std::uint32_t id, const std::vector<W4Notifier::CEntityId>& from,
            const std::vector<W4Notifier::CEntityId>& to) override;
  bool AnswerAlerting(std::uint32_t id, const W4Notifier::CEntityId& party) override;
  bool RemoveInteraction(std::uint32_t id) override;

  std::vector<W4Notifier::CEntityId> Queues(W4Notifier::ObjectTypes type) const override;
  std::optional<std::vector<std::uint32_t>> QueueContents(
      const W4Notifier::CEntityId& queue) const override;
  std::optional<QueueCounts> Counts(const W4Notifier::CEntityId& queue) const override;
  std::optional<InteractionState> Interaction(std::uint32_t id) const override;
  std::uint64_t MalformedRequests() const override;
  std::string LastRejection() const override;

  void InjectFault(const RequestFaultPlan& plan) override;
  void InjectNotificationFault(const NotificationFaultPlan& plan) override;
  void ClearFaults() override;
  ///@}
  void SetNextInteractionId(std::uint32_t id) override;

  /// Has the emulator renegotiate this client's connection as it sees it,
  /// after answering: on its own bus, the connection's subscribers are told;
  /// through a bus bridge on NATS, the NATS connection's subscribers are (the
  /// library's cache then reloads what it watches). Returns once the answer
  /// came; the subscribers hear of it a moment later.
  void ForceRenegotiation();

 private:
  /// Sends `request` and returns the answer, positioned at its first field.
  W4Notifier::CMessage Call(const W4Notifier::CMessage& request) const;

  const std::shared_ptr<W4Notifier::CNotifierConnection> connection_;
  const std::uint32_t timeoutMs_;
  const std::uint32_t unreachablePatienceMs_;
};

}  // namespace QueueManager::Emulator
