#pragma once

// The Queue Manager server emulator: a real, stateful server on an in-process
// bus. It keeps queues and interactions, answers the library's attribute,
// queue administration, queue monitoring and interaction monitoring requests
// from that state, and publishes the queue and interaction notifications that
// the library's monitors consume, and holds alerting orders until they end.
// An interaction's notification reports each
// change of an attribute that a client watches there, and its removal last
// (after its queues and every conference member list that named it were
// updated, each list published whole). Tests
// and demonstrations seed and inspect its state, and inject faults, through
// the control functions of CEmulator.
//
// Meanings chosen (where the protocol leaves them to the server):
// - Views. The media type entity (object type 125, named by the notifier's
//   name of an interaction object type) holds every interaction of that type,
//   on a queue or not; the attribute match entity (object type 80, named
//   "<attribute>=<value>") every interaction whose attribute has that value,
//   and for an empty value every one that has the attribute at all. Both
//   answer activations, reloads, contents and statistics like a queue and
//   publish the same notifications (an interaction joins, changes a
//   monitored name, leaves), but are never created, removed, joined or left
//   by name. They are recognised by their object ids (the hashes of those
//   names) and exist from their first activation on. As for queues, the
//   names monitored are kept per object type: every media type entity
//   reports the names any of them was asked for, and so does every
//   attribute match entity.
// - Sequenced writes. A lightweight monitor's write (a move-and-set that ends
//   in a sequence number and a media type entity) is echoed once on that
//   entity, carrying every monitored name written, changed or not, and the
//   write's number; a view's other notifications carry number 0, so that
//   they read as foreign changes.
// - Deactivation reports go out on the server's entity, event 5, for every
//   interaction forgotten while some client asked for them, with the values
//   of every name any client asked for and an 8-byte opaque block (the
//   server's time, low byte first).
// - The sums of a queue type (its all-queues entity) are published after
//   every change of its queues, but only while some subscriber, observer,
//   wire log or notification fault would see them; their sequence numbers
//   count on all the same.
// - A forwarded notification is kept with its interaction (the last 32).
// - Statistics: a connection call is a member that has been connected during
//   its stay on the queue (a disconnected one while it is disconnected); the
//   active time sums the stays' lengths in seconds of the server's clock (the
//   offset of SetClock included), the longest is the longest stay; "today"
//   means since the emulator started.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/InProcessNotifier.h"

namespace QueueManager::Emulator {

/// The six live counts of a queue, as the server derives them from the
/// interactions' Xan_State letters.
struct QueueCounts {
  /// The count of each kind of state, and their comparison.
  ///@{
  std::uint32_t alerting = 0;
  std::uint32_t connected = 0;
  std::uint32_t disconnected = 0;
  std::uint32_t held = 0;
  std::uint32_t messaging = 0;
  std::uint32_t system = 0;
  bool operator==(const QueueCounts&) const = default;
  ///@}
};

/// One interaction as the server holds it.
struct InteractionState {
  /// Its id, its object type and its attributes.
  ///@{
  std::uint32_t id = 0;
  W4Notifier::ObjectTypes type = W4Notifier::eObjectTypeNone;
  CQmAttributeMap attributes;
  ///@}
  /// The queues that hold it, in the order it joined them.
  std::vector<W4Notifier::CEntityId> queues;
  /// The notifications clients forwarded to it, oldest first (the last
  /// kForwardedKept of them).
  std::vector<W4Notifier::CMessage> forwarded;
  /// How many forwarded notifications are kept.
  ///@{
  static constexpr std::size_t kForwardedKept = 32;
  ///@}
};

/// An alerting in progress, as the server holds it.
struct AlertingView {
  /// The parties alerted, in the order of the alerting order.
  std::vector<W4Notifier::CEntityId> parties;
  /// The parties were silenced; the alerting goes on.
  bool silent = false;
  /// The order's final value, kept as it came.
  std::uint32_t finalValue = 0;
};

/// What a request suffers (see CEmulator::InjectFault).
enum class eFault : std::uint8_t {
  kReject,     ///< rejected with the reason "injected fault"
  kNoReply,    ///< handled, but never answered
  kTruncated,  ///< handled, answered with the last field of the answer cut off
  /// Handled, and answered after the plan's delay. Other clients' answers are
  /// not held back; the sender's later answers and every notification
  /// published after it wait behind it, because a notification goes to every
  /// subscriber alike and a snapshot must reach its client before the changes
  /// that follow it.
  kDelay,
  /// Handled, never answered, and the sender's connection drops and comes back
  /// at once, renegotiated: its waiting requests fail with a connection loss,
  /// what was published meanwhile may be missed, and its subscribers are told
  /// of the renegotiation (the library's cache then reloads what it watches).
  kDropConnection,
};

/// What a notification suffers (see CEmulator::InjectNotificationFault).
enum class eNotificationFault : std::uint8_t {
  kDrop,       ///< never published
  kDelay,      ///< published after the plan's delay; later ones overtake it
  kDuplicate,  ///< published twice in a row
  /// Held until the next notification of the same entity is published, then
  /// published after it. One still held when the emulator ends is dropped.
  kReorder,
};

/// Which of the messages a fault plan matches it hits. A plain value.
struct QM_EXPORT FaultSelection {
  /// The ways to select.
  ///@{
  enum class eForm : std::uint8_t {
    kNext,         ///< the next `count` ones
    kProbability,  ///< each one with `probability`, drawn from a generator seeded with `seed`
    kWindow,       ///< each one while the window is open
  };
  ///@}
  /// The way chosen, and its parameters: how many for kNext, the probability and the generator's
  /// seed for kProbability.
  ///@{
  eForm form = eForm::kNext;
  std::uint32_t count = 1;
  double probability = 0;
  std::uint64_t seed = 0;
  ///@}
  /// The window opens `windowStart` after the plan is injected (before it when
  /// negative) and stays open for `windowLength`.
  ///@{
  std::chrono::milliseconds windowStart{0};
  std::chrono::milliseconds windowLength{0};
  ///@}

  /// The next `count` ones.
  ///@{
  static FaultSelection Next(std::uint32_t count);
  ///@}
  /// REQUIRES: 0 <= probability <= 1.
  static FaultSelection WithProbability(double probability, std::uint64_t seed);
  /// Those of the next `length`, from `startFromNow` on.
  ///@{
  static FaultSelection During(std::chrono::milliseconds length,
                               std::chrono::milliseconds startFromNow = {});
  ///@}
};

/// A fault of the requests with `eventId` to an entity of `targetType`.
struct RequestFaultPlan {
  /// The requests hit, the fault, and which of them.
  ///@{
  W4Notifier::ObjectTypes targetType = W4Notifier::eObjectTypeNone;
  int eventId = 0;
  eFault fault = eFault::kReject;
  FaultSelection selection;
  ///@}
  std::chrono::milliseconds delay{0};  ///< kDelay only
};

/// A fault of the notifications published on entities of `entityType` (only
/// on the one with `objectId`, when set).
struct NotificationFaultPlan {
  /// The notifications hit, the fault, and which of them.
  ///@{
  W4Notifier::ObjectTypes entityType = W4Notifier::eObjectTypeNone;
  std::optional<std::uint32_t> objectId;
  eNotificationFault fault = eNotificationFault::kDrop;
  FaultSelection selection;
  ///@}
  std::chrono::milliseconds delay{0};  ///< kDelay only
};

/// The emulator's own request to the Queue Manager server entity, not one of
/// the protocol (see Sync).
inline constexpr int kSyncEvent = 1000;

/// A round trip to the emulator, answered after every notification it
/// published before: on a connection that makes all its callbacks on one
/// thread in arrival order (NATS, with the emulator behind a CNatsBusBridge),
/// every such notification has been delivered, its callbacks returned, when
/// this returns. (The in-process bus delivers on several threads: there
/// CInProcessBus::WaitIdle afterwards does the rest.) Notifications a fault
/// delays are not waited for. Returns the handle the emulator knows the
/// connection by (its bus connection, for the per-client control functions),
/// or nothing when no answer came within `timeout`. Thread-safe.
/// REQUIRES: not called from a callback of `connection`.
QM_EXPORT std::optional<std::uint16_t> Sync(
    W4Notifier::CNotifierConnection& connection,
    std::chrono::milliseconds timeout = std::chrono::seconds(10));

/// Receives one line of the wire log (see CEmulator::SetWireLog).
using WireLogSink = std::function<void(std::string_view line)>;

/// The entity that serves the control functions as requests (see
/// CEmulator::ServeControlRequests and CEmulatorClient): object type
/// kEmulatorControlType, object id kAllObjects.
inline constexpr W4Notifier::ObjectTypes kEmulatorControlType = W4Notifier::kControlObjectType;
QM_EXPORT W4Notifier::CEntityId EmulatorControlEntity();

/// The control functions that seed and inspect an emulator, whether it is in
/// this process (CEmulator) or reached through the notifier (CEmulatorClient).
/// Implementations say how they may be shared between threads.
class QM_EXPORT IEmulatorControl {
 public:
  virtual ~IEmulatorControl() = default;

  /// The seeding, inspection and fault functions; CEmulator describes each.
  ///@{
  virtual bool CreateQueue(const W4Notifier::CEntityId& queue) = 0;
  virtual std::uint32_t AddInteraction(W4Notifier::ObjectTypes type,
                                       const CQmAttributeMap& attributes,
                                       const std::vector<W4Notifier::CEntityId>& queues) = 0;
  virtual bool SetAttributes(std::uint32_t id, const CQmAttributeMap& attributes) = 0;
  virtual bool Move(std::uint32_t id, const std::vector<W4Notifier::CEntityId>& from,
                    const std::vector<W4Notifier::CEntityId>& to) = 0;
  virtual bool AnswerAlerting(std::uint32_t id, const W4Notifier::CEntityId& party) = 0;
  virtual bool RemoveInteraction(std::uint32_t id) = 0;

  virtual std::vector<W4Notifier::CEntityId> Queues(W4Notifier::ObjectTypes type) const = 0;
  virtual std::optional<std::vector<std::uint32_t>> QueueContents(
      const W4Notifier::CEntityId& queue) const = 0;
  virtual std::optional<QueueCounts> Counts(const W4Notifier::CEntityId& queue) const = 0;
  virtual std::optional<InteractionState> Interaction(std::uint32_t id) const = 0;
  virtual std::uint64_t MalformedRequests() const = 0;
  virtual std::string LastRejection() const = 0;

  virtual void InjectFault(const RequestFaultPlan& plan) = 0;
  virtual void InjectNotificationFault(const NotificationFaultPlan& plan) = 0;
  virtual void ClearFaults() = 0;
  ///@}
  /// REQUIRES: id is neither 0 nor 0xFFFFFFFF.
  virtual void SetNextInteractionId(std::uint32_t id) = 0;
};

/// Thread-safe: every function may be called from any thread, also while the
/// bus's server thread handles requests. The emulator shares the bus, serves it
/// from construction to destruction and owns one connection on it, through
/// which it publishes, and one thread, which ends alertings when they time
/// out; it calls nothing of the application back. Alertings still open when it
/// is destroyed are answered "internal error" (11). Each seeding
/// function publishes its changes before it returns.
class QM_EXPORT CEmulator : public IEmulatorControl {
 public:
  /// Attaches to `bus` as its request handler (replacing any other).
  explicit CEmulator(std::shared_ptr<W4Notifier::CInProcessBus> bus);
  /// Detaches; returns once no request is being handled.
  ~CEmulator() override;
  CEmulator(const CEmulator&) = delete;
  CEmulator& operator=(const CEmulator&) = delete;

  // ---- seeding (each change is published as a client's request would be) ----

  /// Creates the queue if it does not exist; true when it was created.
  bool CreateQueue(const W4Notifier::CEntityId& queue) override;
  /// Creates an interaction with the next deterministic id (1, 2, ... in order
  /// of creation, skipping ids in use), with `attributes`, on `queues` (each
  /// created when missing). Returns its id.
  std::uint32_t AddInteraction(W4Notifier::ObjectTypes type, const CQmAttributeMap& attributes,
                               const std::vector<W4Notifier::CEntityId>& queues) override;
  /// Sets attributes of an existing interaction; false when it does not exist.
  bool SetAttributes(std::uint32_t id, const CQmAttributeMap& attributes) override;
  /// Takes the interaction off `from` and puts it on `to`; false when it does
  /// not exist.
  bool Move(std::uint32_t id, const std::vector<W4Notifier::CEntityId>& from,
            const std::vector<W4Notifier::CEntityId>& to) override;
  /// Answers the alerting of interaction `id` as `party`, one of its alerted
  /// parties: the alerting order's caller gets "answered" (7) and the
  /// interaction is connected. False when `party` is not alerted for it.
  bool AnswerAlerting(std::uint32_t id, const W4Notifier::CEntityId& party) override;
  /// Removes the interaction from every queue and every conference member
  /// list, publishes its deallocation and forgets it.
  bool RemoveInteraction(std::uint32_t id) override;

  // ---- inspection ----

  /// The queues of object type `type`.
  ///@{
  std::vector<W4Notifier::CEntityId> Queues(W4Notifier::ObjectTypes type) const override;
  ///@}
  /// The ids on the queue in the order they joined it; nullopt when no such
  /// queue exists.
  std::optional<std::vector<std::uint32_t>> QueueContents(
      const W4Notifier::CEntityId& queue) const override;
  /// The live counts of a queue, and an interaction as the server holds it; nullopt when there is
  /// no such queue or interaction.
  ///@{
  std::optional<QueueCounts> Counts(const W4Notifier::CEntityId& queue) const override;
  std::optional<InteractionState> Interaction(std::uint32_t id) const override;
  ///@}
  /// The names a client asked to have reported on deactivation, and to have
  /// watched by the statistics server (the last list each sent).
  ///@{
  std::vector<CQmAttributeName> DeactivationNames(std::uint16_t client) const;
  std::vector<CQmAttributeName> StatServerNames(std::uint16_t client) const;
  ///@}
  /// The alerting of `id` in progress, if any.
  std::optional<AlertingView> Alerting(std::uint32_t id) const;
  /// The names `client` watches on interaction `id` (its activations).
  std::vector<CQmAttributeName> WatchedNames(std::uint16_t client, std::uint32_t id) const;
  /// Requests that were rejected as malformed, and the reason of the last one.
  ///@{
  std::uint64_t MalformedRequests() const override;
  std::string LastRejection() const override;
  ///@}

  // ---- behaviour ----

  /// Answers the statistics query of `client` (a connection handle) with the
  /// two-record form instead of the twelve-counter form.
  void UseTwoRecordStatistics(std::uint16_t client, bool twoRecords = true);
  /// Sets the server's clock `offsetSeconds` ahead of the real one (behind when
  /// negative), or makes its time headers invalid (no time), and publishes the
  /// clock notification. Every later time header (answers, queue and clock
  /// notifications) carries that time.
  void SetClock(std::int64_t offsetSeconds, bool invalid = false);
  /// Besides the offset, the clock gains `secondsPerSecond` seconds for every
  /// real second from now on (loses them when negative); 0 stops the drift,
  /// keeping what it gained; a rate that is not a number counts as 0.
  /// SetClock starts the gain afresh, at the same rate. Publishes the clock
  /// notification.
  void SetClockDrift(double secondsPerSecond);
  /// The next `count` requests with `eventId` to an entity of `targetType`
  /// suffer `fault`; a count of 0 removes the plan. A rejected request changes
  /// no state.
  void InjectFault(W4Notifier::ObjectTypes targetType, int eventId, eFault fault,
                   std::uint32_t count = 1);
  /// Replaces the plan of the plan's (target type, event); a request matches
  /// at most one plan. A plan of the next-N form ends after N hits.
  void InjectFault(const RequestFaultPlan& plan) override;
  /// Adds a plan; a notification suffers the first plan (in the order they
  /// were added) that matches and hits it. The faults act in the publishing
  /// order, after the sequence numbers were given: a dropped queue
  /// notification leaves a gap in its queue's sequence.
  void InjectNotificationFault(const NotificationFaultPlan& plan) override;
  /// Removes every request and notification fault plan.
  void ClearFaults() override;
  /// Interactions created from now on get ids from `id` up (skipping ids in
  /// use). REQUIRES: id is neither 0 nor 0xFFFFFFFF.
  void SetNextInteractionId(std::uint32_t id) override;
  /// Writes every message in and out (requests, answers, rejections,
  /// notifications and the faults they suffer) to `sink` as one readable line
  /// each; an empty sink stops the log. The sink is called with no lock of the
  /// emulator held, on the thread that handles or sends the message (the
  /// bus's server thread, the time-out thread or a caller of a control
  /// function), possibly from several at once: it must be thread-safe, and it
  /// must neither wait for the bus or the emulator's traffic nor call the
  /// emulator. Lines of one
  /// thread come in order; a request's line comes before its answer's.
  void SetWireLog(WireLogSink sink);
  /// While on, the control entity (EmulatorControlEntity) serves the control
  /// functions above as requests, for CEmulatorClient; off at first, when its
  /// requests are rejected like any other request to no served entity. A
  /// malformed control request is rejected with its reason and counted with
  /// the malformed requests; request faults never hit control requests.
  void ServeControlRequests(bool serve = true);
  /// Renegotiates `connection`: each of its subscribers is told, and the
  /// library's cache asks this server to reload it.
  /// REQUIRES: `connection` is on this emulator's bus and connected.
  static void ForceRenegotiation(W4Notifier::CInProcessConnection& connection);

  // ---- views (media type and attribute match entities) ----

  /// The ids that `view` holds, in the order they joined it; nullopt when the
  /// view was never activated.
  std::optional<std::vector<std::uint32_t>> ViewContents(const W4Notifier::CEntityId& view) const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace QueueManager::Emulator
