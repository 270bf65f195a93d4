#pragma once

// The interaction and conference monitors of the demo: each callback becomes
// an event line.

#include <atomic>

#include "Console.h"
#include "QueueManager/InteractionMonitor.h"

namespace ContactCentre {

// Prints the state changes and the end of every interaction it watches.
// Thread-safe as CQmInteractionMonitor; callbacks run on delivery threads and
// only write to the console, which must outlive the monitor.
class InteractionPrinter : public QueueManager::CQmInteractionMonitor {
 public:
  explicit InteractionPrinter(Console& console) : console_(console) {}
  ~InteractionPrinter() override { StopMonitoring(); }

 protected:
  void AttributesUpdated(const W4Notifier::CEntityId& interaction,
                         const QueueManager::CQmAttributeMap& attributes) override;
  void InteractionDeallocated(const W4Notifier::CEntityId& interaction) override;

 private:
  Console& console_;
};

// Prints a conference's parties joining, changing state and leaving, and its
// end; silent after the end (the monitor goes on watching the parties).
// Thread-safe as CQmConferenceMonitor; the console must outlive it.
class ConferencePrinter : public QueueManager::CQmConferenceMonitor {
 public:
  explicit ConferencePrinter(Console& console) : console_(console) {}
  ~ConferencePrinter() override { StopMonitoring(); }

 protected:
  void AttributesUpdated(QueueManager::InteractionId conference, const W4Notifier::CEntityId& party,
                         const QueueManager::CQmAttributeMap& attributes) override;
  void ConferencePartyAdded(QueueManager::InteractionId conference,
                            const W4Notifier::CEntityId& party,
                            const QueueManager::CQmAttributeMap& attributes) override;
  void ConferencePartyRemoved(QueueManager::InteractionId conference,
                              const W4Notifier::CEntityId& party) override;
  void ConferenceDeallocated(QueueManager::InteractionId conference) override;

 private:
  Console& console_;
  // Callbacks of one monitor come one at a time, but on different threads.
  std::atomic<bool> ended_{false};
};

// "state C (connected)", or empty when `attributes` holds no state.
std::string DescribeState(const QueueManager::CQmAttributeMap& attributes);

}  // namespace ContactCentre
