#include "monitor/QueueMonitorProxy.h"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <exception>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/QueueMonitor.h"
#include "attributes/Catalogue.h"
#include "monitor/CacheTrace.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;

constexpr const char* kFunction = "CQueueMonitorProxy";

// An attachment the proxy knows: active, or still inside a callback after it
// was deactivated. Callbacks of one attachment never run on two threads at
// once but nest on one: `runner` is that thread while `depth` is above 0. The
// monitored names are kept here, under the proxy lock, since deliveries on
// any thread read them; standard names are mirrored as bits, so that the
// test of an attribute update is a few bit tests.
struct MonitorEntry {
  CQmQueueMonitor* monitor = nullptr;
  bool active = false;
  int depth = 0;
  std::thread::id runner;
  std::bitset<QueueManager::Catalogue::kMaxNumber + 1> standardNames;
  std::set<CQmAttributeName> names;
  bool otherNames = false;  // names that are not catalogue numbers
};

struct ProxyState {
  W4Os::Mutex mutex;
  W4Os::CondVar callbackEnded{&mutex};
  std::unordered_map<MonitorId, MonitorEntry> entries QM_GUARDED_BY(mutex);
  // Threads waiting in Deactivate or for their turn to call a monitor;
  // callbacks signal their end only when there are any.
  int waiters QM_GUARDED_BY(mutex) = 0;
};

// Monitor callbacks the calling thread is inside (they nest).
thread_local int t_callbackDepth = 0;

ProxyState& State() {
  // Never destroyed: monitors may be destroyed by static destructors.
  static ProxyState* const state = new ProxyState;
  return *state;
}

std::string ActiveSetText(const ProxyState& state) QM_EXCLUSIVE_LOCKS_REQUIRED(state.mutex) {
  std::string text = "{";
  bool first = true;
  for (const auto& [id, entry] : state.entries) {
    if (!entry.active) continue;
    text += first ? "" : ",";
    first = false;
    text += fmt::format("{}", id);
  }
  return text + "}";
}

bool RunsOnOtherThread(const MonitorEntry& entry, std::thread::id self) {
  return entry.depth > 0 && entry.runner != self;
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

void CQueueMonitorProxy::Activate(MonitorId id, CQmQueueMonitor* monitor,
                                  const std::vector<CQmAttributeName>& names) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  MonitorEntry& entry = state.entries[id];
  entry.monitor = monitor;
  entry.active = true;
  AddEntryNames(entry, names);
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy Activate {}: m_ActiveMonitors={}", id, ActiveSetText(state));
}

void CQueueMonitorProxy::Deactivate(MonitorId id) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  auto it = state.entries.find(id);
  if (it == state.entries.end()) return;
  it->second.active = false;
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy Deactivate {}: m_ActiveMonitors={}", id, ActiveSetText(state));
  const std::thread::id self = std::this_thread::get_id();
  ++state.waiters;
  while (it != state.entries.end() && RunsOnOtherThread(it->second, self)) {
    state.callbackEnded.Wait();
    it = state.entries.find(id);  // the table may have been rehashed
  }
  --state.waiters;
  if (it != state.entries.end() && it->second.depth == 0) state.entries.erase(it);
}

void CQueueMonitorProxy::Disable(MonitorId id) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  if (it != state.entries.end()) it->second.active = false;
}

void CQueueMonitorProxy::WaitForCallbacks(const CQmQueueMonitor* monitor) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const std::thread::id self = std::this_thread::get_id();
  const auto runsElsewhere = [&]() QM_EXCLUSIVE_LOCKS_REQUIRED(state.mutex) {
    return std::any_of(state.entries.begin(), state.entries.end(), [&](const auto& entry) {
      return entry.second.monitor == monitor && RunsOnOtherThread(entry.second, self);
    });
  };
  ++state.waiters;
  while (runsElsewhere()) state.callbackEnded.Wait();
  --state.waiters;
}

bool CQueueMonitorProxy::query(MonitorId id) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  const bool found = it != state.entries.end() && it->second.active;
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy query: m_pMonitor = {} ({}) m_ActiveMonitors={}", id,
           found ? "FOUND" : "NOT FOUND", ActiveSetText(state));
  return found;
}

bool CQueueMonitorProxy::AttributesMonitored(MonitorId id, const CQmAttributeMap& updated) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  if (it == state.entries.end() || !it->second.active) {
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

bool CQueueMonitorProxy::InsideCallback() { return t_callbackDepth > 0; }

std::size_t CQueueMonitorProxy::ActiveCount() {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  return static_cast<std::size_t>(std::count_if(state.entries.begin(), state.entries.end(),
                                                [](const auto& e) { return e.second.active; }));
}

CQmQueueMonitor* CQueueMonitorProxy::BeginCallback(MonitorId id,
                                                   const CQmAttributeMap* mustMonitorOneOf) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const std::thread::id self = std::this_thread::get_id();
  auto it = state.entries.find(id);
  // One thread at a time: a monitor never has to guard its own state against
  // its callbacks, and never sees two threads deactivate it from inside its
  // callbacks at once (each would wait for the other).
  ++state.waiters;
  while (it != state.entries.end() && it->second.active && RunsOnOtherThread(it->second, self)) {
    state.callbackEnded.Wait();
    it = state.entries.find(id);  // the table may have been rehashed
  }
  --state.waiters;
  const bool found = it != state.entries.end() && it->second.active;
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
  if (!found) return nullptr;
  it->second.runner = self;
  ++it->second.depth;
  ++t_callbackDepth;
  return it->second.monitor;
}

void CQueueMonitorProxy::EndCallback(MonitorId id) {
  --t_callbackDepth;
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(id);
  if (it == state.entries.end()) return;
  --it->second.depth;
  if (!it->second.active && it->second.depth == 0) state.entries.erase(it);
  if (state.waiters > 0) state.callbackEnded.SignalAll();
}

template <class Call>
void CQueueMonitorProxy::Deliver(MonitorId id, const CQmAttributeMap* mustMonitorOneOf,
                                 const char* callback, Call call) {
  CQmQueueMonitor* monitor = BeginCallback(id, mustMonitorOneOf);
  if (monitor == nullptr) return;
  // The application's exceptions stop here: they must neither skip the
  // bookkeeping below nor reach a notifier thread.
  try {
    call(*monitor);
  } catch (const std::exception& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "{} of monitor {} threw: {}",
             callback, id, e.what());
  } catch (...) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
             "{} of monitor {} threw an unknown exception", callback, id);
  }
  EndCallback(id);
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
