#include "monitor/SubscriptionBook.h"

#include <algorithm>

#include "QueueManager/Platform/ObjectTypes.h"

namespace QueueManager {

using W4Notifier::CEntityId;

bool SubscriptionBook::Want(const CEntityId& queue, bool wanted) {
  State& state = states_[queue];
  state.wanted = wanted;
  if (state.reconciling || state.held == wanted) {
    EraseIfIdle(queue);
    return false;
  }
  state.reconciling = true;
  return true;
}

std::optional<bool> SubscriptionBook::NextStep(const CEntityId& queue) {
  const auto it = states_.find(queue);
  if (it == states_.end()) return std::nullopt;
  State& state = it->second;
  if (state.held == state.wanted) {
    state.reconciling = false;
    EraseIfIdle(queue);
    return std::nullopt;
  }
  return state.wanted;
}

void SubscriptionBook::Completed(
    const CEntityId& queue, bool target, bool held,
    const std::shared_ptr<W4Notifier::CNotifierConnection>& connection) {
  State& state = states_[queue];
  state.held = held;
  state.connection = held ? connection : nullptr;
  if (held != target) {
    state.reconciling = false;
    EraseIfIdle(queue);
  }
}

bool SubscriptionBook::IsHeld(const CEntityId& queue) const {
  const auto it = states_.find(queue);
  return it != states_.end() && it->second.held;
}

bool SubscriptionBook::IsReconciling(const CEntityId& queue) const {
  const auto it = states_.find(queue);
  return it != states_.end() && it->second.reconciling;
}

std::shared_ptr<W4Notifier::CNotifierConnection> SubscriptionBook::HeldOn(
    const CEntityId& queue) const {
  const auto it = states_.find(queue);
  return it != states_.end() && it->second.held ? it->second.connection.lock() : nullptr;
}

std::vector<std::shared_ptr<W4Notifier::CNotifierConnection>> SubscriptionBook::Connections()
    const {
  std::vector<std::shared_ptr<W4Notifier::CNotifierConnection>> connections;
  for (const auto& entry : states_) {
    auto connection = entry.second.connection.lock();
    if (connection &&
        std::find(connections.begin(), connections.end(), connection) == connections.end()) {
      connections.push_back(std::move(connection));
    }
  }
  return connections;
}

bool SubscriptionBook::HoldsSingleQueue() const {
  for (const auto& [queue, state] : states_) {
    if (state.held && queue.QueryObjectId() != W4Notifier::kAllObjects) return true;
  }
  return false;
}

void SubscriptionBook::EraseIfIdle(const CEntityId& queue) {
  const auto it = states_.find(queue);
  if (it == states_.end()) return;
  const State& state = it->second;
  if (!state.wanted && !state.held && !state.reconciling) states_.erase(it);
}

}  // namespace QueueManager
