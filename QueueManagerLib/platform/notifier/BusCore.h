#pragma once

// The inside of an in-process bus: the server thread that hands requests to
// the request handler, reply routing, publishing to connections, observers.
//
// Locking: `mutex_` guards the tables below. It is never held while the
// handler, an observer or a connection is called.

#include <array>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "QueueManager/Platform/InProcessNotifier.h"
#include "QueueManager/Platform/Sync.h"
#include "platform/notifier/SpinWait.h"
#include "platform/notifier/WorkCounter.h"

namespace W4Notifier::detail {

class BusCore : public std::enable_shared_from_this<BusCore> {
 public:
  using ConnectionCore = CInProcessConnection::Impl;

  BusCore();
  void StartThread();
  // Stops the server thread (joins it unless called from it).
  void Shutdown();

  const std::shared_ptr<WorkCounter>& Work() const { return work_; }
  std::uint16_t NextConnectionHandle();
  void AddConnection(const std::shared_ptr<ConnectionCore>& connection);
  void RemoveConnection(const ConnectionCore* connection);
  // The live connection with `handle`, or null.
  std::shared_ptr<ConnectionCore> FindConnection(std::uint16_t handle);

  // Queues a request for the handler. `origin` and `requestId` say where the
  // reply goes; a one-way request has no origin. Returns false (and queues
  // nothing) when no handler serves the bus. `tokenOut` receives the reply
  // token (0 for one-way requests). `sender` is the handle of the sending
  // connection, which the handler may use to tell its clients apart.
  // `senderWaits` tells that a thread blocks until the answer comes.
  bool Submit(const CMessage& request, std::uint16_t sender,
              const std::shared_ptr<ConnectionCore>& origin, std::uint32_t requestId,
              std::uint64_t* tokenOut, bool senderWaits = false);
  // Drops the routing of a request whose sender stopped waiting.
  void Forget(std::uint64_t token);
  // Requests whose answer would still be routed back; a request that ended
  // any way other than by its answer must not stay here.
  std::size_t RouteCount();
  void Reply(std::uint64_t token, const CMessage& body, bool rejected);
  void Publish(const CMessage& notification);
  // Whether a notification of that entity and event published now would
  // reach anyone: an observer, or a subscription or inbox of a connection.
  bool HasAudience(ObjectTypes type, std::uint32_t objectId, int eventCode);

  void SetRequestHandler(IRequestHandler* handler);
  void AddObserver(IBusObserver* observer);
  void RemoveObserver(IBusObserver* observer);
  // `answered` names the request an answer goes to.
  struct Answered {
    std::uint16_t handle;
    std::uint32_t requestId;
  };
  void Observe(IBusObserver::eTraffic kind, const CMessage& message,
               std::optional<Answered> answered = std::nullopt);

 private:
  struct QueuedRequest {
    CMessage message;
    std::uint64_t token;
    std::uint16_t sender;
    bool senderWaits;
  };
  struct Route {
    std::weak_ptr<ConnectionCore> connection;
    std::uint32_t requestId;
  };

  // The live connections, held so that they are called without the lock.
  // A bus has a few: they are held on the stack, and only a crowd of them
  // costs an allocation.
  class HeldConnections {
   public:
    void Add(std::shared_ptr<ConnectionCore> connection);
    template <class Visit>
    void ForEach(Visit visit) const {
      for (std::size_t i = 0; i < count_; ++i) visit(*held_[i]);
      for (const auto& connection : more_) visit(*connection);
    }

   private:
    static constexpr std::size_t kHeldOnStack = 8;
    std::array<std::shared_ptr<ConnectionCore>, kHeldOnStack> held_;
    std::size_t count_ = 0;
    std::vector<std::shared_ptr<ConnectionCore>> more_;
  };
  void HoldConnections(HeldConnections& held) QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void RunServer();
  // Leaves the lock for a short spin while nothing is queued, so that a
  // request that follows at once is taken without parking and waking the
  // server thread. Only worth it after an answer to a waiting sender, which
  // often asks again at once; requests sent without waiting come in bursts
  // that the queue batches, and spinning then only takes the processor from
  // the threads that deliver their outcomes.
  void SpinForWork() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);
  void SignalServer() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  const std::shared_ptr<WorkCounter> work_ = std::make_shared<WorkCounter>();
  W4Os::Mutex mutex_;
  W4Os::CondVar serverWork_{&mutex_};
  // Counts the signals of `serverWork_`: a spinning server thread watches it
  // without the lock.
  std::atomic<std::uint64_t> serverSignals_{0};
  SpinPolicy serverSpin_;
  W4Os::CondVar callsDone_{&mutex_};
  bool stopping_ QM_GUARDED_BY(mutex_) = false;
  std::deque<QueuedRequest> queue_ QM_GUARDED_BY(mutex_);
  // The bodies in `queue_`, at most kMaxQueuedRequestBytes.
  static constexpr std::size_t kMaxQueuedRequestBytes = std::size_t{64} << 20;
  std::size_t queuedBytes_ QM_GUARDED_BY(mutex_) = 0;
  std::map<std::uint64_t, Route> routes_ QM_GUARDED_BY(mutex_);
  std::uint64_t nextToken_ QM_GUARDED_BY(mutex_) = 1;
  std::uint16_t nextHandle_ QM_GUARDED_BY(mutex_) = 0;
  IRequestHandler* handler_ QM_GUARDED_BY(mutex_) = nullptr;
  bool handlerBusy_ QM_GUARDED_BY(mutex_) = false;
  std::vector<IBusObserver*> observers_ QM_GUARDED_BY(mutex_);
  int observerCalls_ QM_GUARDED_BY(mutex_) = 0;
  std::vector<std::weak_ptr<ConnectionCore>> connections_ QM_GUARDED_BY(mutex_);
  std::thread server_;
};

}  // namespace W4Notifier::detail
