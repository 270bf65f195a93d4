#pragma once

// The implementation behind CQmConferenceMonitor: an interaction monitor of
// the conference and its parties that turns their records into the
// conference's callbacks.

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "QueueManager/InteractionMonitor.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace QueueManager {

// Thread-safe: the conference fields are guarded by a leaf mutex, held only
// to read or change them, never across a call into the inner monitor or the
// owner. Owned by its public monitor.
//
// Callbacks of the owner run inside the inner monitor's callbacks (one at a
// time, no lock held); the owner may destroy the monitor in any of them, so
// nothing of this object is touched after an owner callback unless the
// alive token says it still exists.
class CQmConferenceMonitorGuts final : public CQmInteractionMonitor {
 public:
  explicit CQmConferenceMonitorGuts(CQmConferenceMonitor& owner) : owner_(&owner) {}
  ~CQmConferenceMonitorGuts() override;

  void Activate(InteractionId conference, const std::vector<CQmAttributeName>& names,
                bool synchronous) QM_LOCKS_EXCLUDED(mutex_);
  void Deactivate() QM_LOCKS_EXCLUDED(mutex_);
  InteractionId QueryConferenceId() const QM_LOCKS_EXCLUDED(mutex_);
  bool QueryConferencePartys(std::vector<InteractionId>& parties) const QM_LOCKS_EXCLUDED(mutex_);
  // Ends every subscription and callback for good.
  void Stop();

 protected:
  void AttributesUpdated(const W4Notifier::CEntityId& interaction,
                         const CQmAttributeMap& attributes) override QM_LOCKS_EXCLUDED(mutex_);
  void InteractionDeallocated(const W4Notifier::CEntityId& interaction) override
      QM_LOCKS_EXCLUDED(mutex_);

 private:
  // Orders parties by object type (signed), then object id (unsigned).
  struct PartyOrder {
    bool operator()(const W4Notifier::CEntityId& a, const W4Notifier::CEntityId& b) const;
  };
  // What a conference record asks for, worked out under the mutex.
  struct MemberChanges {
    std::vector<InteractionId> activate;
    std::vector<InteractionId> release;  // activated, never answered, gone
    std::vector<W4Notifier::CEntityId> removed;
  };
  enum class Ending : std::uint8_t { kNone, kDeallocated, kUpdatedThenDeallocated };

  void ConferenceRecord(const W4Notifier::CEntityId& interaction, const CQmAttributeMap& attributes)
      QM_LOCKS_EXCLUDED(mutex_);
  void PartyRecord(const W4Notifier::CEntityId& party, const CQmAttributeMap& attributes)
      QM_LOCKS_EXCLUDED(mutex_);
  Ending EndingLocked(const W4Notifier::CEntityId& interaction, const CQmAttributeMap& attributes)
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  MemberChanges ReconcileMembersLocked(std::vector<InteractionId> members)
      QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  // Calls the owner when this object still exists; false when it is gone.
  template <class Call>
  bool CallOwner(Call call);

  CQmConferenceMonitor* const owner_;
  // False once this object is being destroyed (shared with running
  // callbacks, which check it after each owner callback).
  const std::shared_ptr<std::atomic<bool>> alive_ = std::make_shared<std::atomic<bool>>(true);
  mutable W4Os::Mutex mutex_;
  std::vector<CQmAttributeName> partyNames_ QM_GUARDED_BY(mutex_);
  InteractionId conference_ QM_GUARDED_BY(mutex_);
  bool ended_ QM_GUARDED_BY(mutex_) = false;
  std::vector<InteractionId> members_ QM_GUARDED_BY(mutex_);
  std::set<W4Notifier::CEntityId, PartyOrder> known_ QM_GUARDED_BY(mutex_);
  // Parties activated in the inner monitor and not released.
  std::set<std::uint32_t> activated_ QM_GUARDED_BY(mutex_);
};

}  // namespace QueueManager
