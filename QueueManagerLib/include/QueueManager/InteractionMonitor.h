#pragma once

// Interaction and conference monitors: an application derives from
// CQmInteractionMonitor (chosen attributes of single interactions) or
// CQmConferenceMonitor (one conference and its parties) and overrides the
// callbacks it needs.

#include <memory>
#include <vector>

#include "QueueManager/AttributeMap.h"
#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"
#include "QueueManager/Export.h"
#include "QueueManager/InteractionId.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/RefCount.h"

namespace QueueManager {

class CQmInteractionMonitorGuts;
class CQmConferenceMonitorGuts;

/// Thread-safe (any operation from any thread) and not copyable; the monitor
/// owns one counted implementation, which the notifier keeps alive for late
/// callbacks, and the library never owns the monitor.
///
/// Watches chosen attributes of individual interactions: subscribes to each
/// activated interaction's attribute notifications, asks the server once for
/// the current values, keeps the latest values of the monitored names and
/// calls back on changes and on the interaction's end.
///
/// Callback lifetime, the same for every monitor of this library:
/// - The callbacks of one monitor run one at a time, on a notifier delivery
///   thread or on the thread of the synchronous call that causes them, with
///   no lock of the library held; a callback may call any operation of the
///   library, this monitor's included, and may stop or destroy the monitor.
/// - Stopping the monitor (its stop operations and its destructor), from any
///   thread and any number of times, returns only once no callback of the
///   monitor runs on another thread and none will start. Inside the monitor's
///   own callback a stop does not wait for that callback, which finishes
///   first; a stop made meanwhile on another thread returns after it.
/// - A stop made inside another monitor's callback waits the same way, unless
///   the callback it waits for is itself waiting, directly or through other
///   threads, for the caller's callback (two monitors stopping each other at
///   once): then it returns at once and the stopped monitor's running
///   callback finishes on its own; do not destroy that monitor before it has.
/// - A derived class whose callbacks use its own members stops the monitor in
///   its destructor, before those members go.
///
/// Deactivate(id) stops the callbacks for `id` the same way: once it has
/// returned, none for `id` runs on another thread or starts later.
class QM_EXPORT CQmInteractionMonitor {
 public:
  CQmInteractionMonitor();
  CQmInteractionMonitor(const CQmInteractionMonitor&) = delete;
  CQmInteractionMonitor& operator=(const CQmInteractionMonitor&) = delete;
  virtual ~CQmInteractionMonitor();

  /// Adds `names` to the names monitored for `id`, subscribes to the
  /// interaction's notifications (once, however often it is activated) and
  /// asks the server for the values of `names` once the subscription is in
  /// place: asynchronously, or synchronously, making the first callback
  /// before returning. Answers and notifications are applied in the order
  /// the server sent them. Inside a callback or on a notifier delivery thread
  /// a synchronous call cannot wait for its answer and acts as an
  /// asynchronous one. Nothing when `id` is not set or there is no default
  /// connection.
  void Activate(InteractionId id, const std::vector<CQmAttributeName>& names, bool synchronous);
  /// Forgets `id` (names, values, object type) and stops its subscription.
  void Deactivate(InteractionId id);
  /// Asks the server once more, synchronously (as Activate), for the values
  /// of `names` of every interaction that has reported; `names` are not
  /// added to the monitored names. Nothing when no interaction has reported.
  ///@{
  void RequestAttributeUpdateCallback(const CQmAttributeName& name);
  void RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names);
  ///@}

  /// True once the first record for `id` has arrived.
  bool IsMonitored(InteractionId id) const;
  /// The interactions that have reported, ascending.
  void QueryMonitoredInteractions(std::vector<InteractionId>& ids) const;
  /// The names monitored for `id`, in name order.
  void Monitors(InteractionId id, std::vector<CQmAttributeName>& names) const;
  /// The latest value of a monitored name of an interaction that has
  /// reported (empty until one arrived); otherwise QueueManager::QueryAttribute.
  CQmAttributeValue QueryAttribute(InteractionId id, const CQmAttributeName& name) const;
  /// The monitor cache's entity of `id` (empty when it does not know it).
  W4Notifier::CEntityId QueryEntityId(InteractionId id) const;

 protected:
  /// A record with a monitored name (or one the server marks for notice)
  /// arrived; `attributes` is the record's whole map, unmonitored names
  /// included.
  virtual void AttributesUpdated(const W4Notifier::CEntityId& interaction,
                                 const CQmAttributeMap& attributes);
  /// The interaction no longer exists; it has been deactivated right after
  /// this call.
  virtual void InteractionDeallocated(const W4Notifier::CEntityId& interaction);
  /// Stops every subscription and callback of this monitor for good (the
  /// destructor does it too). Idempotent.
  void StopMonitoring();

 private:
  friend class CQmInteractionMonitorGuts;
  W4Util::ObjectPtr<CQmInteractionMonitorGuts> guts_;
};

/// Thread-safe and not copyable; owns its implementation, and the library
/// never owns the monitor.
///
/// Watches one conference: the conference interaction and every party listed
/// in its members, reporting parties joining, changing and leaving and the
/// conference's end.
///
/// Callback lifetime, the same for every monitor of this library:
/// - The callbacks of one monitor run one at a time, on a notifier delivery
///   thread or on the thread of the synchronous call that causes them, with
///   no lock of the library held; a callback may call any operation of the
///   library, this monitor's included, and may stop or destroy the monitor.
/// - Stopping the monitor (its stop operations and its destructor), from any
///   thread and any number of times, returns only once no callback of the
///   monitor runs on another thread and none will start. Inside the monitor's
///   own callback a stop does not wait for that callback, which finishes
///   first; a stop made meanwhile on another thread returns after it.
/// - A stop made inside another monitor's callback waits the same way, unless
///   the callback it waits for is itself waiting, directly or through other
///   threads, for the caller's callback (two monitors stopping each other at
///   once): then it returns at once and the stopped monitor's running
///   callback finishes on its own; do not destroy that monitor before it has.
/// - A derived class whose callbacks use its own members stops the monitor in
///   its destructor, before those members go.
class QM_EXPORT CQmConferenceMonitor {
 public:
  CQmConferenceMonitor();
  CQmConferenceMonitor(const CQmConferenceMonitor&) = delete;
  CQmConferenceMonitor& operator=(const CQmConferenceMonitor&) = delete;
  virtual ~CQmConferenceMonitor();

  /// Watches `conference` with `names` (and the state and member names); each
  /// party is watched with `names`. A monitor is activated at most once.
  void Activate(InteractionId conference, const std::vector<CQmAttributeName>& names,
                bool synchronous);
  /// Stops watching the conference interaction; its parties stay watched
  /// until the monitor is destroyed.
  void Deactivate();
  /// The conference's interaction id.
  ///@{
  InteractionId QueryConferenceId() const;
  ///@}
  /// The last member list received; true when the monitor was activated.
  bool QueryConferencePartys(std::vector<InteractionId>& parties) const;
  /// As CQmInteractionMonitor's, for the conference (its own id) and its
  /// parties.
  ///@{
  CQmAttributeValue QueryAttribute(InteractionId id, const CQmAttributeName& name) const;
  ///@}
  /// As CQmInteractionMonitor's, for the conference and its parties.
  ///@{
  void RequestAttributeUpdateCallback(const CQmAttributeName& name);
  void RequestAttributeUpdateCallback(const std::vector<CQmAttributeName>& names);
  ///@}

 protected:
  /// A known party's (or the ending conference's) record.
  virtual void AttributesUpdated(InteractionId conference, const W4Notifier::CEntityId& party,
                                 const CQmAttributeMap& attributes);
  /// The first record of a listed party.
  virtual void ConferencePartyAdded(InteractionId conference, const W4Notifier::CEntityId& party,
                                    const CQmAttributeMap& attributes);
  /// A known party left the member list.
  virtual void ConferencePartyRemoved(InteractionId conference, const W4Notifier::CEntityId& party);
  /// The conference ended; reported once.
  virtual void ConferenceDeallocated(InteractionId conference);
  /// Stops every subscription and callback of this monitor for good (the
  /// destructor does it too); a derived class whose callbacks use its own
  /// members calls it in its destructor. Idempotent.
  void StopMonitoring();

 private:
  friend class CQmConferenceMonitorGuts;
  std::unique_ptr<CQmConferenceMonitorGuts> guts_;
};

}  // namespace QueueManager
