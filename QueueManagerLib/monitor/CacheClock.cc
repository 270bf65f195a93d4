// The clock skew service of the cache: the server's clock notifications and
// the once-per-process request for its time.

#include "QueueManager/QueueMonitor.h"
#include "monitor/CacheTrace.h"
#include "monitor/MessageReaders.h"
#include "monitor/QmCache.h"

namespace QueueManager {
namespace {

constexpr int kClockEvent = 3;
constexpr int kServerTimeEvent = 16;
constexpr int kClockIdle = 0;
constexpr int kClockRequesting = 1;
constexpr int kClockStarted = 2;

}  // namespace

void CQmCache::RequestClockSkewUpdates() {
  int expected = kClockIdle;
  // One caller at a time; a concurrent caller returns at once.
  if (!clockSkewRequest_.compare_exchange_strong(expected, kClockRequesting)) return;
  const bool started = StartClockSkewUpdates();
  clockSkewRequest_.store(started ? kClockStarted : kClockIdle);
}

bool CQmCache::StartClockSkewUpdates() {
  const auto connection = W4Notifier::CNotifierHandle::GetDefaultConnection();
  if (!connection) return false;
  const bool subscribed =
      connection->StartNotifications(QueueManagerServerEntity(), kClockEvent,
                                     static_cast<W4Notifier::IMessageCallback*>(this), 0, nullptr,
                                     {}, u"ClockSkewMonitor") == W4Notifier::eMsgSuccess;
  {
    W4Os::CCriticalSectionLock lock(&lock_);
    clockSubscribed_ = clockSubscribed_ || subscribed;
  }
  try {
    W4Notifier::CRequestObject request(QueueManagerServerEntity(), kServerTimeEvent);
    W4Notifier::CResponseObject response;
    if (request.Send(response, W4Notifier::CNotifierTimeout::Query()) != 0) {
      const ServerSeconds serverTime = ReadServerTimeHeader(response);
      W4Os::CCriticalSectionLock lock(&lock_);
      FeedClockLocked(serverTime);
    }
  } catch (const W4Notifier::CException& e) {
    QM_TRACE(CacheTopic(), W4Trace::kLevelWarning, "CQmCache::RequestClockSkewUpdates",
             "Server time request failed: {}", e.what());
  }
  return true;
}

int QueryClockSkew() { return CQmCache::Instance().QueryClockSkew(); }

void RequestClockSkewUpdates() { CQmCache::Instance().RequestClockSkewUpdates(); }

}  // namespace QueueManager
