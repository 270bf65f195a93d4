#include "Scenario.h"

#include <algorithm>
#include <array>
#include <string_view>

#include <fmt/format.h>

#include "QueueManager/AttributeRequests.h"
#include "QueueManager/InteractionLifeCycle.h"
#include "QueueManager/QueueObjects.h"

namespace ContactCentre {
namespace {

using QueueManager::CQmAttributeName;
using QueueManager::CQmAttributeValue;
using W4Notifier::CEntityId;

const CQmAttributeName kState(u"Xan_State");
// Long enough for an answering agent (at most 1.2 s), short enough to see
// alertings time out in a short run.
constexpr std::uint32_t kRingSeconds = 2;
constexpr int kArrivalPercent = 12;
constexpr int kAnswerPercent = 70;
constexpr int kConferenceTicks = 40;
constexpr std::array<std::string_view, 8> kCustomers{"M. Jensen", "K. Osei",  "L. Moreau",
                                                     "R. Tanaka", "S. Novak", "P. Silva",
                                                     "A. Haddad", "T. Byrne"};

bool Chance(std::mt19937& random, int percent) {
  return std::uniform_int_distribution<int>(0, 99)(random) < percent;
}

int Between(std::mt19937& random, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(random);
}

std::string AddressOf(std::string_view medium, std::string_view customer, int number) {
  if (medium == "call") return fmt::format("+44 20 7946 {:04}", number);
  if (medium == "e-mail") return fmt::format("{}@example.com", customer.substr(3));
  return "web chat";
}

}  // namespace

std::string Summarize(const ScenarioCounts& c) {
  std::uint32_t total = 0;
  std::string media;
  for (const auto& [medium, count] : c.arrivals) {
    total += count;
    media += fmt::format("{}{} {}", media.empty() ? "" : ", ", count, medium);
  }
  return fmt::format(
      "{} interactions ({}); {} offers: {} answered, {} timed out; {} holds; "
      "{} transfers to an agent, {} to a workgroup; {} hung up, {} cleared; "
      "conference of {} parties",
      total, media, c.offers, c.answered, c.timedOut, c.holds, c.agentTransfers,
      c.workgroupTransfers, c.hangUps, c.cleared, c.conferenceParties);
}

void OutcomeInbox::Push(std::uint32_t id, QueueManager::ePerformAlertingResponse code) {
  W4Os::MutexLock lock(&mutex_);
  outcomes_.emplace_back(id, code);
  arrived_.SignalAll();
}

std::vector<OutcomeInbox::Outcome> OutcomeInbox::TakeAll() {
  W4Os::MutexLock lock(&mutex_);
  return std::exchange(outcomes_, {});
}

bool OutcomeInbox::WaitUntil(std::chrono::steady_clock::time_point deadline) {
  W4Os::MutexLock lock(&mutex_);
  while (outcomes_.empty())
    if (!arrived_.WaitUntil(deadline)) return !outcomes_.empty();
  return true;
}

namespace {

// Hands one alerting's outcome to the scenario's inbox. Called once on a
// delivery thread; touches nothing but the inbox, which it shares.
class AlertingOutcome : public QueueManager::AsyncPerformAlertingResponse {
 public:
  AlertingOutcome(std::shared_ptr<OutcomeInbox> inbox, std::uint32_t id)
      : inbox_(std::move(inbox)), id_(id) {}
  void OnPerformAlertingResponse(QueueManager::ePerformAlertingResponse code) override {
    inbox_->Push(id_, code);
  }

 private:
  const std::shared_ptr<OutcomeInbox> inbox_;
  const std::uint32_t id_;
};

}  // namespace

Scenario::Scenario(QueueManager::Emulator::IEmulatorControl& server, const Floor& floor,
                   Console& console, std::uint32_t seed, int ticks)
    : server_(server),
      floor_(floor),
      console_(console),
      seed_(seed),
      conferenceFrom_(ticks / 4),
      conferenceUntil_(ticks * 2 / 3),
      arrivals_(seed),
      agentBusyWith_(floor.agents.size(), 0) {}

void Scenario::Step(int tick) {
  lastTick_ = tick;
  ApplyOutcomes(tick);
  if (Chance(arrivals_, kArrivalPercent)) Arrive(tick);
  std::vector<std::uint32_t> ids;
  for (const auto& entry : interactions_) ids.push_back(entry.first);
  for (const std::uint32_t id : ids) {
    const auto found = interactions_.find(id);
    if (found != interactions_.end()) Advance(found->second, tick);
  }
  if (conference_ == 0 && !conferenceDone_ && tick >= conferenceFrom_) SetUpConference(tick);
  if (conference_ != 0 && tick >= conferenceEnds_) CloseConference();
}

void Scenario::Arrive(int tick) {
  const Medium& medium = floor_.media[Between(arrivals_, 0, int(floor_.media.size()) - 1)];
  const auto workgroup = std::size_t(Between(arrivals_, 0, int(floor_.workgroups.size()) - 1));
  const std::string_view customer = kCustomers[Between(arrivals_, 0, kCustomers.size() - 1)];
  const std::string address = AddressOf(medium.name, customer, Between(arrivals_, 0, 9999));
  CEntityId entity;
  const bool created = QueueManager::InstantiateInteraction(
      entity, QueueManager::InteractionId(), medium.type, QueueManager::eXAN_STATE_OFFERING,
      QueueManager::eXAN_DIRECTION_INBOUND, floor_.workgroups[workgroup].name, "", "",
      QueueManager::eXAN_PARTY_INTERNAL, std::string(customer), address, "",
      QueueManager::eXAN_PARTY_EXTERNAL, {}, {floor_.workgroups[workgroup].entity}, false);
  if (!created) {
    console_.Note(fmt::format("a {} from {} was refused by the server", medium.name, customer));
    return;
  }
  Track(entity.QueryObjectId(), medium.type, workgroup, tick, std::string(customer));
}

void Scenario::Adopt(std::uint32_t id, W4Notifier::ObjectTypes type, std::size_t workgroup,
                     int tick) {
  Track(id, type, workgroup, tick, "a customer (arrived while the connection was down)");
}

void Scenario::Track(std::uint32_t id, W4Notifier::ObjectTypes type, std::size_t workgroup,
                     int tick, const std::string& from) {
  Interaction call;
  call.id = id;
  call.type = type;
  call.workgroup = workgroup;
  call.due = tick + 1;
  std::seed_seq seeds{seed_, id};
  call.random.seed(seeds);
  ++counts_.arrivals[floor_.MediumName(type)];
  Relabel(call);
  interactions_.emplace(id, std::move(call));
  console_.Event(id, fmt::format("arrives from {}", from));
  printer_.Activate(id, {kState}, false);
}

void Scenario::Advance(Interaction& call, int tick) {
  if (tick < call.due) return;
  switch (call.phase) {
    case ePhase::kWaiting:
      if (!holdOffers_) Offer(call, tick);
      break;
    case ePhase::kRinging:
      if (call.willAnswer) Answer(call, tick);
      if (call.cutShort) Decline(call);
      break;
    case ePhase::kConnected:
      Decide(call, tick);
      break;
    case ePhase::kHeld:
      QueueManager::SetAttribute(call.id, kState, CQmAttributeValue(u"C"));
      call.phase = ePhase::kConnected;
      call.due = tick + Between(call.random, 5, 25);
      console_.Event(call.id, "resumed");
      break;
    case ePhase::kEnded:
      Clear(call);  // erases `call`
      break;
  }
}

void Scenario::Offer(Interaction& call, int tick) {
  const std::vector<int> free = FreeAgents();
  if (free.empty()) {
    call.due = tick + 3;
    return;
  }
  const int agent = free[Between(call.random, 0, int(free.size()) - 1)];
  QueueManager::CQmAlertingParameters parameters;
  parameters.Type = QueueManager::CQmAlertingParameters::eUserAlert;
  parameters.CallingName = console_.LabelOf(call.id).queue;
  const CEntityId& agentQueue = AgentQueue(agent);
  call.phase = ePhase::kRinging;
  call.agent = agent;
  call.willAnswer = Chance(call.random, kAnswerPercent);
  call.cutShort = !call.willAnswer && Chance(call.random, 50);
  call.due = tick + Between(call.random, 3, 12);
  agentBusyWith_[agent] = call.id;
  ++pendingAlertings_;
  ++counts_.offers;
  Relabel(call);
  console_.Event(call.id, fmt::format("offered to {}, rings up to {} s", floor_.agents[agent].name,
                                      kRingSeconds));
  QueueManager::AsyncPerformAlerting(call.id, kRingSeconds, {WorkgroupQueue(call)}, {agentQueue},
                                     {{agentQueue, parameters}}, 0,
                                     W4Util::MakeObject<AlertingOutcome>(inbox_, call.id));
}

void Scenario::Answer(Interaction& call, int tick) {
  // The order may not have reached the server yet: try again next tick. When
  // the alerting ended meanwhile instead, its outcome ends the ringing.
  if (!server_.AnswerAlerting(call.id, AgentQueue(call.agent))) {
    call.due = tick + 1;
    return;
  }
  call.willAnswer = false;
  call.phase = ePhase::kConnected;
  call.due = tick + Between(call.random, 10, 40);
  ++counts_.answered;
  console_.Event(call.id, fmt::format("{} answers", floor_.agents[call.agent].name));
}

void Scenario::Decline(Interaction& call) {
  call.cutShort = false;
  if (QueueManager::AlertConnectionTimeout(call.id, 0))
    console_.Event(call.id, fmt::format("{} declines: time-out brought forward",
                                        floor_.agents[call.agent].name));
}

void Scenario::Decide(Interaction& call, int tick) {
  const int roll = Between(call.random, 0, 99);
  const std::vector<int> free = FreeAgents();
  if (roll < 20) {
    QueueManager::SetAttribute(call.id, kState, CQmAttributeValue(u"H"));
    call.phase = ePhase::kHeld;
    call.due = tick + Between(call.random, 5, 15);
    ++counts_.holds;
    console_.Event(call.id, "put on hold");
  } else if (roll < 32 && !free.empty()) {
    TransferToAgent(call, tick, free[Between(call.random, 0, int(free.size()) - 1)]);
  } else if (roll < 44) {
    TransferToWorkgroup(call, tick);
  } else {
    HangUp(call, tick);
  }
}

void Scenario::TransferToAgent(Interaction& call, int tick, int to) {
  const std::string from = floor_.agents[call.agent].name;
  const int moved =
      ::MoveQueueObject(CEntityId(call.type, call.id), AgentQueue(call.agent), AgentQueue(to));
  if (moved == 0) {
    console_.Event(call.id, fmt::format("{} could not transfer it", from));
    call.due = tick + 5;
    return;
  }
  FreeAgent(call);
  call.agent = to;
  agentBusyWith_[to] = call.id;
  call.due = tick + Between(call.random, 10, 30);
  ++counts_.agentTransfers;
  Relabel(call);
  console_.Event(call.id, fmt::format("transferred by {} to {}", from, floor_.agents[to].name));
}

void Scenario::TransferToWorkgroup(Interaction& call, int tick) {
  const std::size_t count = floor_.workgroups.size();
  const std::size_t to =
      (call.workgroup + 1 + std::size_t(Between(call.random, 0, int(count) - 2))) % count;
  QueueManager::CQmAttributeMap offering;
  offering.insert(kState, u"O");
  const bool moved =
      QueueManager::MoveAndSet(call.id, {WorkgroupQueue(call), AgentQueue(call.agent)}, offering,
                               {floor_.workgroups[to].entity}, false);
  const std::string from = floor_.agents[call.agent].name;
  if (!moved) {
    console_.Event(call.id, fmt::format("{} could not transfer it", from));
    call.due = tick + 5;
    return;
  }
  FreeAgent(call);
  call.workgroup = to;
  call.phase = ePhase::kWaiting;
  call.due = tick + 2;
  ++counts_.workgroupTransfers;
  Relabel(call);
  console_.Event(call.id, fmt::format("transferred by {} to {}", from, floor_.workgroups[to].name));
}

void Scenario::HangUp(Interaction& call, int tick) {
  QueueManager::SetAttribute(call.id, kState, CQmAttributeValue(u"E"));
  const std::string agent = floor_.agents[call.agent].name;
  FreeAgent(call);
  call.phase = ePhase::kEnded;
  call.due = tick + Between(call.random, 5, 15);
  ++counts_.hangUps;
  console_.Event(call.id, fmt::format("{} hangs up", agent));
}

void Scenario::Clear(Interaction& call) {
  const std::uint32_t id = call.id;
  server_.RemoveInteraction(id);
  ++counts_.cleared;
  console_.Event(id, "cleared by the server");
  interactions_.erase(id);
}

void Scenario::ApplyOutcomes(int tick) {
  for (const auto& [id, code] : inbox_->TakeAll()) ApplyOutcome(id, code, tick);
}

void Scenario::ApplyOutcome(std::uint32_t id, QueueManager::ePerformAlertingResponse code,
                            int tick) {
  --pendingAlertings_;
  const auto found = interactions_.find(id);
  if (code == QueueManager::eAlertingAnswered || found == interactions_.end()) return;
  Interaction& call = found->second;
  if (call.phase != ePhase::kRinging) return;
  const std::string agent = floor_.agents[call.agent].name;
  if (code == QueueManager::eAlertingTimeout) {
    ++counts_.timedOut;
    console_.Event(id, fmt::format("no answer from {}: back to {}", agent,
                                   floor_.workgroups[call.workgroup].name));
  } else {
    console_.Event(id, fmt::format("alerting of {} ended ({}): back to {}", agent, int(code),
                                   floor_.workgroups[call.workgroup].name));
  }
  FreeAgent(call);
  call.phase = ePhase::kWaiting;
  call.due = tick + 2;
  Relabel(call);
}

void Scenario::SetUpConference(int tick) {
  if (tick >= conferenceUntil_) {
    conferenceDone_ = true;
    return;
  }
  std::vector<std::uint32_t> connected;
  for (const auto& [id, call] : interactions_)
    if ((call.phase == ePhase::kConnected || call.phase == ePhase::kHeld) &&
        floor_.MediumName(call.type) == "call")
      connected.push_back(id);
  if (connected.size() < 2) return;
  std::shuffle(connected.begin(), connected.end(), arrivals_);
  connected.resize(std::min<std::size_t>(connected.size(), std::size_t(Between(arrivals_, 2, 3))));
  CEntityId entity;
  if (!QueueManager::InstantiateInteraction(
          entity, QueueManager::InteractionId(), W4Notifier::eConferenceInteraction,
          QueueManager::eXAN_STATE_CONNECTED, QueueManager::eXAN_DIRECTION_INBOUND, "conference",
          "", "", QueueManager::eXAN_PARTY_INTERNAL, "", "", "", QueueManager::eXAN_PARTY_INTERNAL,
          {}, {}, false)) {
    conferenceDone_ = true;
    return;
  }
  conference_ = entity.QueryObjectId();
  conferenceEnds_ = tick + kConferenceTicks;
  console_.SetLabel(conference_, {"conf", "", console_.LabelOf(connected.front()).agent});
  conferencePrinter_ = std::make_unique<ConferencePrinter>(console_);
  conferencePrinter_->Activate(conference_, {kState}, true);
  QueueManager::CQmAttributeMap members;
  std::string names;
  for (const std::uint32_t id : connected) {
    members[CQmAttributeName(u"Xan_ConferenceMembers")].insert(id);
    names += fmt::format(" #{}", id);
  }
  QueueManager::SetAttributes(conference_, members);
  counts_.conferenceParties = std::uint32_t(connected.size());
  console_.Event(conference_, "conference set up with" + names);
}

void Scenario::CloseConference() {
  QueueManager::SetAttribute(conference_, kState, CQmAttributeValue(u"E"));
  server_.RemoveInteraction(conference_);
  console_.Event(conference_, "conference closed");
  conference_ = 0;
  conferenceDone_ = true;
}

bool Scenario::Finish(std::chrono::steady_clock::duration patience) {
  holdOffers_ = true;
  if (conference_ != 0) CloseConference();
  conferenceDone_ = true;
  return Settle(patience);
}

bool Scenario::Settle(std::chrono::steady_clock::duration patience) {
  for (const auto& [id, call] : interactions_)
    if (call.phase == ePhase::kRinging) QueueManager::EndAlerting(id, 0);
  const auto deadline = std::chrono::steady_clock::now() + patience;
  ApplyOutcomes(lastTick_);
  while (pendingAlertings_ != 0 && inbox_->WaitUntil(deadline)) ApplyOutcomes(lastTick_);
  return pendingAlertings_ == 0;
}

void Scenario::FreeAgent(Interaction& call) {
  if (call.agent >= 0) agentBusyWith_[call.agent] = 0;
  call.agent = -1;
}

void Scenario::Relabel(const Interaction& call) {
  console_.SetLabel(call.id, {floor_.MediumName(call.type), floor_.workgroups[call.workgroup].name,
                              call.agent >= 0 ? floor_.agents[call.agent].name : ""});
}

std::vector<int> Scenario::FreeAgents() const {
  std::vector<int> free;
  for (std::size_t agent = 0; agent < agentBusyWith_.size(); ++agent)
    if (agentBusyWith_[agent] == 0) free.push_back(int(agent));
  return free;
}

const CEntityId& Scenario::AgentQueue(int agent) const { return floor_.agents[agent].entity; }

const CEntityId& Scenario::WorkgroupQueue(const Interaction& call) const {
  return floor_.workgroups[call.workgroup].entity;
}

}  // namespace ContactCentre
