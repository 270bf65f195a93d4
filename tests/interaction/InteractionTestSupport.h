#pragma once

// Shared pieces of the interaction monitor tests: update records as the
// server writes them, monitors that log their callbacks, and a fixture whose
// scripted server answers monitoring requests from a table.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "QueueManager/InteractionMonitor.h"
#include "monitor/CacheTrace.h"
#include "requests/RequestTestSupport.h"

namespace QueueManager::testing {

inline constexpr int kMonitorRequestEvent = 8;
inline constexpr int kAttributeNotificationEvent = 7;

struct Record {
  std::uint32_t id = 0;
  CQmAttributeMap attributes = {};
  bool alwaysNotify = false;
  bool deallocated = false;
  W4Notifier::ObjectTypes type = W4Notifier::eGenericObject;
};
inline void WriteRecord(CMessage& message, const Record& r) {
  message << static_cast<std::int32_t>(r.type) << static_cast<std::int32_t>(r.id) << r.alwaysNotify
          << r.deallocated;
  r.attributes.Write(message);
}
inline CMessage Records(const std::vector<Record>& records) {
  CMessage message;
  for (const Record& record : records) WriteRecord(message, record);
  return message;
}

// Log callbacks as "Updated 101 {Xan_State=C}", "Deallocated 101", "Added
// 601 {..}", "Removed 601", "Ended 500".
inline std::string Text(const char* kind, const CEntityId& id, const CQmAttributeMap* map) {
  return fmt::format("{} {}{}", kind, id.QueryObjectId(), map ? " " + MapText(*map) : "");
}

class RecordingInteractionMonitor : public CQmInteractionMonitor, public EntryLog {
 public:
  ~RecordingInteractionMonitor() override { StopMonitoring(); }

 protected:
  void AttributesUpdated(const CEntityId& i, const CQmAttributeMap& a) override {
    Add(Text("Updated", i, &a));
  }
  void InteractionDeallocated(const CEntityId& i) override { Add(Text("Deallocated", i, nullptr)); }
};

class RecordingConferenceMonitor : public CQmConferenceMonitor, public EntryLog {
 public:
  ~RecordingConferenceMonitor() override { StopMonitoring(); }

 protected:
  void AttributesUpdated(InteractionId, const CEntityId& p, const CQmAttributeMap& a) override {
    Add(Text("Updated", p, &a));
  }
  void ConferencePartyAdded(InteractionId, const CEntityId& p, const CQmAttributeMap& a) override {
    Add(Text("Added", p, &a));
  }
  void ConferencePartyRemoved(InteractionId, const CEntityId& p) override {
    Add(Text("Removed", p, nullptr));
  }
  void ConferenceDeallocated(InteractionId c) override {
    Add(fmt::format("Ended {}", c.QueryObjectId()));
  }
};

// Monitoring requests are answered with the `Answer` record of each id asked
// for; an id given to `Silence` gets no answer at all.
class InteractionMonitorTest : public RequestTest {
 protected:
  void SetUp() override {
    RequestTest::SetUp();
    server_->HandleType(W4Notifier::eInteractionRequest, kMonitorRequestEvent,
                        [this](const CMessage& request) {
                          std::int32_t count = 0;
                          request >> count;
                          std::vector<Record> records;
                          std::lock_guard lock(mutex_);
                          for (std::uint32_t id = 0; count-- > 0;) {
                            request >> id;
                            const auto it = answers_.find(id);
                            if (it == answers_.end()) continue;
                            if (it->second.type == W4Notifier::eObjectTypeNone)
                              return CScriptedReply::Silence();
                            records.push_back(it->second);
                          }
                          return CScriptedReply::Respond(Records(records));
                        });
  }
  void Answer(const Record& record) {
    std::lock_guard lock(mutex_);
    answers_[record.id] = record;
  }
  void Silence(std::uint32_t id) { Answer({id, {}, false, false, W4Notifier::eObjectTypeNone}); }
  // Publishes a notification of `id` and waits until it was delivered.
  void Notify(std::uint32_t id, const std::vector<Record>& records) {
    server_->WaitIdle();
    server_->Publish(InteractionEntity(id), kAttributeNotificationEvent, Records(records));
    server_->WaitIdle();
  }

 private:
  std::mutex mutex_;
  std::map<std::uint32_t, Record> answers_;
};

}  // namespace QueueManager::testing
