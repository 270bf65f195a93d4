// The serving side on NATS: queue subscriptions to every request and control
// request under a root, answered through the request's reply subject, which
// must be under the inbox of the client the request subject names.

#include <array>
#include <charconv>
#include <string_view>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Trace.h"
#include "platform/nats/NatsConnection.h"
#include "platform/nats/Subjects.h"

namespace W4Notifier {

// The connection replies go out on, while the responder lives. Replies may
// come from any thread, also after the responder is gone; `mutex_` keeps the
// connection from being destroyed under a reply being sent.
struct CNatsRequest::Sender {
  std::string root;  // set before the first request
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
  W4Os::Mutex mutex;
  W4Os::CondVar done{&mutex};
  int complete QM_GUARDED_BY(mutex) = 0;  // subscriptions that delivered their last

  static void OnMessage(natsConnection*, natsSubscription*, natsMsg* msg, void* closure);
  static void OnComplete(void* closure);
  void Serve(natsMsg* msg);
};

bool CNatsRequest::Reply(const CMessage& body, bool rejected) {
  auto sender = sender_.lock();
  if (!sender || replySubject_.empty()) return false;
  CMessage reply = body;
  reply.SetEntity(message_.QueryEntityId());
  reply.SetEventId(message_.QueryEventId());
  const std::vector<std::uint8_t> bytes = reply.Serialize();
  natsMsg* msg = nullptr;
  if (natsMsg_Create(&msg, replySubject_.c_str(), nullptr,
                     reinterpret_cast<const char*>(bytes.data()),
                     static_cast<int>(bytes.size())) != NATS_OK)
    return false;
  replySubject_.clear();
  natsStatus status = rejected ? natsMsgHeader_Set(msg, kRejectedHeader, "1") : NATS_OK;
  {
    W4Os::MutexLock lock(&sender->mutex);
    if (status == NATS_OK) {
      status = sender->connection != nullptr ? natsConnection_PublishMsg(sender->connection, msg)
                                             : NATS_CONNECTION_CLOSED;
    }
  }
  natsMsg_Destroy(msg);
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

void CNatsResponder::State::Serve(natsMsg* msg) {
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
    natsMsg_Destroy(msg);
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
    const auto* data = reinterpret_cast<const std::uint8_t*>(natsMsg_GetData(msg));
    const auto size = static_cast<std::size_t>(natsMsg_GetDataLength(msg));
    try {
      request = CMessage::Parse(std::span<const std::uint8_t>(data, size));
      // The subject routed it: its header says the same.
      request->SetEntity(CEntityId(subject->type, subject->objectId));
      request->SetEventId(subject->eventCode);
    } catch (const CNotifierException&) {
      request.reset();
    }
  }
  natsMsg_Destroy(msg);
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
  natsOptions* opts = nullptr;
  nats::Check(natsOptions_Create(&opts), "options");
  natsStatus status = NATS_OK;
  try {
    nats::ApplyCommonOptions(opts, options);
    nats::Check(natsOptions_SetSendAsap(opts, true), "send asap");
    status = natsConnection_Connect(&state_->connection, opts);
  } catch (...) {
    natsOptions_Destroy(opts);
    throw;
  }
  natsOptions_Destroy(opts);
  nats::CheckConnect(status, options);
  const std::array<std::string, 2> subjects{nats::AllRequestsSubject(options.root),
                                            nats::AllControlSubject(options.root)};
  for (std::size_t i = 0; i < subjects.size() && status == NATS_OK; ++i) {
    natsSubscription*& subscription = state_->subscriptions[i];
    status = natsConnection_QueueSubscribe(&subscription, state_->connection, subjects[i].c_str(),
                                           queueGroup.c_str(), State::OnMessage, state_.get());
    if (status == NATS_OK)
      status = natsSubscription_SetOnCompleteCB(subscription, State::OnComplete, state_.get());
  }
  if (status == NATS_OK) status = natsConnection_Flush(state_->connection);
  if (status != NATS_OK) {
    for (natsSubscription* subscription : state_->subscriptions) {
      if (subscription != nullptr) natsSubscription_Destroy(subscription);
    }
    natsConnection_Destroy(state_->connection);
    nats::Check(status, "subscribe");
  }
  W4Os::MutexLock lock(&state_->sender->mutex);
  state_->sender->connection = state_->connection;
}

bool CNatsResponder::Publish(const CMessage& notification) {
  const std::string subject = nats::NotificationSubject(
      state_->root, notification.QueryObjectType(), notification.QueryObjectId(),
      notification.QueryEventId(), notification.QueryEventName());
  const std::vector<std::uint8_t> bytes = notification.Serialize();
  // While disconnected libnats would keep it for the next connection; its
  // subscribers renegotiate then and no longer need it.
  if (natsConnection_Status(state_->connection) != NATS_CONN_STATUS_CONNECTED) return false;
  return natsConnection_Publish(state_->connection, subject.c_str(), bytes.data(),
                                static_cast<int>(bytes.size())) == NATS_OK;
}

CNatsResponder::~CNatsResponder() {
  for (natsSubscription* subscription : state_->subscriptions)
    natsSubscription_Unsubscribe(subscription);
  {
    W4Os::MutexLock lock(&state_->mutex);
    while (state_->complete < static_cast<int>(state_->subscriptions.size())) state_->done.Wait();
  }
  for (natsSubscription* subscription : state_->subscriptions)
    natsSubscription_Destroy(subscription);
  {
    W4Os::MutexLock lock(&state_->sender->mutex);
    state_->sender->connection = nullptr;
  }
  natsConnection_Destroy(state_->connection);
}

}  // namespace W4Notifier
