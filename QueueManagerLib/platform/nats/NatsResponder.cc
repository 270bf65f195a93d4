// The serving side on NATS: queue subscriptions to every request and control
// request under a root, answered through the request's reply subject, which
// must be under the inbox of the client the request subject names.

#include <array>
#include <charconv>
#include <string_view>
#include <system_error>
#include <thread>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Thread.h"
#include "QueueManager/Platform/Trace.h"
#include "platform/nats/Framing.h"
#include "platform/nats/NatsConnection.h"
#include "platform/nats/Subjects.h"

namespace W4Notifier {

// The connection replies go out on, while the responder lives. Replies may
// come from any thread, also after the responder is gone; `mutex_` keeps the
// connection from being destroyed under a reply being sent.
struct CNatsRequest::Sender {
  std::string root;  // set before the first request
  // The responder's instance (kInstanceHeader), on every reply.
  const std::string instance = nats::FormatInstance(nats::NewInstance());
  W4Os::Mutex mutex;
  natsConnection* connection QM_GUARDED_BY(mutex) = nullptr;
};

struct CNatsSenderLink::Target {
  std::weak_ptr<CNatsRequest::Sender> sender;
  std::string subject;  // empty: the sender cannot be reached
};

struct CNatsResponder::State {
  std::string root;
  Handler handler;
  std::shared_ptr<CNatsRequest::Sender> sender = std::make_shared<CNatsRequest::Sender>();
  natsConnection* connection = nullptr;
  // Requests, then control requests.
  std::array<natsSubscription*, 2> subscriptions{};
  // Each subscription has a delivery thread of its own: this makes them
  // serve one request at a time, as the handler's contract says, and guards
  // the joins of requests in parts. Nothing else takes it.
  W4Os::Mutex serving;
  nats::PartReceiver parts QM_GUARDED_BY(serving);
  std::uint32_t announceIntervalMs = 0;
  std::thread announcer;
  W4Os::Mutex mutex;
  W4Os::CondVar done{&mutex};
  int complete QM_GUARDED_BY(mutex) = 0;  // subscriptions that delivered their last
  bool stopping QM_GUARDED_BY(mutex) = false;

  static void OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
  static void OnComplete(void* closure);
  void Serve(natsMsg* msg);
  // Tells the clients under the root which instance serves them, so that
  // one that only listens notices a restart too.
  void Announce();
  void RunAnnouncer();
  // Ends the announcer, the subscriptions (once their last callback
  // returned) and the connection.
  void Close();
};

bool CNatsRequest::Reply(const CMessage& body, bool rejected) {
  auto sender = sender_.lock();
  if (!sender || replySubject_.empty()) return false;
  CMessage reply = body;
  reply.SetEntity(message_.QueryEntityId());
  reply.SetEventId(message_.QueryEventId());
  const std::vector<std::uint8_t> bytes = reply.Serialize();
  const std::string subject = std::move(replySubject_);
  replySubject_.clear();
  nats::Headers headers{{nats::kInstanceHeader, sender->instance}};
  if (rejected) headers.emplace_back(kRejectedHeader, "1");
  // Under the lock: the connection must outlive the send.
  W4Os::MutexLock lock(&sender->mutex);
  if (sender->connection == nullptr) return false;
  const natsStatus status =
      nats::PublishInParts(sender->connection, subject.c_str(), nullptr, headers, bytes);
  if (status == NATS_MAX_PAYLOAD && !rejected) {
    // Too large to send at all: the requester hears a rejection now rather
    // than nothing until its time-out.
    headers.emplace_back(kRejectedHeader, "1");
    nats::PublishInParts(sender->connection, subject.c_str(), nullptr, headers,
                         CMessage().Serialize());
  }
  return status == NATS_OK;
}

CNatsSenderLink CNatsRequest::SenderLink() const {
  auto target = std::make_shared<CNatsSenderLink::Target>();
  target->sender = sender_;
  // The name came from the request subject, checked to be one token.
  if (auto sender = sender_.lock(); sender && nats::IsValidClient(senderName_))
    target->subject = nats::RenegotiatedSubject(sender->root, senderName_);
  return CNatsSenderLink(std::move(target));
}

bool CNatsSenderLink::TellRenegotiated() const {
  if (!target_ || target_->subject.empty()) return false;
  const auto sender = target_->sender.lock();
  if (!sender) return false;
  W4Os::MutexLock lock(&sender->mutex);
  if (sender->connection == nullptr) return false;
  return natsConnection_Publish(sender->connection, target_->subject.c_str(), nullptr, 0) ==
         NATS_OK;
}

void CNatsResponder::State::OnMessage(natsConnection*, natsSubscription*, natsMsg* msg,
                                      void* closure) {
  static_cast<State*>(closure)->Serve(msg);
}

void CNatsResponder::State::OnComplete(void* closure) {
  auto* state = static_cast<State*>(closure);
  W4Os::MutexLock lock(&state->mutex);
  ++state->complete;
  state->done.SignalAll();
}

void CNatsResponder::State::Announce() {
  natsMsg* msg = nullptr;
  const std::string subject = nats::InstanceSubject(root);
  if (natsMsg_Create(&msg, subject.c_str(), nullptr, nullptr, 0) != NATS_OK) return;
  if (natsMsgHeader_Set(msg, nats::kInstanceHeader, sender->instance.c_str()) == NATS_OK)
    natsConnection_PublishMsg(connection, msg);
  natsMsg_Destroy(msg);
}

void CNatsResponder::State::RunAnnouncer() {
  const auto interval = std::chrono::milliseconds(announceIntervalMs);
  while (true) {
    {
      W4Os::MutexLock lock(&mutex);
      const auto due = std::chrono::steady_clock::now() + interval;
      while (!stopping && std::chrono::steady_clock::now() < due) done.WaitUntil(due);
      if (stopping) return;
    }
    Announce();
  }
}

void CNatsResponder::State::Serve(natsMsg* received) {
  W4Os::MutexLock lock(&serving);
  // One request's parts come from one client to one reply subject.
  auto stream = [&] {
    const char* to = natsMsg_GetReply(received);
    return std::string(natsMsg_GetSubject(received)) + ' ' + (to != nullptr ? to : "");
  };
  nats::Arrival arrival;
  std::vector<nats::PartJoiner::Dropped> dropped;
  if (!parts.Take(received, stream, arrival, dropped)) return;
  natsMsg* msg = arrival.msg.get();
  const char* subjectText = natsMsg_GetSubject(msg);
  const auto subject = nats::ParseSubject(root, subjectText);
  const char* reply = natsMsg_GetReply(msg);
  std::string replySubject = reply != nullptr ? reply : "";
  // Who sent it is what the NATS server let publish on the subject; the
  // answer goes nowhere but to that client's inbox, or a client could have
  // answers (or rejections) sent into another's.
  const std::string client(nats::RequestClient(root, subjectText));
  if (!replySubject.empty() && !nats::IsInboxOf(root, client, replySubject)) {
    QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning, "CNatsResponder::Serve",
             "dropped a request on {} whose reply subject {} is not its client's inbox",
             subjectText, replySubject);
    return;
  }
  std::uint32_t waitMs = 0;
  const char* header = nullptr;
  if (natsMsgHeader_Get(msg, kWaitHeader, &header) == NATS_OK && header != nullptr) {
    const std::string_view text(header);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), waitMs);
    if (error != std::errc{} || end != text.data() + text.size()) waitMs = 0;
  }
  std::optional<CMessage> request;
  if (subject && subject->kind != nats::eSubjectKind::kNotification) {
    try {
      request = CMessage::Parse(arrival.Data());
      // The subject routed it: its header says the same.
      request->SetEntity(CEntityId(subject->type, subject->objectId));
      request->SetEventId(subject->eventCode);
    } catch (const CNotifierException&) {
      request.reset();
    }
  }
  arrival = {};
  if (!request) {
    // Not a request of ours: a waiting sender hears a rejection, not silence.
    CNatsRequest(sender, std::move(replySubject), CMessage()).Reply(CMessage(), true);
    return;
  }
  try {
    handler(CNatsRequest(sender, std::move(replySubject), std::move(*request), client, waitMs));
  } catch (...) {
    // The handler's errors are its own; they must not end the delivery thread.
  }
}

CNatsResponder::CNatsResponder(const CNatsOptions& options, const std::string& queueGroup,
                               Handler handler)
    : state_(std::make_shared<State>()) {
  state_->root = options.root;
  state_->sender->root = options.root;
  state_->handler = std::move(handler);
  state_->announceIntervalMs = options.announceIntervalMs;
  natsOptions* opts = nullptr;
  nats::Check(natsOptions_Create(&opts), "options");
  try {
    nats::ApplyCommonOptions(opts, options);
    nats::Check(natsOptions_SetSendAsap(opts, true), "send asap");
  } catch (...) {
    natsOptions_Destroy(opts);
    throw;
  }
  std::string lastError;
  natsStatus status = nats::ConnectWithin(
      &state_->connection, opts, nats::ConnectLimit(options), [](bool) {}, lastError);
  if (status == NATS_TIMEOUT) nats::ThrowConnectTimeout(options);
  nats::CheckConnect(status, options, lastError);
  const std::array<std::string, 2> subjects{nats::AllRequestsSubject(options.root),
                                            nats::AllControlSubject(options.root)};
  for (std::size_t i = 0; i < subjects.size() && status == NATS_OK; ++i) {
    natsSubscription*& subscription = state_->subscriptions[i];
    status = natsConnection_QueueSubscribe(&subscription, state_->connection, subjects[i].c_str(),
                                           queueGroup.c_str(), State::OnMessage, state_.get());
    if (status == NATS_OK)
      status = natsSubscription_SetOnCompleteCB(subscription, State::OnComplete, state_.get());
  }
  if (status == NATS_OK)
    status = natsConnection_FlushTimeout(state_->connection, options.connectTimeoutMs);
  if (status != NATS_OK) {
    for (natsSubscription* subscription : state_->subscriptions) {
      if (subscription != nullptr) natsSubscription_Destroy(subscription);
    }
    natsConnection_Destroy(state_->connection);
    nats::Check(status, "subscribe");
  }
  {
    W4Os::MutexLock lock(&state_->sender->mutex);
    state_->sender->connection = state_->connection;
  }
  state_->Announce();
  if (state_->announceIntervalMs == 0) return;
  try {
    state_->announcer = W4Os::StartThread([state = state_.get()] { state->RunAnnouncer(); });
  } catch (const std::system_error& error) {
    // Left open, the subscriptions would call into the state this
    // constructor frees as it throws.
    state_->Close();
    throw CNotifierException(std::string("NATS: no thread for the responder: ") + error.what());
  }
}

bool CNatsResponder::Publish(const CMessage& notification) {
  const std::string subject = nats::NotificationSubject(
      state_->root, notification.QueryObjectType(), notification.QueryObjectId(),
      notification.QueryEventId(), notification.QueryEventName());
  // While disconnected libnats would keep it for the next connection; its
  // subscribers renegotiate then and no longer need it.
  if (natsConnection_Status(state_->connection) != NATS_CONN_STATUS_CONNECTED) return false;
  return nats::PublishInParts(state_->connection, subject.c_str(), nullptr,
                              {{nats::kInstanceHeader, state_->sender->instance}},
                              notification.Serialize()) == NATS_OK;
}

CNatsResponder::~CNatsResponder() { state_->Close(); }

void CNatsResponder::State::Close() {
  {
    W4Os::MutexLock lock(&mutex);
    stopping = true;
    done.SignalAll();
  }
  if (announcer.joinable()) announcer.join();
  for (natsSubscription* subscription : subscriptions) natsSubscription_Unsubscribe(subscription);
  {
    W4Os::MutexLock lock(&mutex);
    while (complete < static_cast<int>(subscriptions.size())) done.Wait();
  }
  for (natsSubscription* subscription : subscriptions) natsSubscription_Destroy(subscription);
  {
    W4Os::MutexLock lock(&sender->mutex);
    sender->connection = nullptr;
  }
  natsConnection_Destroy(connection);
}

}  // namespace W4Notifier
