#include "monitor/LoadBook.h"

namespace QueueManager {

using W4Notifier::CEntityId;

const LoadBook::PendingLoad* LoadBook::Find(MonitorId monitor) const {
  const auto it = pending_.find(monitor);
  return it == pending_.end() ? nullptr : &it->second;
}

LoadBook::Activation LoadBook::Record(MonitorId monitor, const CEntityId& queue,
                                      bool addingAttributes, const PendingLoad* pending,
                                      bool live) {
  Activation activation;
  activation.load = NextLoad();
  if (addingAttributes && pending != nullptr && pending->state != LoadState::kAdding) {
    // Never loaded, or its contents still on their way: more names are no
    // substitute for the whole contents, and a load that asked for fewer
    // names is superseded by one with all of them.
    addingAttributes = false;
    activation.allNames = true;
  }
  activation.adding = addingAttributes && live;
  pending_[monitor] = PendingLoad{activation.adding ? LoadState::kAdding : LoadState::kAwaiting,
                                  queue, activation.load};
  return activation;
}

std::optional<std::pair<CEntityId, std::uint64_t>> LoadBook::Retry(MonitorId monitor) {
  const auto it = pending_.find(monitor);
  if (it == pending_.end() || it->second.state != LoadState::kFailed) return std::nullopt;
  it->second.state = LoadState::kAwaiting;
  it->second.delivering = false;
  it->second.load = NextLoad();
  return std::pair{it->second.queue, it->second.load};
}

std::vector<MonitorId> LoadBook::FailedMonitors() const {
  std::vector<MonitorId> failed;
  for (const auto& [monitor, load] : pending_) {
    if (load.state == LoadState::kFailed) failed.push_back(monitor);
  }
  return failed;
}

void LoadBook::Failed(const Ticket& ticket) {
  if (ticket.monitor == kNoMonitor || !AnswersCurrentLoad(ticket)) return;
  const auto it = pending_.find(ticket.monitor);
  if (it->second.state == LoadState::kAdding) {
    pending_.erase(it);
  } else {
    // Pending until a later load succeeds: a renegotiation, or the monitor's
    // own Activate or RequestAttributeUpdateCallback.
    it->second.state = LoadState::kFailed;
    it->second.delivering = false;
  }
}

void LoadBook::Delivering(const Ticket& ticket) {
  if (ticket.monitor == kNoMonitor || ticket.adding || !Serves(ticket)) return;
  pending_.find(ticket.monitor)->second.delivering = true;
}

void LoadBook::Answered(const Ticket& ticket) {
  if (ticket.monitor != kNoMonitor && AnswersCurrentLoad(ticket)) pending_.erase(ticket.monitor);
}

bool LoadBook::AnswersCurrentLoad(const Ticket& ticket) const {
  const PendingLoad* pending = Find(ticket.monitor);
  return pending != nullptr && pending->load == ticket.load && pending->state != LoadState::kFailed;
}

bool LoadBook::Serves(const Ticket& ticket) const {
  const PendingLoad* pending = Find(ticket.monitor);
  // More names serve a live monitor (the queue record tells whether it is
  // still attached); whole contents served to a monitor whose load was
  // superseded would give it its contents twice.
  if (ticket.adding) return pending == nullptr || pending->state == LoadState::kAdding;
  return pending != nullptr && pending->state == LoadState::kAwaiting &&
         pending->load == ticket.load;
}

bool LoadBook::IsLive(MonitorId monitor) const {
  const PendingLoad* pending = Find(monitor);
  return pending == nullptr || pending->state == LoadState::kAdding;
}

std::optional<LoadBook::Request> LoadBook::Look(std::uint32_t requestId) const {
  const auto it = requests_.find(requestId);
  if (it == requests_.end()) return std::nullopt;
  return it->second;
}

std::optional<LoadBook::Request> LoadBook::Take(std::uint32_t requestId) {
  const auto it = requests_.find(requestId);
  if (it == requests_.end()) return std::nullopt;
  Request request = std::move(it->second);
  requests_.erase(it);
  return request;
}

std::vector<std::pair<std::uint32_t, std::shared_ptr<W4Notifier::CNotifierConnection>>>
LoadBook::RequestsInFlight() const {
  std::vector<std::pair<std::uint32_t, std::shared_ptr<W4Notifier::CNotifierConnection>>> live;
  for (const auto& [id, request] : requests_) {
    if (auto connection = request.connection.lock()) live.emplace_back(id, std::move(connection));
  }
  return live;
}

bool LoadBook::ReloadInFlight() const {
  for (const auto& entry : requests_) {
    if (entry.second.reload) return true;
  }
  return false;
}

std::vector<LoadBook::DeferredLoad> LoadBook::TakeDeferred(const CEntityId& queue) {
  const auto it = deferred_.find(queue);
  if (it == deferred_.end()) return {};
  std::vector<DeferredLoad> loads = std::move(it->second);
  deferred_.erase(it);
  return loads;
}

void LoadBook::Clear() {
  pending_.clear();
  requests_.clear();
}

void LoadBook::SyncWait::Finish(bool success) {
  W4Os::MutexLock lock(&mutex);
  finished = true;
  succeeded = success;
  done.SignalAll();
}

bool LoadBook::SyncWait::Wait() {
  W4Os::MutexLock lock(&mutex);
  while (!finished) done.Wait();
  return succeeded;
}

}  // namespace QueueManager
