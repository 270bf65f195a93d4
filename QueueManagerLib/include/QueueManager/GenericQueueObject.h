#pragma once

// A general processing object run through the ordinary interaction life:
// created on a queue, connected to a user, held, parked, transferred and
// disconnected. Each action sets Xan_State and moves the object between
// queues without waiting for the server, then publishes a named
// notification from the object's entity so that its watchers learn of it.

#include <cstdint>
#include <string>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/IdString.h"
#include "QueueManager/Platform/ObjectTypes.h"

/// The caller's codes of a queue object, as letters.
namespace AQueueObject {
/// The state of the object, as its letter.
///@{
enum eQueueObjectStatus : char {
  eStatusAlerting = 'A',
  eStatusConnected = 'C',
  eStatusEnded = 'E',
  eStatusHeld = 'H',
  eStatusInitializing = 'I',
  eStatusMessaging = 'M',
  eStatusOffering = 'O',
  eStatusProceeding = 'P',
  eStatusSystem = 'S',
};
///@}
/// The direction of the object, as its letter.
///@{
enum eQueueObjectDirection : char {
  eDirectionInbound = 'I',
  eDirectionOutbound = 'O',
};
///@}
/// A party of the object, as its letter.
///@{
enum eQueueObjectParty : char {
  ePartyExternal = 'E',
  ePartyInternal = 'I',
  ePartyStation = 'S',
};
///@}
}  // namespace AQueueObject

namespace XANQueueObject {

/// The bits of the action mask that ValidAction judges.
enum eGenericAction : std::uint32_t {
  eActionDisconnect = 0x2,
  eActionTransfer = 0x4,
  eActionPickup = 0x100,
  eActionWorkgroupTransfer = 0x800,
  eActionPark = 0x1000,
};

/// How Disconnect leaves the object: 0 back to initializing ('I'), any other
/// value ended ('E').
enum DisconnectionType : std::int32_t {
  eDisconnectToInitializing = 0,
  eDisconnectEnded = 1,
};

/// A value type holding one object's entity; not synchronised: an instance is
/// not to be shared between threads without the caller's own locking, while
/// distinct instances may be used on different threads. Owns nothing but the
/// entity. The object id of the entity is the object's interaction id.
/// Actions send fire-and-forget requests (except CreateNew and Disconnect,
/// which wait for the server) and publish their notification whatever the
/// server later makes of the request.
class QM_EXPORT CGenericObject {
 public:
  /// Object type 70 (general processing object), id 0.
  CGenericObject();
  /// The object of `entity`.
  explicit CGenericObject(const W4Notifier::CEntityId& entity);
  /// Object type 70 with the id's 32 bits.
  explicit CGenericObject(std::int32_t id);
  /// The object of `type` with `id`.
  CGenericObject(W4Notifier::ObjectTypes type, std::uint32_t id);
  /// Copies refer to the same object.
  ///@{
  CGenericObject(const CGenericObject&) = default;
  CGenericObject& operator=(const CGenericObject&) = default;
  ///@}
  virtual ~CGenericObject();

  /// Has the server create the object on `queue` and takes the entity it
  /// reports (kept when the request fails); publishes "Created" in any case.
  /// `first` is the remote name, `second` the remote id, `third` the local
  /// address; the first party is the remote, the second the local party.
  void CreateNew(const W4Notifier::CEntityId& queue, AQueueObject::eQueueObjectStatus status,
                 AQueueObject::eQueueObjectDirection direction,
                 AQueueObject::eQueueObjectParty firstParty,
                 AQueueObject::eQueueObjectParty secondParty, std::string first, std::string second,
                 std::string third);
  /// State 'C' or 'H' on the user's queue; "Connected" or "Held".
  ///@{
  void Connect(const std::string& user);
  void Hold(const std::string& user);
  ///@}
  /// State 'P' on a user or station queue ("Parked"); nothing for other queues.
  void Park(const W4Notifier::CEntityId& queue);
  /// From `source` to a user or station queue `destination` (nothing for
  /// other queues), offering ('O') when `offer` is set, else system ('S');
  /// "Transfered". The user name is not used.
  void Transfer(const std::string& user, const W4Notifier::CEntityId& destination,
                const W4Notifier::CEntityId& source, bool offer);
  /// Offering transfer.
  void Transfer(const W4Notifier::CEntityId& destination, const W4Notifier::CEntityId& source);
  /// Puts the object on `queue` without a state change or a notification.
  void SetCurrentQueue(const W4Notifier::CEntityId& queue);
  /// Sets the state and waits for the server; "Disconnected".
  void Disconnect(DisconnectionType type);

  /// 1 while the state is alerting or offering, else 0.
  int IsAlerting() const;
  /// Whether `action` (eGenericAction bits) may be done now by `user`.
  bool ValidAction(std::uint32_t action, std::string user) const;
  /// The object's entity.
  ///@{
  W4Notifier::CEntityId QueryObjectEntityId() const { return entity_; }
  ///@}

 private:
  /// A notification from a user, station or workgroup queue's arrival, with
  /// the queue's scoped name.
  void NotifyIfNonSystemQueue(const W4Notifier::CEntityId& queue) const;
  /// The attribute's text, empty when it cannot be read.
  std::string ReturnAttributeString(const W4STD::w4idstring_arg& key) const;
  void Notify(const char* name) const;

  W4Notifier::CEntityId entity_;
};

}  // namespace XANQueueObject
