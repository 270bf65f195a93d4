#include "QueueManager/Platform/MessageServer.h"
#include "QueueManager/Platform/Simulation.h"

#include <chrono>

namespace W4Notifier {

void CMessageInbox::Deliver(const CMessage& message) {
  W4Os::MutexLock lock(&mutex_);
  if (closed_) return;
  queue_.push_back(message);
  queue_.back().Rewind();
  cv_.SignalAll();
}

void CMessageInbox::WakeUp(int code) {
  W4Os::MutexLock lock(&mutex_);
  woken_ = true;
  wakeCode_ = code;
  cv_.SignalAll();
}

void CMessageInbox::Close() {
  W4Os::MutexLock lock(&mutex_);
  closed_ = true;
  cv_.SignalAll();
}

int CMessageInbox::Wait(std::deque<CMessage>& out, std::uint32_t timeoutMs) {
  const auto deadline = W4Os::SteadyNow() + std::chrono::milliseconds(timeoutMs);
  W4Os::MutexLock lock(&mutex_);
  while (queue_.empty() && !woken_ && !closed_) {
    if (timeoutMs == W4Os::kInfinite) {
      cv_.Wait();
    } else if (!cv_.WaitUntil(deadline) && queue_.empty() && !woken_ && !closed_) {
      return eMsgTimeout;
    }
  }
  if (closed_ && queue_.empty()) return eMsgConnectionLost;
  if (queue_.empty()) {
    // Woken without messages: report the wake-up code once.
    woken_ = false;
    return wakeCode_;
  }
  // Messages first; a pending wake-up is reported by the next wait.
  for (CMessage& message : queue_) out.push_back(std::move(message));
  queue_.clear();
  return 0;
}

CMessageServer::CMessageServer(const CNotifierHandle& handle, std::u16string_view name)
    : handle_(handle), name_(name), inbox_(std::make_shared<CMessageInbox>()) {}

CMessageServer::~CMessageServer() {
  if (handle_.Connection()) handle_.Connection()->DetachInbox(inbox_.get());
  inbox_->Close();
}

eMsgCode CMessageServer::StartNotifications(ObjectTypes objectType, std::uint32_t objectId,
                                            int eventCode, std::uint32_t /*flags*/,
                                            bool /*unused*/) {
  if (!handle_.Connection()) return eMsgNotConnected;
  return handle_.Connection()->AttachInbox(inbox_, CEntityId(objectType, objectId), eventCode);
}

int CMessageServer::GetMessagesWithCode(std::deque<CMessage>& out, std::uint32_t timeoutMs) {
  return inbox_->Wait(out, timeoutMs);
}

void CMessageServer::WakeUp(int code) { inbox_->WakeUp(code); }

}  // namespace W4Notifier
