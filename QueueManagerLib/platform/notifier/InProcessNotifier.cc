// The public faces of the in-process bus and connection.

#include "QueueManager/Platform/InProcessNotifier.h"

#include "platform/notifier/BusCore.h"
#include "platform/notifier/InProcessConnectionImpl.h"

namespace W4Notifier {

void CInboundRequest::Reply(const CMessage& body, bool rejected) {
  if (token_ == 0) return;
  auto bus = bus_.lock();
  if (!bus) return;
  CMessage reply = body;
  reply.SetEntity(message_.QueryEntityId());
  reply.SetEventId(message_.QueryEventId());
  reply.Rewind();
  const std::uint64_t token = std::exchange(token_, 0);
  bus->Reply(token, reply, rejected);
}

CInProcessBus::CInProcessBus() : core_(std::make_shared<detail::BusCore>()) {}

std::shared_ptr<CInProcessBus> CInProcessBus::Create() {
  std::shared_ptr<CInProcessBus> bus(new CInProcessBus);
  bus->core_->StartThread();
  return bus;
}

std::shared_ptr<CInProcessBus> CInProcessBus::Default() {
  static const std::shared_ptr<CInProcessBus>* bus =
      new std::shared_ptr<CInProcessBus>(Create());  // lives until exit
  return *bus;
}

CInProcessBus::~CInProcessBus() { core_->Shutdown(); }

std::shared_ptr<CInProcessConnection> CInProcessBus::Connect(const CInProcessOptions& options) {
  auto impl = std::make_shared<CInProcessConnection::Impl>(
      std::weak_ptr<detail::BusCore>(core_), core_->Work(), core_->NextConnectionHandle(), options);
  impl->StartThreads();
  core_->AddConnection(impl);
  return std::shared_ptr<CInProcessConnection>(new CInProcessConnection(std::move(impl)));
}

void CInProcessBus::SetRequestHandler(IRequestHandler* handler) {
  core_->SetRequestHandler(handler);
}

bool CInProcessBus::DropConnection(std::uint16_t handle) {
  // Called without the bus lock: the connection's own lock comes first.
  const std::shared_ptr<CInProcessConnection::Impl> connection = core_->FindConnection(handle);
  if (!connection) return false;
  connection->Disconnect();
  connection->Reconnect(true);
  return true;
}

bool CInProcessBus::RenegotiateConnection(std::uint16_t handle) {
  const std::shared_ptr<CInProcessConnection::Impl> connection = core_->FindConnection(handle);
  if (!connection) return false;
  connection->Renegotiate();
  return true;
}

void CInProcessBus::AddObserver(IBusObserver* observer) { core_->AddObserver(observer); }

void CInProcessBus::RemoveObserver(IBusObserver* observer) { core_->RemoveObserver(observer); }

bool CInProcessBus::HasAudience(const CEntityId& entity, int eventCode) const {
  return core_->HasAudience(entity.QueryObjectType(), entity.QueryObjectId(), eventCode);
}

void CInProcessBus::WaitIdle() { core_->Work()->WaitIdle(); }

CInProcessConnection::CInProcessConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

CInProcessConnection::~CInProcessConnection() {
  impl_->Shutdown();
  if (auto bus = impl_->Bus().lock()) bus->RemoveConnection(impl_.get());
}

std::uint16_t CInProcessConnection::QueryHandle() const { return impl_->Handle(); }

bool CInProcessConnection::IsConnected() const { return impl_->IsConnected(); }

eSendStatus CInProcessConnection::SendRequest(const CMessage& request, CMessage* response,
                                              std::uint32_t timeoutMs) {
  return impl_->SendRequest(request, response, timeoutMs);
}

eMsgCode CInProcessConnection::SendAsyncRequest(const CMessage& request,
                                                IAsyncResponseCallback* callback,
                                                std::uint32_t flags, std::uint32_t timeoutMs,
                                                std::uint32_t* handleOut,
                                                const CKeepAlive& keepAlive) {
  return impl_->SendAsyncRequest(request, callback, flags, timeoutMs, handleOut, keepAlive);
}

eMsgCode CInProcessConnection::CancelAsyncRequest(std::uint32_t requestId) {
  return impl_->CancelAsyncRequest(requestId);
}

eMsgCode CInProcessConnection::Publish(const CMessage& notification) {
  return impl_->Publish(notification);
}

eMsgCode CInProcessConnection::StartNotifications(const CEntityId& entity, int eventCode,
                                                  IMessageCallback* callback,
                                                  std::uint32_t /*flags*/, std::uint32_t* handleOut,
                                                  const CKeepAlive& keepAlive,
                                                  std::u16string_view /*name*/) {
  return impl_->StartNotifications(entity, eventCode, callback, handleOut, keepAlive);
}

eMsgCode CInProcessConnection::StopNotifications(const CEntityId& entity, int eventCode,
                                                 IMessageCallback* callback,
                                                 std::uint32_t /*flags*/) {
  return impl_->StopNotifications(entity, eventCode, callback);
}

eMsgCode CInProcessConnection::StopAllMessages(IMessageCallback* callback) {
  return impl_->StopAllMessages(callback);
}

eMsgCode CInProcessConnection::AttachInbox(const std::shared_ptr<CMessageInbox>& inbox,
                                           const CEntityId& entity, int eventCode) {
  return impl_->AttachInbox(inbox, entity, eventCode);
}

void CInProcessConnection::DetachInbox(const CMessageInbox* inbox) { impl_->DetachInbox(inbox); }

void CInProcessConnection::Disconnect() { impl_->Disconnect(); }

void CInProcessConnection::Reconnect(bool renegotiate) { impl_->Reconnect(renegotiate); }

void CInProcessConnection::Renegotiate() { impl_->Renegotiate(); }

std::shared_ptr<CInProcessConnection> ConnectDefault() {
  auto connection = CInProcessBus::Default()->Connect();
  SetDefaultConnection(connection);
  return connection;
}

}  // namespace W4Notifier
