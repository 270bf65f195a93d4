// The control functions: seeding, inspection and behaviour of the emulator.

#include <cmath>

#include "EmulatorImpl.h"

namespace QueueManager::Emulator {

using W4Notifier::CEntityId;

CEmulator::CEmulator(std::shared_ptr<W4Notifier::CInProcessBus> bus)
    : impl_(std::make_unique<Impl>(std::move(bus))) {}

CEmulator::~CEmulator() {
  // The control functions are this object's: no request may reach them while
  // it is being taken apart.
  impl_->ServeControl(nullptr);
}

bool CEmulator::CreateQueue(const CEntityId& queue) {
  return impl_->Mutate(
      [&](ServerState& state, Changes& changes) { return state.CreateQueue(queue, changes); });
}

std::uint32_t CEmulator::AddInteraction(W4Notifier::ObjectTypes type,
                                        const CQmAttributeMap& attributes,
                                        const std::vector<CEntityId>& queues) {
  return impl_->Mutate([&](ServerState& state, Changes& changes) {
    const std::uint32_t id = state.NextFreeId();
    state.AddInteraction(id, type, attributes, changes);
    for (const CEntityId& queue : queues) state.Join(id, queue, changes);
    return id;
  });
}

bool CEmulator::SetAttributes(std::uint32_t id, const CQmAttributeMap& attributes) {
  return impl_->Mutate([&](ServerState& state, Changes& changes) {
    return state.SetAttributes(id, attributes, changes);
  });
}

bool CEmulator::Move(std::uint32_t id, const std::vector<CEntityId>& from,
                     const std::vector<CEntityId>& to) {
  return impl_->Mutate([&](ServerState& state, Changes& changes) {
    if (state.FindInteraction(id) == nullptr) return false;
    for (const CEntityId& queue : from) state.Leave(id, queue, changes);
    for (const CEntityId& queue : to) state.Join(id, queue, changes);
    return true;
  });
}

bool CEmulator::RemoveInteraction(std::uint32_t id) {
  return impl_->Mutate([&](ServerState& state, Changes& changes) {
    if (state.FindInteraction(id) == nullptr) return false;
    state.RemoveInteraction(id, changes);
    return true;
  });
}

bool CEmulator::AnswerAlerting(std::uint32_t id, const CEntityId& party) {
  return impl_->Mutate([&](ServerState& state, Changes& changes) {
    return Emulator::AnswerAlerting(state, id, party, changes);
  });
}

std::optional<AlertingView> CEmulator::Alerting(std::uint32_t id) const {
  return impl_->Inspect([&](const ServerState& state) -> std::optional<AlertingView> {
    const auto it = state.Alertings().find(id);
    if (it == state.Alertings().end()) return std::nullopt;
    AlertingView view{{}, it->second.silent, it->second.finalValue};
    for (const AlertOrder& order : it->second.orders) view.parties.push_back(order.party);
    return view;
  });
}

std::vector<CEntityId> CEmulator::Queues(W4Notifier::ObjectTypes type) const {
  return impl_->Inspect([&](const ServerState& state) { return state.QueuesOfType(type); });
}

std::optional<std::vector<std::uint32_t>> CEmulator::QueueContents(const CEntityId& queue) const {
  return impl_->Inspect([&](const ServerState& state) {
    const ServerQueue* record = state.FindQueue(queue);
    return record == nullptr ? std::nullopt : std::optional(record->members);
  });
}

std::optional<QueueCounts> CEmulator::Counts(const CEntityId& queue) const {
  return impl_->Inspect([&](const ServerState& state) {
    return state.FindQueue(queue) == nullptr ? std::nullopt : std::optional(state.Counts(queue));
  });
}

std::optional<InteractionState> CEmulator::Interaction(std::uint32_t id) const {
  return impl_->Inspect([&](const ServerState& state) {
    const InteractionState* interaction = state.FindInteraction(id);
    return interaction == nullptr ? std::nullopt : std::optional(*interaction);
  });
}

std::vector<CQmAttributeName> CEmulator::DeactivationNames(std::uint16_t client) const {
  return impl_->Inspect([&](const ServerState& state) {
    const ClientRecord* record = state.FindClient(client);
    return record == nullptr ? std::vector<CQmAttributeName>() : record->deactivationNames;
  });
}

std::vector<CQmAttributeName> CEmulator::StatServerNames(std::uint16_t client) const {
  return impl_->Inspect([&](const ServerState& state) {
    const ClientRecord* record = state.FindClient(client);
    return record == nullptr ? std::vector<CQmAttributeName>() : record->statServerNames;
  });
}

std::vector<CQmAttributeName> CEmulator::WatchedNames(std::uint16_t client,
                                                      std::uint32_t id) const {
  return impl_->Inspect([&](const ServerState& state) { return state.WatchedNames(client, id); });
}

std::uint64_t CEmulator::MalformedRequests() const { return impl_->MalformedRequests(); }

std::string CEmulator::LastRejection() const { return impl_->LastRejection(); }

void CEmulator::UseTwoRecordStatistics(std::uint16_t client, bool twoRecords) {
  impl_->Mutate([&](ServerState& state, Changes&) {
    state.Client(client).twoRecordStatistics = twoRecords;
    return true;
  });
}

void CEmulator::SetClock(std::int64_t offsetSeconds, bool invalid) {
  impl_->Mutate([&](ServerState& state, Changes&) {
    ServerClock& clock = state.Clock();
    clock.offsetSeconds = offsetSeconds;
    clock.invalid = invalid;
    clock.drifted = 0;
    clock.driftSince = W4Os::SteadyNow();
    return true;
  });
  impl_->PublishClock();
}

void CEmulator::SetClockDrift(double secondsPerSecond) {
  impl_->Mutate([&](ServerState& state, Changes&) {
    ServerClock& clock = state.Clock();
    const Clock::time_point now = W4Os::SteadyNow();
    clock.drifted = clock.DriftAt(now);
    clock.driftSince = now;
    clock.driftPerSecond = std::isnan(secondsPerSecond) ? 0 : secondsPerSecond;
    return true;
  });
  impl_->PublishClock();
}

void CEmulator::InjectFault(W4Notifier::ObjectTypes targetType, int eventId, eFault fault,
                            std::uint32_t count) {
  impl_->InjectFault(RequestFaultPlan{targetType, eventId, fault, FaultSelection::Next(count)});
}

void CEmulator::InjectFault(const RequestFaultPlan& plan) { impl_->InjectFault(plan); }

void CEmulator::InjectNotificationFault(const NotificationFaultPlan& plan) {
  impl_->InjectNotificationFault(plan);
}

void CEmulator::ClearFaults() { impl_->ClearFaults(); }

void CEmulator::SetNextInteractionId(std::uint32_t id) {
  impl_->Mutate([&](ServerState& state, Changes&) {
    state.SetNextId(id);
    return true;
  });
}

void CEmulator::SetWireLog(WireLogSink sink) { impl_->SetWireLog(std::move(sink)); }

void CEmulator::ServeControlRequests(bool serve) { impl_->ServeControl(serve ? this : nullptr); }

void CEmulator::ForceRenegotiation(W4Notifier::CInProcessConnection& connection) {
  connection.Renegotiate();
}

}  // namespace QueueManager::Emulator
