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
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "QueueManager/AttributeMonitor.h"
#include "QueueManager/CachingObjectTypeMonitor.h"
#include "QueueManager/InteractionMonitor.h"
#include "QueueManager/MediaTypeMonitor.h"
#include "QueueManager/ObjectTypeMonitor.h"
#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/ScriptedServer.h"
#include "QueueManager/QueueMonitor.h"
#include "QueueManager/TsServerMonitor.h"

namespace QueueManager::contract {

using W4Notifier::CEntityId;
using W4Notifier::CMessage;

inline constexpr std::uint32_t kItem = 101;

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

// The server side: answers to activations and monitoring requests from
// tables, with one request held back on demand. Installed as the bus's
// request handler in front of the scripted server, which answers everything
// it does not hold and records the traffic.
class ContractServer : public W4Notifier::IRequestHandler {
 public:
  ContractServer(W4Notifier::CScriptedServer& server,
                 std::shared_ptr<W4Notifier::CInProcessBus> bus);
  ~ContractServer() override;
  ContractServer(const ContractServer&) = delete;
  ContractServer& operator=(const ContractServer&) = delete;

  // The answer to activations (event 0 to the server) that name `entity`.
  void Serve(const CEntityId& entity, CMessage answer);
  // The record that answers attribute monitoring requests for `id`.
  void AnswerInteraction(std::uint32_t id, CQmAttributeMap attributes,
                         W4Notifier::ObjectTypes type = W4Notifier::eGenericObject);

  // Holds the next request sent to (target, event) until Release().
  void HoldNext(const CEntityId& target, int event);
  // Waits (bounded) until the request asked for by HoldNext has arrived.
  bool AwaitHeld();
  // Lets the scripted server answer the held request now, as its tables
  // stand. Nothing when none is held.
  void Release();

  // Publishes without waiting for the delivery.
  void Publish(const CEntityId& entity, int event, const CMessage& body);
  // Waits until everything queued on the bus has run.
  // REQUIRES: no callback is held up by the test.
  void Settle();

  void OnRequest(W4Notifier::CInboundRequest request) override;

 private:
  W4Notifier::CScriptedServer& server_;
  const std::shared_ptr<W4Notifier::CInProcessBus> bus_;
  std::mutex mutex_;
  std::map<std::pair<int, std::uint32_t>, CMessage> activations_;
  std::map<std::uint32_t, std::pair<CQmAttributeMap, W4Notifier::ObjectTypes>> interactions_;
  std::condition_variable heldChanged_;
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
// and, where the kind differs from KindDefaults, what they declare.
struct KindDefaults {
  // May be activated again once stopped.
  static constexpr bool kReactivates = true;
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
};

// The callbacks of both queue monitor classes, which run the hook.
template <class Base>
class QueueHooks : public Base {
 public:
  explicit QueueHooks(Hook hook) : hook_(std::move(hook)) {}

 protected:
  void AttributesUpdated(const CEntityId& queue, InteractionId id,
                         const CQmAttributeMap& attributes) override;
  void InteractionAdded(const CEntityId& queue, InteractionId id,
                        const CQmAttributeMap& attributes) override;
  void InteractionRemoved(const CEntityId& queue, InteractionId id) override;
  void StatisticsUpdate(const CEntityId& queue, const CQmQueueStats& stats) override;
  void QueueRemoved(const CEntityId& queue) override;

 private:
  const Hook hook_;
};

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
  static void Script(ContractServer& server, int slot, const std::string& tag);
  static void Activate(Monitor& monitor, int slot, bool synchronous);
  static void Trigger(ContractServer& server, int slot, const std::string& tag);
  static void Stop(Monitor& monitor) { monitor.Deactivate(); }
  static void HoldActivation(ContractServer& server, int slot);
  template <class M>
  static std::optional<std::string> View(const M&, int slot) {
    return CachedTag(slot);
  }
  // The cache's value of the slot's item.
  static std::string CachedTag(int slot);
};

struct MultiQueueKind : QueueKind {
  class Monitor : public QueueHooks<CQmMultiQueueMonitor> {
   public:
    using QueueHooks::QueueHooks;
    ~Monitor() override { MultiQueueKind::Stop(*this); }
  };
  static constexpr std::string_view kName = "CQmMultiQueueMonitor";
  static void Activate(Monitor& monitor, int slot, bool synchronous);
  // Both queues: a stop of the monitor, whichever it watches.
  static void Stop(Monitor& monitor);
};

struct MediaTypeKind : QueueKind {
  class Monitor : public CQmMediaTypeMonitor {
   public:
    explicit Monitor(Hook hook) : hook_(std::move(hook)) {}
    ~Monitor() override { Deactivate(); }

   protected:
    void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) override;
    void InteractionDeallocated(InteractionId id) override;

   private:
    const Hook hook_;
  };
  static constexpr std::string_view kName = "CQmMediaTypeMonitor";
  static void Script(ContractServer& server, int slot, const std::string& tag);
  static void Activate(Monitor& monitor, int slot, bool synchronous);
  static void Trigger(ContractServer& server, int slot, const std::string& tag);
  static void Stop(Monitor& monitor) { monitor.Deactivate(); }
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
    void AttributesUpdated(InteractionId id, const CQmAttributeMap& attributes) override;

   private:
    const Hook hook_;
  };
  static constexpr std::string_view kName = "CQmTsServerMonitor";
  static constexpr bool kReactivates = false;
  static constexpr bool kAsyncActivation = false;
  static constexpr bool kInitialCallback = false;
  static void Activate(Monitor& monitor, int slot, bool synchronous);
  static void Stop(Monitor& monitor) { monitor.Deactivate(); }
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
                           const CQmAttributeMap& attributes) override;
    void InteractionDeallocated(const CEntityId& interaction) override;

   private:
    const Hook hook_;
  };
  static constexpr std::string_view kName = "CQmInteractionMonitor";
  static constexpr std::string_view kAnswerTrace = "Response received";
  static constexpr bool kCallsBackOnCaller = true;
  static void Script(ContractServer& server, int slot, const std::string& tag);
  static void Activate(Monitor& monitor, int slot, bool synchronous);
  static void Trigger(ContractServer& server, int slot, const std::string& tag);
  static void Stop(Monitor& monitor);
  // Ends every activation: what the destructor does.
  static void StopForGood(Monitor& monitor) { monitor.StopMonitoring(); }
  static void HoldActivation(ContractServer& server, int slot);
  // What the monitor holds for the item of `slot`.
  template <class M>
  static std::optional<std::string> View(const M& monitor, int slot) {
    return TagOf(monitor.QueryAttribute(kItem + static_cast<std::uint32_t>(slot),
                                        CQmAttributeName(Xan_State)));
  }
  template <class M>
  static void CallbackHere(M& monitor) {
    monitor.RequestAttributeUpdateCallback(CQmAttributeName(Xan_State));
  }
  static std::string TagOf(const CQmAttributeValue& value);
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
    void AttributesUpdated(InteractionId conference, const CEntityId& party,
                           const CQmAttributeMap& attributes) override;
    void ConferencePartyAdded(InteractionId conference, const CEntityId& party,
                              const CQmAttributeMap& attributes) override;
    void ConferencePartyRemoved(InteractionId conference, const CEntityId& party) override;
    void ConferenceDeallocated(InteractionId conference) override;

   private:
    const Hook hook_;
  };
  static constexpr std::string_view kName = "CQmConferenceMonitor";
  static constexpr bool kReactivates = false;
  static void Script(ContractServer& server, int slot, const std::string& tag);
  static void Activate(Monitor& monitor, int slot, bool synchronous);
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
  void Run(const CEntityId& object, const CQmAttributeMap* attributes) const;
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

// The lightweight monitors load asynchronously only, and drop the
// notifications that come before their activation's answer.
struct ObjectTypeKind : KindDefaults {
  using Monitor = LightMonitor<CQmObjectTypeMonitor>;
  static constexpr std::string_view kName = "CQmObjectTypeMonitor";
  static constexpr std::string_view kAnswerTrace = "Response received";
  static void Script(ContractServer& server, int slot, const std::string& tag);
  static void Activate(Monitor& monitor, int slot, bool synchronous);
  static void Trigger(ContractServer& server, int slot, const std::string& tag);
  static void Stop(Monitor& monitor) { monitor.handle.deactivate(); }
  static void HoldActivation(ContractServer& server, int slot);
};

struct CachingObjectTypeKind : ObjectTypeKind {
  using Monitor = LightMonitor<CQmCachingObjectTypeMonitor>;
  static constexpr std::string_view kName = "CQmCachingObjectTypeMonitor";
  static void Activate(Monitor& monitor, int slot, bool synchronous);
  static void Stop(Monitor& monitor) { monitor.handle.deactivate(); }
  template <class M>
  static std::optional<std::string> View(const M& monitor, int slot) {
    return CachedTag(monitor.handle, slot);
  }
  static std::string CachedTag(const CQmCachingObjectTypeMonitor& handle, int slot);
};

// Slot s watches Xan_State = "A" + s; the tag travels in Xan_UserName.
struct AttributeKind : ObjectTypeKind {
  class Monitor : public LightMonitor<AttributeMonitor> {
   public:
    explicit Monitor(Hook hook)
        : LightMonitor<AttributeMonitor>(std::move(hook), CQmAttributeName(Xan_UserName)) {}
  };
  static constexpr std::string_view kName = "AttributeMonitor";
  static void Script(ContractServer& server, int slot, const std::string& tag);
  static void Activate(Monitor& monitor, int slot, bool synchronous);
  static void Trigger(ContractServer& server, int slot, const std::string& tag);
  static void Stop(Monitor& monitor) { monitor.handle.deactivate(); }
};

}  // namespace QueueManager::contract
