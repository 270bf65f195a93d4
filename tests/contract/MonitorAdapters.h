#pragma once

// One adapter per monitor kind, so that the same contract cases run over all
// nine: each adapter names a monitor class whose every callback runs a hook
// the test gives it, and knows how to activate it on one of two entities,
// cause a callback there, stop it and query what it holds.
//
// The two entities of every kind are "slots" 0 and 1. Slot s watches one
// item (an interaction or object) with id kItem + s, whose Xan_State (the
// attribute monitor: Xan_UserName) carries a text the test chooses, so that
// each callback tells which delivery caused it.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "QueueManager/AttributeMonitor.h"
#include "QueueManager/CachingObjectTypeMonitor.h"
#include "QueueManager/InteractionMonitor.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/ScriptedServer.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Text.h"
#include "QueueManager/QueueMonitor.h"
#include "QueueManager/TsServerMonitor.h"
#include "interaction/InteractionTestSupport.h"
#include "lightweight/LightweightTestSupport.h"
#include "lightweight/MonitorEventBody.h"
#include "lightweight/ObjectTypeMonitorBase.h"
#include "monitor/CacheTestSupport.h"
#include "monitor/MediaTypeEntity.h"
#include "monitor/QmCache.h"
#include "requests/RequestFields.h"

namespace QueueManager::contract {

using testing::ServerEntity;
using W4Notifier::CEntityId;
using W4Notifier::CMessage;

inline constexpr std::uint32_t kItem = 101;
inline constexpr int kActivationEvent = 0;

// One callback as a test sees it: the item it is about (0 for a callback
// about no item, such as statistics) and the item's tag text.
struct Delivery {
  std::uint32_t item = 0;
  std::string tag;
  std::thread::id thread = std::this_thread::get_id();
};
using Hook = std::function<void(const Delivery&)>;

inline int SlotOf(const Delivery& delivery) {
  return delivery.item == kItem ? 0 : delivery.item == kItem + 1 ? 1 : -1;
}

inline std::uint32_t ItemOf(int slot) { return kItem + static_cast<std::uint32_t>(slot); }

inline std::string TagOf(const CQmAttributeValue& value) {
  return W4Os::WideToNarrowLossy(value.QueryString());
}
inline std::string TagOf(const CQmAttributeMap& attributes,
                         const CQmAttributeName& name = CQmAttributeName(Xan_State)) {
  return TagOf(attributes.Query(name));
}

inline CQmAttributeMap Tagged(const std::string& tag,
                              const CQmAttributeName& name = CQmAttributeName(Xan_State)) {
  CQmAttributeMap map;
  map.insert(name, tag);
  return map;
}

// Runs a copy of the hook: the monitor that holds it may go while it runs,
// should a stop return too early.
inline void Call(const Hook& hook, std::uint32_t item, std::string tag = {}) {
  const Hook copy = hook;
  copy(Delivery{item, std::move(tag)});
}

inline CEntityId QueueOf(int slot) {
  return testing::UserQueue(1 + static_cast<std::uint32_t>(slot));
}
inline W4Notifier::ObjectTypes TypeOf(int slot) {
  return slot == 0 ? W4Notifier::eGenericObject : W4Notifier::eGenericObject2;
}
inline CEntityId MatchEntityOf(int slot) {
  return CEntityId(W4Notifier::eAttributeMatch, slot == 0 ? u"Xan_State=A" : u"Xan_State=B");
}

// Answers carry a server time older than the notifications the test
// publishes after scripting them: the answer was built first.
inline CMessage AgedAnswer() {
  CMessage message;
  testing::WriteServerTime(message, LocalUtcSeconds() - 5);
  return message;
}

// A queue's answer: the item with `tag`, registering Xan_State.
inline CMessage AgedQueueAnswer(const CEntityId& queue, int slot, const std::string& tag) {
  CMessage message = AgedAnswer();
  testing::WriteSection(message, queue, {Xan_State},
                        {.events = {testing::Added(ItemOf(slot), Tagged(tag))}});
  return message;
}

// A lightweight activation's answer: the item with `attributes`.
inline CMessage AgedLightAnswer(const CEntityId& entity, int slot, CQmAttributeMap attributes) {
  CMessage message = AgedAnswer();
  requests::WriteEntity(message, entity);
  requests::WriteNameList(message, {});
  lightweight::WriteMonitorEventBody(
      message, {{testing::EventAdded(ItemOf(slot), std::move(attributes))}, 0});
  return message;
}

// The server side: answers to activations and monitoring requests from
// tables, with one request held back on demand. Installed as the bus's
// request handler in front of the scripted server, which answers everything
// it does not hold and records the traffic. Thread-safe; lock order: mutex_
// alone, never held while the scripted server runs.
class ContractServer : public W4Notifier::IRequestHandler {
 public:
  ContractServer(W4Notifier::CScriptedServer& server,
                 std::shared_ptr<W4Notifier::CInProcessBus> bus)
      : server_(server), bus_(std::move(bus)) {
    server_.Handle(ServerEntity(), kActivationEvent, [this](const CMessage& request) {
      const CEntityId entity = testing::ReadLoadRequest(request).queue;
      W4Os::MutexLock lock(&mutex_);
      const auto it = activations_.find({entity.QueryObjectType(), entity.QueryObjectId()});
      if (it == activations_.end()) return W4Notifier::CScriptedReply::Reject();
      return W4Notifier::CScriptedReply::Respond(it->second);
    });
    server_.HandleType(
        W4Notifier::eInteractionRequest, testing::kMonitorRequestEvent,
        [this](const CMessage& request) {
          std::int32_t count = 0;
          request >> count;
          std::vector<testing::Record> records;
          W4Os::MutexLock lock(&mutex_);
          for (std::uint32_t id = 0; count-- > 0;) {
            request >> id;
            const auto it = interactions_.find(id);
            if (it == interactions_.end()) continue;
            records.push_back({id, it->second.first, false, false, it->second.second});
          }
          return W4Notifier::CScriptedReply::Respond(testing::Records(records));
        });
    bus_->SetRequestHandler(this);
  }
  ~ContractServer() override {
    Release();
    bus_->SetRequestHandler(&server_);
  }
  ContractServer(const ContractServer&) = delete;
  ContractServer& operator=(const ContractServer&) = delete;

  // The answer to activations (event 0 to the server) that name `entity`.
  void Serve(const CEntityId& entity, CMessage answer) {
    W4Os::MutexLock lock(&mutex_);
    activations_[{entity.QueryObjectType(), entity.QueryObjectId()}] = std::move(answer);
  }
  // The record that answers attribute monitoring requests for `id`.
  void AnswerInteraction(std::uint32_t id, CQmAttributeMap attributes,
                         W4Notifier::ObjectTypes type = W4Notifier::eGenericObject) {
    W4Os::MutexLock lock(&mutex_);
    interactions_[id] = {std::move(attributes), type};
  }

  // Holds the next request sent to (target, event) until Release().
  void HoldNext(const CEntityId& target, int event) {
    W4Os::MutexLock lock(&mutex_);
    holdFor_.emplace(target, event);
  }
  // Waits (bounded) until the request asked for by HoldNext has arrived.
  bool AwaitHeld() {
    W4Os::MutexLock lock(&mutex_);
    const auto deadline = W4Os::SteadyNow() + std::chrono::seconds(20);
    while (!held_ && heldChanged_.WaitUntil(deadline)) {
    }
    return held_.has_value();
  }
  // Lets the scripted server answer the held request now, as its tables
  // stand. Nothing when none is held.
  void Release() {
    std::optional<W4Notifier::CInboundRequest> request;
    {
      W4Os::MutexLock lock(&mutex_);
      holdFor_.reset();
      request.swap(held_);
    }
    if (request) server_.OnRequest(std::move(*request));
  }

  // Publishes without waiting for the delivery.
  void Publish(const CEntityId& entity, int event, const CMessage& body) {
    server_.Publish(entity, event, body);
  }
  // Waits until everything queued on the bus has run.
  // REQUIRES: no callback is held up by the test.
  void Settle() { bus_->WaitIdle(); }

  void OnRequest(W4Notifier::CInboundRequest request) override {
    {
      W4Os::MutexLock lock(&mutex_);
      const CMessage& message = request.Message();
      if (holdFor_ && !held_ && message.QueryObjectType() == holdFor_->first.QueryObjectType() &&
          message.QueryObjectId() == holdFor_->first.QueryObjectId() &&
          message.QueryEventId() == holdFor_->second) {
        holdFor_.reset();
        held_.emplace(std::move(request));
        heldChanged_.SignalAll();
        return;
      }
    }
    server_.OnRequest(std::move(request));
  }

 private:
  W4Notifier::CScriptedServer& server_;
  const std::shared_ptr<W4Notifier::CInProcessBus> bus_;
  W4Os::Mutex mutex_;
  std::map<std::pair<int, std::uint32_t>, CMessage> activations_;
  std::map<std::uint32_t, std::pair<CQmAttributeMap, W4Notifier::ObjectTypes>> interactions_;
  W4Os::CondVar heldChanged_{&mutex_};
  std::optional<std::pair<CEntityId, int>> holdFor_;
  std::optional<W4Notifier::CInboundRequest> held_;
};

// Every adapter offers:
//   using Monitor;                       constructed from a Hook; its
//                                        destructor stops it first
//   static constexpr std::string_view kName;
//   static void Script(ContractServer&, int slot, const std::string& tag);
//                                        the activation's answer: the item
//                                        with `tag`, stamped a while ago
//   static void Activate(Monitor&, int slot, bool synchronous);
//   static void Trigger(ContractServer&, int slot, const std::string& tag);
//                                        a notification: the item has `tag`
//   static void Stop(Monitor&);
//   static void HoldActivation(ContractServer&, int slot);
//                                        holds the next activation's answer
//   static constexpr std::string_view kAnswerTrace;
//                                        traced (level 81) by the thread that
//                                        starts applying an activation's
//                                        answer, naming no other item
// and, where the kind differs from KindDefaults, what they declare. Activate
// and Stop are templates where a derived kind's monitor takes the same calls.
struct KindDefaults {
  // May be activated again once stopped.
  static constexpr bool kReactivates = true;
  // May be activated by its callback while a stop on another thread waits
  // for that callback.
  static constexpr bool kActivatesDuringAStop = true;
  // Activate(..., false) returns before the answer.
  static constexpr bool kAsyncActivation = true;
  // The activation's answer makes a callback with the item's tag.
  static constexpr bool kInitialCallback = true;
  // A synchronous call, CallbackHere, makes a callback on the calling thread
  // even while a callback of another monitor holds the delivery thread.
  static constexpr bool kCallsBackOnCaller = false;
  // Every callback of every monitor of the kind is made on one thread.
  static constexpr bool kOneCallbackThread = false;
  template <class M>
  static void CallbackHere(M&) {}
  // What the monitor (or the cache behind it) holds for the slot's item.
  template <class M>
  static std::optional<std::string> View(const M&, int) {
    return std::nullopt;
  }
  // The activation's answer comes from the server entity's event 0.
  static void HoldActivation(ContractServer& server, int) {
    server.HoldNext(ServerEntity(), kActivationEvent);
  }
};

// The callbacks of both queue monitor classes, which run the hook.
template <class Base>
class QueueHooks : public Base {
 public:
  explicit QueueHooks(Hook hook) : hook_(std::move(hook)) {}

 protected:
  void AttributesUpdated(const CEntityId&, InteractionId id,
                         const CQmAttributeMap& attributes) override {
    Call(hook_, id.QueryObjectId(), TagOf(attributes));
  }
  void InteractionAdded(const CEntityId&, InteractionId id,
                        const CQmAttributeMap& attributes) override {
    Call(hook_, id.QueryObjectId(), TagOf(attributes));
  }
  void InteractionRemoved(const CEntityId&, InteractionId id) override {
    Call(hook_, id.QueryObjectId());
  }
  void StatisticsUpdate(const CEntityId&, const CQmQueueStats&) override { Call(hook_, 0); }
  void QueueRemoved(const CEntityId&) override { Call(hook_, 0); }

 private:
  const Hook hook_;
};

inline CMessage QueueUpdate(int slot, const std::string& tag) {
  return testing::Notification({.events = {testing::Updated(ItemOf(slot), Tagged(tag))}});
}

// Every queue and media type monitor's callbacks go through the cache's one
// delivery thread (a synchronous load's too), so two of them never run at
// once.
struct QueueKind : KindDefaults {
  static constexpr bool kOneCallbackThread = true;
  class Monitor : public QueueHooks<CQmQueueMonitor> {
   public:
    using QueueHooks::QueueHooks;
    ~Monitor() override { Deactivate(); }
  };
  static constexpr std::string_view kName = "CQmQueueMonitor";
  static constexpr std::string_view kAnswerTrace = "Monitor Queue Response received";
  static void Script(ContractServer& server, int slot, const std::string& tag) {
    server.Serve(QueueOf(slot), AgedQueueAnswer(QueueOf(slot), slot, tag));
  }
  template <class M>
  static void Activate(M& monitor, int slot, bool synchronous) {
    monitor.Activate(QueueOf(slot), {Xan_State}, synchronous);
  }
  static void Trigger(ContractServer& server, int slot, const std::string& tag) {
    server.Publish(QueueOf(slot), testing::kMonitorQueueEvent, QueueUpdate(slot, tag));
  }
  template <class M>
  static void Stop(M& monitor) {
    monitor.Deactivate();
  }
  // The cache's value of the slot's item.
  template <class M>
  static std::optional<std::string> View(const M&, int slot) {
    CQmAttributeValue value;
    if (!CQmCache::Instance().QueryAttribute(ItemOf(slot), CQmAttributeName(Xan_State), value)) {
      return std::string();
    }
    return TagOf(value);
  }
};

struct MultiQueueKind : QueueKind {
  class Monitor : public QueueHooks<CQmMultiQueueMonitor> {
   public:
    using QueueHooks::QueueHooks;
    ~Monitor() override { MultiQueueKind::Stop(*this); }
  };
  static constexpr std::string_view kName = "CQmMultiQueueMonitor";
  // Both queues: a stop of the monitor, whichever it watches.
  static void Stop(Monitor& monitor) {
    for (const int slot : {0, 1}) monitor.Deactivate(QueueOf(slot));
  }
};

struct MediaTypeKind : QueueKind {
  class Monitor : public CQmMediaTypeMonitor {
   public:
    explicit Monitor(Hook hook) : hook_(std::move(hook)) {}
    ~Monitor() override { Deactivate(); }

   protected:
    void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) override {
      Call(hook_, id.QueryObjectId(), TagOf(attributes));
    }
    void InteractionDeallocated(InteractionId id) override { Call(hook_, id.QueryObjectId()); }

   private:
    const Hook hook_;
  };
  static constexpr std::string_view kName = "CQmMediaTypeMonitor";
  static void Script(ContractServer& server, int slot, const std::string& tag) {
    const CEntityId entity = MediaTypeEntity(TypeOf(slot));
    server.Serve(entity, AgedQueueAnswer(entity, slot, tag));
  }
  template <class M>
  static void Activate(M& monitor, int slot, bool synchronous) {
    monitor.Activate(TypeOf(slot), {Xan_State}, synchronous);
  }
  static void Trigger(ContractServer& server, int slot, const std::string& tag) {
    server.Publish(MediaTypeEntity(TypeOf(slot)), testing::kMonitorQueueEvent,
                   QueueUpdate(slot, tag));
  }
};

// Reports every interaction of its media type; activated once, loading
// synchronously without callbacks; its callbacks run on its own worker.
struct TsServerKind : MediaTypeKind {
  static constexpr bool kOneCallbackThread = false;
  class Monitor : public CQmTsServerMonitor {
   public:
    explicit Monitor(Hook hook) : CQmTsServerMonitor(true), hook_(std::move(hook)) {}
    ~Monitor() override { Deactivate(); }

   protected:
    void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) override {
      Call(hook_, id.QueryObjectId(), TagOf(attributes));
    }

   private:
    const Hook hook_;
  };
  static constexpr std::string_view kName = "CQmTsServerMonitor";
  static constexpr bool kReactivates = false;
  static constexpr bool kAsyncActivation = false;
  static constexpr bool kInitialCallback = false;
  static void Activate(Monitor& monitor, int slot, bool) {
    monitor.Activate(TypeOf(slot), {Xan_State});
  }
};

// Stopped per interaction with Deactivate(id); destroyed after
// StopMonitoring().
struct InteractionKind : KindDefaults {
  class Monitor : public CQmInteractionMonitor {
   public:
    explicit Monitor(Hook hook) : hook_(std::move(hook)) {}
    ~Monitor() override { StopMonitoring(); }
    using CQmInteractionMonitor::StopMonitoring;
    std::atomic<int> slot{0};

   protected:
    void AttributesUpdated(const CEntityId& interaction,
                           const CQmAttributeMap& attributes) override {
      Call(hook_, interaction.QueryObjectId(), TagOf(attributes));
    }
    void InteractionDeallocated(const CEntityId& interaction) override {
      Call(hook_, interaction.QueryObjectId());
    }

   private:
    const Hook hook_;
  };
  static constexpr std::string_view kName = "CQmInteractionMonitor";
  static constexpr std::string_view kAnswerTrace = "Response received";
  static constexpr bool kCallsBackOnCaller = true;
  static void Script(ContractServer& server, int slot, const std::string& tag) {
    server.AnswerInteraction(ItemOf(slot), Tagged(tag));
  }
  static void Activate(Monitor& monitor, int slot, bool synchronous) {
    monitor.slot = slot;
    monitor.Activate(ItemOf(slot), {Xan_State}, synchronous);
  }
  static void Trigger(ContractServer& server, int slot, const std::string& tag) {
    server.Publish(testing::InteractionEntity(ItemOf(slot)), testing::kAttributeNotificationEvent,
                   testing::Records({{ItemOf(slot), Tagged(tag)}}));
  }
  static void Stop(Monitor& monitor) { monitor.Deactivate(ItemOf(monitor.slot)); }
  // Ends every activation: what the destructor does.
  static void StopForGood(Monitor& monitor) { monitor.StopMonitoring(); }
  static void HoldActivation(ContractServer& server, int slot) {
    server.HoldNext(testing::InteractionEntity(ItemOf(slot)), testing::kMonitorRequestEvent);
  }
  // What the monitor holds for the item of `slot`.
  template <class M>
  static std::optional<std::string> View(const M& monitor, int slot) {
    return TagOf(monitor.QueryAttribute(ItemOf(slot), CQmAttributeName(Xan_State)));
  }
  template <class M>
  static void CallbackHere(M& monitor) {
    monitor.RequestAttributeUpdateCallback(CQmAttributeName(Xan_State));
  }
};

// Slot s is conference kConference + 10 s with the one party kItem + s, whose
// changes are the callbacks; its answer is the one held. Stopped with
// StopMonitoring(): Deactivate() leaves the parties watched. Activated once.
struct ConferenceKind : InteractionKind {
  static constexpr std::uint32_t kConference = 500;
  class Monitor : public CQmConferenceMonitor {
   public:
    explicit Monitor(Hook hook) : hook_(std::move(hook)) {}
    ~Monitor() override { StopMonitoring(); }
    using CQmConferenceMonitor::StopMonitoring;

   protected:
    void AttributesUpdated(InteractionId, const CEntityId& party,
                           const CQmAttributeMap& attributes) override {
      Call(hook_, party.QueryObjectId(), TagOf(attributes));
    }
    void ConferencePartyAdded(InteractionId, const CEntityId& party,
                              const CQmAttributeMap& attributes) override {
      Call(hook_, party.QueryObjectId(), TagOf(attributes));
    }
    void ConferencePartyRemoved(InteractionId, const CEntityId& party) override {
      Call(hook_, party.QueryObjectId());
    }
    void ConferenceDeallocated(InteractionId) override { Call(hook_, 0); }

   private:
    const Hook hook_;
  };
  static constexpr std::string_view kName = "CQmConferenceMonitor";
  static constexpr bool kReactivates = false;
  static std::uint32_t ConferenceOf(int slot) {
    return kConference + 10 * static_cast<std::uint32_t>(slot);
  }
  static void Script(ContractServer& server, int slot, const std::string& tag) {
    CQmAttributeMap conference;
    conference.insert(CQmAttributeName(Xan_ConferenceMembers),
                      CQmAttributeValue(std::vector<InteractionId>{ItemOf(slot)}));
    server.AnswerInteraction(ConferenceOf(slot), conference, W4Notifier::eConferenceInteraction);
    server.AnswerInteraction(ItemOf(slot), Tagged(tag));
  }
  static void Activate(Monitor& monitor, int slot, bool synchronous) {
    monitor.Activate(ConferenceOf(slot), {Xan_State}, synchronous);
  }
  static void Stop(Monitor& monitor) { monitor.StopMonitoring(); }
};

// The application's side of a lightweight monitor: a counted interface that
// runs the hook, the tag read from `tagName`.
class LightCallback : public IQmObjectTypeMonitorInterface, public IAttributeMonitor {
 public:
  LightCallback(Hook hook, CQmAttributeName tagName)
      : hook_(std::move(hook)), tagName_(std::move(tagName)) {}
  void ObjectAdded(const CEntityId& o, const CQmAttributeMap& a) override { Run(o, &a); }
  void ObjectRemoved(const CEntityId& o) override { Run(o, nullptr); }
  void ObjectUpdated(const CEntityId& o, const CQmAttributeMap& a) override { Run(o, &a); }
  void ObjectAdded(const CEntityId& o, const CQmAttributeName&, const CQmAttributeValue&,
                   const CQmAttributeMap& a) override {
    Run(o, &a);
  }
  void ObjectRemoved(const CEntityId& o, const CQmAttributeName&,
                     const CQmAttributeValue&) override {
    Run(o, nullptr);
  }
  void ObjectUpdated(const CEntityId& o, const CQmAttributeName&, const CQmAttributeValue&,
                     const CQmAttributeMap& a) override {
    Run(o, &a);
  }

 private:
  void Run(const CEntityId& object, const CQmAttributeMap* attributes) const {
    Call(hook_, object.QueryObjectId(), attributes != nullptr ? TagOf(*attributes, tagName_) : "");
  }
  const Hook hook_;
  const CQmAttributeName tagName_;
};

// A lightweight handle with the interface it reports to.
template <class Handle>
class LightMonitor {
 public:
  explicit LightMonitor(Hook hook, CQmAttributeName tagName = CQmAttributeName(Xan_State))
      : callback_(w4core::MakeInterface<LightCallback>(std::move(hook), std::move(tagName))) {}
  ~LightMonitor() { handle.deactivate(); }
  LightMonitor(const LightMonitor&) = delete;
  LightMonitor& operator=(const LightMonitor&) = delete;

  const w4core::InterfacePtr<LightCallback>& Callback() const { return callback_; }
  Handle handle;

 private:
  const w4core::InterfacePtr<LightCallback> callback_;
};

// A lightweight notification: the slot's item has `attributes`.
inline void PublishLight(ContractServer& server, const CEntityId& entity, int slot,
                         CQmAttributeMap attributes) {
  server.Publish(
      entity, kActivationEvent,
      testing::EventNotification({testing::EventUpdated(ItemOf(slot), std::move(attributes))}));
}

// The lightweight monitors load asynchronously only, and drop the
// notifications that come before their activation's answer.
struct ObjectTypeKind : KindDefaults {
  using Monitor = LightMonitor<CQmObjectTypeMonitor>;
  static constexpr std::string_view kName = "CQmObjectTypeMonitor";
  static constexpr std::string_view kAnswerTrace = "Response received";
  static void Script(ContractServer& server, int slot, const std::string& tag) {
    const CEntityId entity = ObjectTypeEntity(TypeOf(slot));
    server.Serve(entity, AgedLightAnswer(entity, slot, Tagged(tag)));
  }
  template <class M>
  static void Activate(M& monitor, int slot, bool) {
    monitor.handle.activate(TypeOf(slot), monitor.Callback(), {Xan_State}, false);
  }
  static void Trigger(ContractServer& server, int slot, const std::string& tag) {
    PublishLight(server, ObjectTypeEntity(TypeOf(slot)), slot, Tagged(tag));
  }
  template <class M>
  static void Stop(M& monitor) {
    monitor.handle.deactivate();
  }
};

struct CachingObjectTypeKind : ObjectTypeKind {
  using Monitor = LightMonitor<CQmCachingObjectTypeMonitor>;
  static constexpr std::string_view kName = "CQmCachingObjectTypeMonitor";
  template <class M>
  static std::optional<std::string> View(const M& monitor, int slot) {
    CQmAttributeValue value;
    if (!monitor.handle.query_attribute(ItemOf(slot), CQmAttributeName(Xan_State), value)) {
      return std::string();
    }
    return TagOf(value);
  }
};

// Slot s watches Xan_State = "A" + s; the tag travels in Xan_UserName.
struct AttributeKind : ObjectTypeKind {
  class Monitor : public LightMonitor<AttributeMonitor> {
   public:
    explicit Monitor(Hook hook)
        : LightMonitor<AttributeMonitor>(std::move(hook), CQmAttributeName(Xan_UserName)) {}
  };
  static constexpr std::string_view kName = "AttributeMonitor";
  static void Script(ContractServer& server, int slot, const std::string& tag) {
    server.Serve(MatchEntityOf(slot), AgedLightAnswer(MatchEntityOf(slot), slot,
                                                      Tagged(tag, CQmAttributeName(Xan_UserName))));
  }
  static void Activate(Monitor& monitor, int slot, bool) {
    monitor.handle.activate(CQmAttributeName(Xan_State), CQmAttributeValue(slot == 0 ? u"A" : u"B"),
                            monitor.Callback(), {}, false);
  }
  static void Trigger(ContractServer& server, int slot, const std::string& tag) {
    PublishLight(server, MatchEntityOf(slot), slot, Tagged(tag, CQmAttributeName(Xan_UserName)));
  }
};

}  // namespace QueueManager::contract
