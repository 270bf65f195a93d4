#pragma once

// Private inboxes: notifications collected in a queue that a worker thread
// takes with a blocking wait, instead of callbacks on delivery threads.

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Sync.h"

namespace W4Notifier {

/// The queue behind a CMessageServer, filled by the connection. Thread-safe.
class QM_EXPORT CMessageInbox {
 public:
  /// Called by connections: appends a notification and wakes the reader.
  void Deliver(const CMessage& message);
  /// Wakes the reader with `code`; a reader that is not waiting yet gets it at
  /// its next wait.
  void WakeUp(int code);
  /// Fails every present and later wait with eMsgConnectionLost.
  void Close();
  /// Waits up to `timeoutMs` (W4Os::kInfinite: no limit) for messages or a
  /// wake-up; moves every queued message to the end of `out`. Returns 0 when
  /// messages arrived or the wake-up code was 0, the wake-up code otherwise,
  /// eMsgTimeout when the time passed and eMsgConnectionLost once closed.
  int Wait(std::deque<CMessage>& out, std::uint32_t timeoutMs);

 private:
  W4Os::Mutex mutex_;
  W4Os::CondVar cv_{&mutex_};
  std::deque<CMessage> queue_ QM_GUARDED_BY(mutex_);
  bool woken_ QM_GUARDED_BY(mutex_) = false;
  int wakeCode_ QM_GUARDED_BY(mutex_) = 0;
  bool closed_ QM_GUARDED_BY(mutex_) = false;
};

/// A private inbox on a connection: subscribe it to entities with
/// StartNotifications, then take what arrived with GetMessagesWithCode.
/// Thread-safe: one thread usually waits while others call WakeUp. The
/// subscriptions end with the object.
class QM_EXPORT CMessageServer {
 public:
  /// An inbox named `name` on the connection of `handle`.
  ///@{
  CMessageServer(const CNotifierHandle& handle, std::u16string_view name);
  ///@}
  ~CMessageServer();
  CMessageServer(const CMessageServer&) = delete;
  CMessageServer& operator=(const CMessageServer&) = delete;

  /// Subscribes the inbox to (objectType, objectId, eventCode); kAllObjects
  /// as id subscribes to every entity of the type. The flags and the last
  /// argument are accepted for compatibility and not used.
  eMsgCode StartNotifications(ObjectTypes objectType, std::uint32_t objectId, int eventCode,
                              std::uint32_t flags = 0, bool unused = false);
  /// Blocks until messages or a wake-up arrive (see CMessageInbox::Wait).
  int GetMessagesWithCode(std::deque<CMessage>& out, std::uint32_t timeoutMs);
  /// Wakes a waiting GetMessagesWithCode, which returns `code`.
  ///@{
  void WakeUp(int code);
  ///@}
  /// The inbox's name.
  ///@{
  const std::u16string& Name() const { return name_; }
  ///@}

 private:
  CNotifierHandle handle_;
  std::u16string name_;
  std::shared_ptr<CMessageInbox> inbox_;
};

/// Older name of CMessageServer.
using MessageServer = CMessageServer;

}  // namespace W4Notifier
