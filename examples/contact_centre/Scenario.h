#pragma once

// The contact centre's life: interactions arrive on workgroup queues, agents
// are alerted and answer or let the alerting time out, hold, transfer and
// hang up, and a conference is set up for a while. Every change goes through
// the library, except what only the server does (an alerted party answering,
// an ended interaction being cleared).

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "Console.h"
#include "Floor.h"
#include "Monitors.h"
#include "QueueManager/Alerting.h"
#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace ContactCentre {

struct ScenarioCounts {
  std::map<std::string, std::uint32_t> arrivals;  // per medium
  std::uint32_t offers = 0;
  std::uint32_t answered = 0;
  std::uint32_t timedOut = 0;
  std::uint32_t holds = 0;
  std::uint32_t agentTransfers = 0;
  std::uint32_t workgroupTransfers = 0;
  std::uint32_t hangUps = 0;
  std::uint32_t cleared = 0;
  std::uint32_t conferenceParties = 0;
};

// "27 interactions (14 call, 8 chat, 5 e-mail); 21 offers: ...".
std::string Summarize(const ScenarioCounts& counts);

// Alerting outcomes, handed over from delivery threads to the scenario.
// Thread-safe; shared by the scenario and the outcome objects in flight.
class OutcomeInbox {
 public:
  using Outcome = std::pair<std::uint32_t, QueueManager::ePerformAlertingResponse>;
  void Push(std::uint32_t id, QueueManager::ePerformAlertingResponse code);
  std::vector<Outcome> TakeAll();
  // False when the deadline passed with the inbox still empty.
  bool WaitUntil(std::chrono::steady_clock::time_point deadline);

 private:
  // A leaf lock.
  W4Os::Mutex mutex_;
  W4Os::CondVar arrived_{&mutex_};
  std::vector<Outcome> outcomes_ QM_GUARDED_BY(mutex_);
};

// Drives the contact centre one tick at a time. Not thread-safe: one thread
// calls every function (the alerting outcomes reach it through its inbox).
// Does not own the server, the floor or the console, which outlive it; owns
// its monitors. Every decision comes from engines seeded by `seed`: the
// arrivals from one, each interaction's fate from its own (seeded with the
// seed and the interaction's id), so that a seed replays the same scenario
// even when a server time-out lands a tick earlier or later.
class Scenario {
 public:
  static constexpr std::chrono::milliseconds kTick{100};

  // `ticks` is the length of the run, which places the conference.
  Scenario(QueueManager::Emulator::IEmulatorControl& server, const Floor& floor, Console& console,
           std::uint32_t seed, int ticks);
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;

  void Step(int tick);
  // While held, no interaction is offered to an agent.
  void HoldOffers(bool hold) { holdOffers_ = hold; }
  std::uint32_t PendingAlertings() const { return pendingAlertings_; }
  // Takes over an interaction that reached the server without the scenario
  // (it waits on the workgroup `workgroup` of the floor).
  void Adopt(std::uint32_t id, W4Notifier::ObjectTypes type, std::size_t workgroup, int tick);
  // Ends the alertings still ringing (their interactions wait again) and
  // waits up to `patience` for every alerting's outcome; false when some
  // never came. Offers held meanwhile, none is pending afterwards.
  bool Settle(std::chrono::steady_clock::duration patience);
  // Stops offering, closes the conference and settles.
  bool Finish(std::chrono::steady_clock::duration patience);
  const ScenarioCounts& Counts() const { return counts_; }

 private:
  enum class ePhase { kWaiting, kRinging, kConnected, kHeld, kEnded };
  struct Interaction {
    std::uint32_t id = 0;
    W4Notifier::ObjectTypes type = W4Notifier::eObjectTypeNone;
    std::size_t workgroup = 0;
    int agent = -1;  // the agent alerted or handling it
    ePhase phase = ePhase::kWaiting;
    int due = 0;  // the tick of its next decision
    bool willAnswer = false;
    // An agent who will not answer may cut the ringing short: the alerting
    // then times out at once instead of after its full time.
    bool cutShort = false;
    std::mt19937 random;
  };

  void Arrive(int tick);
  void Track(std::uint32_t id, W4Notifier::ObjectTypes type, std::size_t workgroup, int tick,
             const std::string& from);
  void Advance(Interaction& call, int tick);
  void Offer(Interaction& call, int tick);
  void Answer(Interaction& call, int tick);
  void Decline(Interaction& call);
  void Decide(Interaction& call, int tick);
  void TransferToAgent(Interaction& call, int tick, int to);
  void TransferToWorkgroup(Interaction& call, int tick);
  void HangUp(Interaction& call, int tick);
  void Clear(Interaction& call);
  void ApplyOutcomes(int tick);
  void ApplyOutcome(std::uint32_t id, QueueManager::ePerformAlertingResponse code, int tick);
  void SetUpConference(int tick);
  void CloseConference();
  void FreeAgent(Interaction& call);
  void Relabel(const Interaction& call);
  std::vector<int> FreeAgents() const;
  const W4Notifier::CEntityId& AgentQueue(int agent) const;
  const W4Notifier::CEntityId& WorkgroupQueue(const Interaction& call) const;

  QueueManager::Emulator::IEmulatorControl& server_;
  const Floor& floor_;
  Console& console_;
  const std::uint32_t seed_;
  // The conference is set up between these ticks, once two calls are
  // connected, and lasts kConferenceTicks (or to the end of the run).
  const int conferenceFrom_;
  const int conferenceUntil_;
  int conferenceEnds_ = 0;
  std::mt19937 arrivals_;
  std::map<std::uint32_t, Interaction> interactions_;
  std::vector<std::uint32_t> agentBusyWith_;  // 0: free
  std::shared_ptr<OutcomeInbox> inbox_ = std::make_shared<OutcomeInbox>();
  std::uint32_t pendingAlertings_ = 0;
  bool holdOffers_ = false;
  int lastTick_ = 0;
  std::uint32_t conference_ = 0;
  bool conferenceDone_ = false;
  ScenarioCounts counts_;
  // Last: their callbacks print through the console until they are stopped.
  InteractionPrinter printer_{console_};
  std::unique_ptr<ConferencePrinter> conferencePrinter_;
};

}  // namespace ContactCentre
