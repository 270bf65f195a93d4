// The serving side on NATS: a queue subscription to every request under a
// root, answered through the request's reply subject.

#include <charconv>
#include <cstring>
#include <string_view>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/Platform/Sync.h"
#include "platform/nats/NatsConnection.h"
#include "platform/nats/Subjects.h"

namespace W4Notifier {

// The connection replies go out on, while the responder lives. Replies may
// come from any thread, also after the responder is gone; `mutex_` keeps the
// connection from being destroyed under a reply being sent.
struct CNatsRequest::Sender {
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
  natsSubscription* subscription = nullptr;
  W4Os::Mutex mutex;
  W4Os::CondVar done{&mutex};
  bool complete QM_GUARDED_BY(mutex) = false;

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
  // The name comes from the request: it must not reach beyond a subject of
  // its own (no wildcards, no empty tokens).
  if (!senderName_.empty() && nats::IsValidRoot(senderName_))
    target->subject = senderName_ + "." + kRenegotiatedToken;
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
  state->complete = true;
  state->done.SignalAll();
}

void CNatsResponder::State::Serve(natsMsg* msg) {
  const auto subject = nats::ParseSubject(root, natsMsg_GetSubject(msg));
  const char* reply = natsMsg_GetReply(msg);
  std::string replySubject = reply != nullptr ? reply : "";
  std::string senderName;
  const char* header = nullptr;
  if (natsMsgHeader_Get(msg, kSenderHeader, &header) == NATS_OK && header != nullptr &&
      std::strlen(header) <= CNatsRequest::kMaxSenderLength)
    senderName = header;
  std::uint32_t waitMs = 0;
  if (natsMsgHeader_Get(msg, kWaitHeader, &header) == NATS_OK && header != nullptr) {
    const std::string_view text(header);
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), waitMs);
    if (error != std::errc{} || end != text.data() + text.size()) waitMs = 0;
  }
  std::optional<CMessage> request;
  if (subject && subject->kind == nats::eSubjectKind::kRequest) {
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
    handler(CNatsRequest(sender, std::move(replySubject), std::move(*request),
                         std::move(senderName), waitMs));
  } catch (...) {
    // The handler's errors are its own; they must not end the delivery thread.
  }
}

CNatsResponder::CNatsResponder(const CNatsOptions& options, const std::string& queueGroup,
                               Handler handler)
    : state_(std::make_shared<State>()) {
  state_->root = options.root;
  state_->handler = std::move(handler);
  natsOptions* opts = nullptr;
  nats::Check(natsOptions_Create(&opts), "options");
  try {
    nats::ApplyCommonOptions(opts, options);
    nats::Check(natsOptions_SetSendAsap(opts, true), "send asap");
  } catch (...) {
    natsOptions_Destroy(opts);
    throw;
  }
  natsStatus status =
      nats::ConnectWithin(&state_->connection, opts, nats::ConnectLimit(options), [](bool) {});
  if (status == NATS_TIMEOUT) nats::ThrowConnectTimeout(options);
  nats::Check(status, "connect");
  const std::string subject = nats::AllRequestsSubject(options.root);
  status = natsConnection_QueueSubscribe(&state_->subscription, state_->connection, subject.c_str(),
                                         queueGroup.c_str(), State::OnMessage, state_.get());
  if (status == NATS_OK) {
    status =
        natsSubscription_SetOnCompleteCB(state_->subscription, State::OnComplete, state_.get());
  }
  if (status == NATS_OK)
    status = natsConnection_FlushTimeout(state_->connection, options.connectTimeoutMs);
  if (status != NATS_OK) {
    if (state_->subscription != nullptr) natsSubscription_Destroy(state_->subscription);
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
  natsSubscription_Unsubscribe(state_->subscription);
  {
    W4Os::MutexLock lock(&state_->mutex);
    while (!state_->complete) state_->done.Wait();
  }
  natsSubscription_Destroy(state_->subscription);
  {
    W4Os::MutexLock lock(&state_->sender->mutex);
    state_->sender->connection = nullptr;
  }
  natsConnection_Destroy(state_->connection);
}

}  // namespace W4Notifier
