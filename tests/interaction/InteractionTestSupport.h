#pragma once

// Shared pieces of the interaction monitor tests: update records as the
// server writes them, monitors that record their callbacks, and a fixture
// whose scripted server answers monitoring requests from a table.

#include <gmock/gmock.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "QueueManager/InteractionMonitor.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {

inline constexpr int kMonitorRequestEvent = 8;
inline constexpr int kAttributeNotificationEvent = 7;

// One interaction update record.
struct Record {
  std::uint32_t id = 0;
  CQmAttributeMap attributes = {};
  bool alwaysNotify = false;
  bool deallocated = false;
  W4Notifier::ObjectTypes type = W4Notifier::eGenericObject;
};
void WriteRecord(CMessage& message, const Record& record);
CMessage Records(const std::vector<Record>& records);

// Logs "Updated 101 {38=C}", "Deallocated 101" (interaction monitor) and
// "Added 601 {..}", "Updated 601 {..}", "Removed 601", "Ended 500"
// (conference monitor). Thread-safe; `hook` (copied before the call, so
// that it may destroy the monitor) runs after each entry.
class EntryLog {
 public:
  std::vector<std::string> Entries() const;
  std::size_t Count() const;
  std::function<void(const std::string&)> hook;

 protected:
  void Add(std::string entry);

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> entries_;
};

class RecordingInteractionMonitor : public CQmInteractionMonitor, public EntryLog {
 public:
  ~RecordingInteractionMonitor() override { StopMonitoring(); }

 protected:
  void AttributesUpdated(const CEntityId& interaction, const CQmAttributeMap& attributes) override;
  void InteractionDeallocated(const CEntityId& interaction) override;
};

class RecordingConferenceMonitor : public CQmConferenceMonitor, public EntryLog {
 public:
  ~RecordingConferenceMonitor() override { StopMonitoring(); }

 protected:
  void AttributesUpdated(InteractionId conference, const CEntityId& party,
                         const CQmAttributeMap& attributes) override;
  void ConferencePartyAdded(InteractionId conference, const CEntityId& party,
                            const CQmAttributeMap& attributes) override;
  void ConferencePartyRemoved(InteractionId conference, const CEntityId& party) override;
  void ConferenceDeallocated(InteractionId conference) override;
};

// Monitoring requests are answered with the `answers_` record of each id
// asked for (ids without one are left out; an id in `silent_` gets no answer
// at all).
class InteractionMonitorTest : public RequestTest {
 protected:
  void SetUp() override;
  void Answer(const Record& record);
  void Silence(std::uint32_t id);
  // Publishes a notification of `id` and waits until it was delivered.
  void Notify(std::uint32_t id, const std::vector<Record>& records);

 private:
  std::mutex mutex_;
  std::map<std::uint32_t, Record> answers_;
};

}  // namespace QueueManager::testing
