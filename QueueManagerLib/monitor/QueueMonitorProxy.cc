#include "monitor/QueueMonitorProxy.h"

#include <algorithm>
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

// A monitor the proxy knows: active, or still inside a callback after it was
// deactivated. Callbacks of one monitor never run on two threads at once but
// nest on one: `runner` is that thread while `depth` is above 0. The
// monitor's standard names are mirrored as bits, so that the test of an
// attribute update is a few bit tests.
struct MonitorEntry {
  bool active = false;
  int depth = 0;
  std::thread::id runner;
  std::bitset<QueueManager::Catalogue::kMaxNumber + 1> standardNames;
  bool otherNames = false;  // names that are not catalogue numbers
};

struct ProxyState {
  W4Os::Mutex mutex;
  W4Os::CondVar callbackEnded{&mutex};
  std::unordered_map<const CQmQueueMonitor*, MonitorEntry> entries QM_GUARDED_BY(mutex);
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
  for (const auto& [monitor, entry] : state.entries) {
    if (!entry.active) continue;
    text += first ? "" : ",";
    first = false;
    text += fmt::format("{}", fmt::ptr(monitor));
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

void MirrorNames(MonitorEntry& entry, const std::set<CQmAttributeName>& names) {
  entry.standardNames.reset();
  entry.otherNames = false;
  for (const CQmAttributeName& name : names) {
    if (IsCatalogueNumber(name)) {
      entry.standardNames.set(static_cast<std::size_t>(name.QueryW4AttributeName()));
    } else {
      entry.otherNames = true;
    }
  }
}

// True when a name of `updated` is among the monitored ones: catalogue
// numbers by their bit, other names in the monitor's set.
bool NamesIntersect(const MonitorEntry& entry, const std::set<CQmAttributeName>& monitored,
                    const CQmAttributeMap& updated) {
  return std::any_of(updated.begin(), updated.end(), [&](const auto& attribute) {
    const CQmAttributeName& name = attribute.first;
    if (IsCatalogueNumber(name)) {
      return entry.standardNames.test(static_cast<std::size_t>(name.QueryW4AttributeName()));
    }
    return entry.otherNames && monitored.count(name) != 0;
  });
}

}  // namespace

void CQueueMonitorProxy::Activate(CQmQueueMonitor* monitor) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  state.entries[monitor].active = true;
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy Activate {}: m_ActiveMonitors={}", fmt::ptr(monitor),
           ActiveSetText(state));
}

void CQueueMonitorProxy::Deactivate(CQmQueueMonitor* monitor) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  auto it = state.entries.find(monitor);
  if (it == state.entries.end()) return;
  it->second.active = false;
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy Deactivate {}: m_ActiveMonitors={}", fmt::ptr(monitor),
           ActiveSetText(state));
  const std::thread::id self = std::this_thread::get_id();
  ++state.waiters;
  while (it != state.entries.end() && RunsOnOtherThread(it->second, self)) {
    state.callbackEnded.Wait();
    it = state.entries.find(monitor);  // the table may have been rehashed
  }
  --state.waiters;
  if (it != state.entries.end() && !it->second.active && it->second.depth == 0) {
    state.entries.erase(it);
  }
}

bool CQueueMonitorProxy::query(CQmQueueMonitor* monitor) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(monitor);
  const bool found = it != state.entries.end() && it->second.active;
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy query: m_pMonitor = {} ({}) m_ActiveMonitors={}", fmt::ptr(monitor),
           found ? "FOUND" : "NOT FOUND", ActiveSetText(state));
  return found;
}

bool CQueueMonitorProxy::AttributesMonitored(CQmQueueMonitor* monitor,
                                             const CQmAttributeMap& updated) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(monitor);
  if (it == state.entries.end() || !it->second.active) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
             "AttributesMonitored: no such active monitor");
    return false;
  }
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "AttributesMonitored:\nmonitored={}\nupdated={}", NamesText(monitor->names_),
           MapText(updated));
  return NamesIntersect(it->second, monitor->names_, updated);
}

void CQueueMonitorProxy::AddNames(CQmQueueMonitor* monitor,
                                  const std::vector<CQmAttributeName>& names) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  monitor->names_.insert(names.begin(), names.end());
  MirrorNames(state.entries[monitor], monitor->names_);
}

void CQueueMonitorProxy::ClearNames(CQmQueueMonitor* monitor) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  monitor->names_.clear();
  const auto it = state.entries.find(monitor);
  if (it == state.entries.end()) return;
  MirrorNames(it->second, monitor->names_);
  if (!it->second.active && it->second.depth == 0) state.entries.erase(it);
}

bool CQueueMonitorProxy::InsideCallback() { return t_callbackDepth > 0; }

std::size_t CQueueMonitorProxy::ActiveCount() {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  return static_cast<std::size_t>(std::count_if(state.entries.begin(), state.entries.end(),
                                                [](const auto& e) { return e.second.active; }));
}

bool CQueueMonitorProxy::BeginCallback(CQmQueueMonitor* monitor,
                                       const CQmAttributeMap* mustMonitorOneOf) {
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const std::thread::id self = std::this_thread::get_id();
  auto it = state.entries.find(monitor);
  // One thread at a time: a monitor never has to guard its own state against
  // its callbacks, and never sees two threads deactivate it from inside its
  // callbacks at once (each would wait for the other).
  ++state.waiters;
  while (it != state.entries.end() && it->second.active && RunsOnOtherThread(it->second, self)) {
    state.callbackEnded.Wait();
    it = state.entries.find(monitor);  // the table may have been rehashed
  }
  --state.waiters;
  const bool found = it != state.entries.end() && it->second.active;
  if (mustMonitorOneOf != nullptr) {
    if (!found) {
      QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
               "AttributesMonitored: no such active monitor");
      return false;
    }
    QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
             "AttributesMonitored:\nmonitored={}\nupdated={}", NamesText(monitor->names_),
             MapText(*mustMonitorOneOf));
    if (!NamesIntersect(it->second, monitor->names_, *mustMonitorOneOf)) return false;
  }
  QM_TRACE(CacheTopic(), W4Trace::kLevelDetail, kFunction,
           "CQueueMonitorProxy get_pointer: m_pMonitor = {} ({}) m_ActiveMonitors={}",
           fmt::ptr(monitor), found ? "FOUND" : "NOT FOUND", ActiveSetText(state));
  if (!found) return false;
  it->second.runner = self;
  ++it->second.depth;
  ++t_callbackDepth;
  return true;
}

void CQueueMonitorProxy::EndCallback(CQmQueueMonitor* monitor) {
  --t_callbackDepth;
  ProxyState& state = State();
  W4Os::MutexLock lock(&state.mutex);
  const auto it = state.entries.find(monitor);
  if (it == state.entries.end()) return;
  --it->second.depth;
  if (!it->second.active && it->second.depth == 0) state.entries.erase(it);
  if (state.waiters > 0) state.callbackEnded.SignalAll();
}

template <class Call>
void CQueueMonitorProxy::Deliver(CQmQueueMonitor* monitor, const CQmAttributeMap* mustMonitorOneOf,
                                 const char* callback, Call call) {
  if (!BeginCallback(monitor, mustMonitorOneOf)) return;
  // The application's exceptions stop here: they must neither skip the
  // bookkeeping below nor reach a notifier thread.
  try {
    call();
  } catch (const std::exception& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction, "{} of monitor {} threw: {}",
             callback, fmt::ptr(monitor), e.what());
  } catch (...) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelFailure, kFunction,
             "{} of monitor {} threw an unknown exception", callback, fmt::ptr(monitor));
  }
  EndCallback(monitor);
}

void CQueueMonitorProxy::AttributesUpdated(CQmQueueMonitor* monitor, const CEntityId& queue,
                                           InteractionId id, const CQmAttributeMap& attributes) {
  Deliver(monitor, &attributes, "AttributesUpdated",
          [&] { monitor->AttributesUpdated(queue, id, attributes); });
}

void CQueueMonitorProxy::InteractionAdded(CQmQueueMonitor* monitor, const CEntityId& queue,
                                          InteractionId id, const CQmAttributeMap& attributes) {
  Deliver(monitor, nullptr, "InteractionAdded",
          [&] { monitor->InteractionAdded(queue, id, attributes); });
}

void CQueueMonitorProxy::InteractionRemoved(CQmQueueMonitor* monitor, const CEntityId& queue,
                                            InteractionId id) {
  Deliver(monitor, nullptr, "InteractionRemoved", [&] { monitor->InteractionRemoved(queue, id); });
}

void CQueueMonitorProxy::StatisticsUpdate(CQmQueueMonitor* monitor, const CEntityId& queue,
                                          const CQmQueueStats& stats) {
  Deliver(monitor, nullptr, "StatisticsUpdate", [&] { monitor->StatisticsUpdate(queue, stats); });
}

void CQueueMonitorProxy::QueueRemoved(CQmQueueMonitor* monitor, const CEntityId& queue) {
  Deliver(monitor, nullptr, "QueueRemoved", [&] { monitor->QueueRemoved(queue); });
}

}  // namespace QueueManager
