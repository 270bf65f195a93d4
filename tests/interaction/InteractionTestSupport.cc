#include "interaction/InteractionTestSupport.h"

#include <fmt/format.h>

#include "monitor/CacheTrace.h"
#include "requests/RequestFields.h"

namespace QueueManager::testing {

void WriteRecord(CMessage& message, const Record& record) {
  message << static_cast<std::int32_t>(record.type) << static_cast<std::int32_t>(record.id)
          << record.alwaysNotify << record.deallocated;
  record.attributes.Write(message);
}

CMessage Records(const std::vector<Record>& records) {
  CMessage message;
  for (const Record& record : records) WriteRecord(message, record);
  return message;
}

std::vector<std::string> EntryLog::Entries() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

std::size_t EntryLog::Count() const {
  std::lock_guard lock(mutex_);
  return entries_.size();
}

void EntryLog::Add(std::string entry) {
  {
    std::lock_guard lock(mutex_);
    entries_.push_back(entry);
  }
  const auto hookCopy = hook;
  if (hookCopy) hookCopy(entry);
}

void RecordingInteractionMonitor::AttributesUpdated(const CEntityId& interaction,
                                                    const CQmAttributeMap& attributes) {
  Add(fmt::format("Updated {} {}", interaction.QueryObjectId(), MapText(attributes)));
}

void RecordingInteractionMonitor::InteractionDeallocated(const CEntityId& interaction) {
  Add(fmt::format("Deallocated {}", interaction.QueryObjectId()));
}

void RecordingConferenceMonitor::AttributesUpdated(InteractionId, const CEntityId& party,
                                                   const CQmAttributeMap& attributes) {
  Add(fmt::format("Updated {} {}", party.QueryObjectId(), MapText(attributes)));
}

void RecordingConferenceMonitor::ConferencePartyAdded(InteractionId, const CEntityId& party,
                                                      const CQmAttributeMap& attributes) {
  Add(fmt::format("Added {} {}", party.QueryObjectId(), MapText(attributes)));
}

void RecordingConferenceMonitor::ConferencePartyRemoved(InteractionId, const CEntityId& party) {
  Add(fmt::format("Removed {}", party.QueryObjectId()));
}

void RecordingConferenceMonitor::ConferenceDeallocated(InteractionId conference) {
  Add(fmt::format("Ended {}", conference.QueryObjectId()));
}

void InteractionMonitorTest::SetUp() {
  RequestTest::SetUp();
  server_->HandleType(W4Notifier::eInteractionRequest, kMonitorRequestEvent,
                      [this](const CMessage& request) {
                        std::int32_t count = 0;
                        request >> count;
                        std::vector<Record> records;
                        std::lock_guard lock(mutex_);
                        for (std::int32_t i = 0; i < count; ++i) {
                          std::uint32_t id = 0;
                          request >> id;
                          const auto it = answers_.find(id);
                          if (it == answers_.end()) continue;
                          if (it->second.id == 0) return W4Notifier::CScriptedReply::Silence();
                          records.push_back(it->second);
                        }
                        return W4Notifier::CScriptedReply::Respond(Records(records));
                      });
}

void InteractionMonitorTest::Answer(const Record& record) {
  std::lock_guard lock(mutex_);
  answers_[record.id] = record;
}

void InteractionMonitorTest::Silence(std::uint32_t id) {
  std::lock_guard lock(mutex_);
  answers_[id] = Record{};
}

void InteractionMonitorTest::Notify(std::uint32_t id, const std::vector<Record>& records) {
  server_->WaitIdle();
  server_->Publish(InteractionEntity(id), kAttributeNotificationEvent, Records(records));
  server_->WaitIdle();
}

}  // namespace QueueManager::testing
