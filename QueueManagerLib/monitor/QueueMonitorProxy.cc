#include "monitor/QueueMonitorProxy.h"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <exception>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/QueueMonitor.h"
#include "attributes/Catalogue.h"
#include "monitor/CacheTrace.h"
#include "monitor/CallbackGate.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;

constexpr const char* kFunction = "CQueueMonitorProxy";

// An active attachment. The monitored names are kept here, under the proxy
// lock, since deliveries on any thread read them; standard names are
// mirrored as bits, so that the test of an attribute update is a few bit
// tests.
struct MonitorEntry {
  std::shared_ptr<ProxyAttachment> attachment;
  std::bitset<QueueManager::Catalogue::kMaxNumber + 1> standardNames;
  std::set<CQmAttributeName> names;
  bool otherNames = false;  // names that are not catalogue numbers
};

struct ProxyState {
  W4Os::Mutex mutex;
  std::unordered_map<MonitorId, MonitorEntry> entries QM_GUARDED_BY(mutex);
};

ProxyState& State() {
  // Never destroyed: monitors may be destroyed by static destructors.
  static ProxyState* const state = new ProxyState;
  return *state;
}

std::string ActiveSetText(const ProxyState& state) QM_EXCLUSIVE_LOCKS_REQUIRED(state.mutex) {
  std::string text = "{";
  bool first = true;
  for (const auto& [id, entry] : state.entries) {
    text += first ? "" : ",";
    first = false;
    text += fmt::format("{}", id);
  }
  return text + "}";
}

bool IsCatalogueNumber(const CQmAttributeName& name) {
  const std::int32_t number = name.QueryW4AttributeName();
  return number >= 0 && number <= QueueManager::Catalogue::kMaxNumber;
}

void AddEntryNames(MonitorEntry& entry, const std::vector<CQmAttributeName>& names) {
  for (const CQmAttributeName& name : names) {
    entry.names.insert(name);
    if (IsCatalogueNumber(name)) {
      entry.standardNames.set(static_cast<std::size_t>(name.QueryW4AttributeName()));
    } else {
      entry.otherNames = true;
    }
  }
}

// True when a name of `updated` is among the monitored ones: catalogue
// numbers by their bit, other names in the monitor's set.
bool NamesIntersect(const MonitorEntry& entry, const CQmAttributeMap& updated) {
  return std::any_of(updated.begin(), updated.end(), [&](const auto& attribute) {
    const CQmAttributeName& name = attribute.first;
    if (IsCatalogueNumber(name)) {
      return entry.standardNames.test(static_cast<std::size_t>(name.QueryW4AttributeName()));
    }
    return entry.otherNames && entry.names.count(name) != 0;
  });
}

}  // namespace

// What a delivery holds on to while it waits for the turn and calls: the
// gate stays alive with it, and `active` tells, once the turn is taken,
// whether the attachment was stopped meanwhile. A stop clears `active`
// before it waits on the gate, and a delivery reads it after taking the
// turn: either the stop sees the turn taken and waits, or the delivery sees
// the attachment stopped.
struct ProxyAttachment {
  ProxyAttachment(CQmQueueMonitor* target, std::shared_ptr<CallbackGate> turns)
      : monitor(target), gate(std::move(turns)) {}
  CQmQueueMonitor* const monitor;
  const std::shared_ptr<CallbackGate> gate;
  std::atomic<bool> active{true};
};

void CQueueMonitorProxy::Activate(MonitorId id, CQmQueueMonitor* monitor,
                                  const std::vector<CQmAttributeName>& names) {
  auto attachment = std::make_shared<ProxyAttachment>(monitor, monitor->gate_);
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  MonitorEntry& entry = state.entries[id];
  if (!entry.attachment) entry.attachment = std::move(attachment);
  AddEntryNames(entry, names);
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy Activate {}: m_ActiveMonitors={}", id, ActiveSetText(state));
}

void CQueueMonitorProxy::Deactivate(MonitorId id) {
  std::shared_ptr<ProxyAttachment> attachment;
  {
    ProxyState& state = State();
    W4Os::MutexLock lock(&state.mutex);
    const auto it = state.entries.find(id);
    if (it == state.entries.end()) return;
    attachment = std::move(it->second.attachment);
    attachment->active.store(false, std::memory_order_release);
    state.entries.erase(it);
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
             "CQueueMonitorProxy Deactivate {}: m_ActiveMonitors={}", id, ActiveSetText(state));
  }
  attachment->gate->Quiesce();
}

void CQueueMonitorProxy::Disable(MonitorId id) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  if (it == state.entries.end()) return;
  it->second.attachment->active.store(false, std::memory_order_release);
  state.entries.erase(it);
}

bool CQueueMonitorProxy::IsActive(MonitorId id) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  const bool found = it != state.entries.end();
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy query: m_pMonitor = {} ({}) m_ActiveMonitors={}", id,
           found ? "FOUND" : "NOT FOUND", ActiveSetText(state));
  return found;
}

bool CQueueMonitorProxy::AttributesMonitored(MonitorId id, const CQmAttributeMap& updated) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  if (it == state.entries.end()) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
             "AttributesMonitored: no such active monitor");
    return false;
  }
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "AttributesMonitored:\nmonitored={}\nupdated={}", NamesText(it->second.names),
           MapText(updated));
  return NamesIntersect(it->second, updated);
}

std::vector<CQmAttributeName> CQueueMonitorProxy::Names(MonitorId id) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  if (it == state.entries.end()) return {};
  return {it->second.names.begin(), it->second.names.end()};
}

void CQueueMonitorProxy::AddNames(MonitorId id, const std::vector<CQmAttributeName>& names) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  if (it != state.entries.end()) AddEntryNames(it->second, names);
}

std::size_t CQueueMonitorProxy::ActiveCount() {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  return state.entries.size();
}

std::shared_ptr<ProxyAttachment> CQueueMonitorProxy::Find(MonitorId id,
                                                          const CQmAttributeMap* mustMonitorOneOf) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  const bool found = it != state.entries.end();
  if (mustMonitorOneOf != nullptr) {
    if (!found) {
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
               "AttributesMonitored: no such active monitor");
      return nullptr;
    }
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
             "AttributesMonitored:\nmonitored={}\nupdated={}", NamesText(it->second.names),
             MapText(*mustMonitorOneOf));
    if (!NamesIntersect(it->second, *mustMonitorOneOf)) return nullptr;
  }
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy get_pointer: m_pMonitor = {} ({}) m_ActiveMonitors={}", id,
           found ? "FOUND" : "NOT FOUND", ActiveSetText(state));
  return found ? it->second.attachment : nullptr;
}

template <class Call>
void CQueueMonitorProxy::Deliver(MonitorId id, const CQmAttributeMap* mustMonitorOneOf,
                                 const char* callback, Call call) {
  const std::shared_ptr<ProxyAttachment> attachment = Find(id, mustMonitorOneOf);
  if (!attachment) return;
  // No lock held from here: the turn may have to wait for a callback of the
  // same monitor on another thread, which may itself call into the cache.
  const CallbackGate::Turn turn = attachment->gate->Enter();
  if (!turn || !attachment->active.load(std::memory_order_acquire)) return;
  // The application's exceptions stop here: they must neither skip the
  // bookkeeping below nor reach a notifier thread.
  try {
    call(*attachment->monitor);
  } catch (const std::exception& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "{} of monitor {} threw: {}",
             callback, id, e.what());
  } catch (...) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
             "{} of monitor {} threw an unknown exception", callback, id);
  }
}

void CQueueMonitorProxy::AttributesUpdated(MonitorId id, const CEntityId& queue,
                                           InteractionId interaction,
                                           const CQmAttributeMap& attributes) {
  Deliver(id, &attributes, "AttributesUpdated", [&](CQmQueueMonitor& monitor) {
    monitor.AttributesUpdated(queue, interaction, attributes);
  });
}

void CQueueMonitorProxy::InteractionAdded(MonitorId id, const CEntityId& queue,
                                          InteractionId interaction,
                                          const CQmAttributeMap& attributes) {
  Deliver(id, nullptr, "InteractionAdded", [&](CQmQueueMonitor& monitor) {
    monitor.InteractionAdded(queue, interaction, attributes);
  });
}

void CQueueMonitorProxy::InteractionRemoved(MonitorId id, const CEntityId& queue,
                                            InteractionId interaction) {
  Deliver(id, nullptr, "InteractionRemoved",
          [&](CQmQueueMonitor& monitor) { monitor.InteractionRemoved(queue, interaction); });
}

void CQueueMonitorProxy::StatisticsUpdate(MonitorId id, const CEntityId& queue,
                                          const CQmQueueStats& stats) {
  Deliver(id, nullptr, "StatisticsUpdate",
          [&](CQmQueueMonitor& monitor) { monitor.StatisticsUpdate(queue, stats); });
}

void CQueueMonitorProxy::QueueRemoved(MonitorId id, const CEntityId& queue) {
  Deliver(id, nullptr, "QueueRemoved",
          [&](CQmQueueMonitor& monitor) { monitor.QueueRemoved(queue); });
}

// ---- attachment ids ----

MonitorId NewMonitorId() {
  static std::atomic<MonitorId> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace QueueManager
