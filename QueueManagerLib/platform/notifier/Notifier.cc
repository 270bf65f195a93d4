#include "QueueManager/Platform/Notifier.h"

#include <atomic>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Text.h"

namespace W4Notifier {
namespace {

std::atomic<std::uint32_t> g_timeoutMs{CNotifierTimeout::kDefaultMs};

// The default connection. A shared_ptr under a mutex rather than
// std::atomic<std::shared_ptr>, which this standard library lacks.
struct DefaultConnection {
  W4Os::Mutex mutex;
  std::shared_ptr<CNotifierConnection> connection QM_GUARDED_BY(mutex);
};

DefaultConnection& Default() {
  static DefaultConnection* instance = new DefaultConnection;  // lives until exit
  return *instance;
}

std::shared_ptr<CNotifierConnection> LoadDefault() {
  DefaultConnection& d = Default();
  W4Os::MutexLock lock(&d.mutex);
  return d.connection;
}

}  // namespace

std::string_view MsgCodeName(eMsgCode code) {
  switch (code) {
    case eMsgSuccess:
      return "success";
    case eMsgNotConnected:
      return "not connected";
    case eMsgNoRoute:
      return "no route";
    case eMsgTimeout:
      return "time-out";
    case eMsgRejected:
      return "rejected";
    case eMsgCancelled:
      return "cancelled";
    case eMsgConnectionLost:
      return "connection lost";
    case eMsgInvalidArgument:
      return "invalid argument";
    case eMsgNotFound:
      return "not found";
  }
  return "unknown";
}

int EventCodeFromName(std::u16string_view name) {
  // FNV-1a over the code units, placed above the numbered events.
  std::uint32_t hash = 2166136261u;
  for (char16_t c : name) {
    hash = (hash ^ (c & 0xFFu)) * 16777619u;
    hash = (hash ^ (c >> 8)) * 16777619u;
  }
  return static_cast<int>(0x40000000u | (hash & 0x3FFFFFFFu));
}

std::uint32_t CNotifierTimeout::Query() { return g_timeoutMs.load(std::memory_order_relaxed); }

void CNotifierTimeout::Set(std::uint32_t milliseconds) {
  g_timeoutMs.store(milliseconds, std::memory_order_relaxed);
}

void SetDefaultConnection(std::shared_ptr<CNotifierConnection> connection) {
  DefaultConnection& d = Default();
  std::shared_ptr<CNotifierConnection> previous;
  {
    W4Os::MutexLock lock(&d.mutex);
    previous = std::exchange(d.connection, std::move(connection));
  }
  // `previous` may be the last reference: it is released here, outside the lock.
}

std::shared_ptr<CNotifierConnection> CNotifierHandle::GetDefaultConnection() {
  std::shared_ptr<CNotifierConnection> connection = LoadDefault();
  if (connection && !connection->IsConnected()) return nullptr;
  return connection;
}

CNotifierHandle CNotifierHandle::GetDefaultHandle() { return CNotifierHandle(LoadDefault()); }

std::uint16_t CNotifierHandle::GetHandle() const {
  return connection_ ? connection_->QueryHandle() : 0;
}

eMsgCode CRequestObject::Send() {
  std::shared_ptr<CNotifierConnection> connection = CNotifierHandle::GetDefaultConnection();
  if (!connection) return eMsgNotConnected;
  switch (connection->SendRequest(*this, nullptr, 0)) {
    case eSendStatus::kSuccess:
      return eMsgSuccess;
    case eSendStatus::kNoRoute:
      return eMsgNoRoute;
    case eSendStatus::kNotConnected:
      return eMsgNotConnected;
    case eSendStatus::kRejected:
      return eMsgRejected;
    case eSendStatus::kTimeout:
      return eMsgTimeout;
  }
  return eMsgNoRoute;
}

int CRequestObject::Send(CResponseObject& response, std::uint32_t timeoutMs) {
  std::shared_ptr<CNotifierConnection> connection = CNotifierHandle::GetDefaultConnection();
  if (!connection) {
    response.ClearBody();
    response.SetStatus(eSendStatus::kNotConnected);
    return 0;
  }
  const eSendStatus status = connection->SendRequest(*this, &response, timeoutMs);
  response.SetStatus(status);
  return status == eSendStatus::kSuccess ? 1 : 0;
}

CNotificationObject::CNotificationObject(const CEntityId& entity, std::u16string_view eventName)
    : CMessage(entity, EventCodeFromName(eventName)) {
  SetEventName(std::u16string(eventName));
}

CNotificationObject::CNotificationObject(const CEntityId& entity, std::string_view utf8EventName)
    : CNotificationObject(entity, std::u16string_view(W4Os::NarrowToWideLossy(utf8EventName))) {}

eMsgCode CNotificationObject::Send() {
  std::shared_ptr<CNotifierConnection> connection = CNotifierHandle::GetDefaultConnection();
  if (!connection) return eMsgNotConnected;
  return connection->Publish(*this);
}

std::string_view SendStatusName(eSendStatus status) {
  switch (status) {
    case eSendStatus::kSuccess:
      return "success";
    case eSendStatus::kRejected:
      return "rejected";
    case eSendStatus::kTimeout:
      return "timed out";
    case eSendStatus::kNotConnected:
      return "not connected";
    case eSendStatus::kNoRoute:
      return "no route";
  }
  return "unknown";
}

}  // namespace W4Notifier
