// The client side of the emulator's round trip.

#include <optional>

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Notifier.h"
#include "QueueManager/Platform/Sync.h"

namespace QueueManager::Emulator {
namespace {

// Kept alive by the connection until its one outcome was delivered, so that
// an answer after the caller gave up finds it.
class SyncOutcome : public W4Notifier::IAsyncResponseCallback {
 public:
  // The outcome, once delivered within `limit`.
  std::optional<std::uint16_t> Await(std::chrono::milliseconds limit) {
    if (!done_.Wait(static_cast<std::uint32_t>(limit.count()))) return std::nullopt;
    return handle_;
  }
  void OnAsyncResponseSuccess(std::uint32_t, W4Notifier::CMessage& response) override {
    std::uint32_t handle = 0;
    try {
      response >> handle;
    } catch (const std::exception&) {
      return End(std::nullopt);
    }
    End(static_cast<std::uint16_t>(handle));
  }
  void OnAsyncResponseRejected(std::uint32_t, W4Notifier::CMessage&) override { End(std::nullopt); }
  void OnAsyncResponseTimeout(std::uint32_t) override { End(std::nullopt); }
  void OnAsyncResponseCancelled(std::uint32_t) override { End(std::nullopt); }
  void OnAsyncResponseConnectionLoss(std::uint32_t) override { End(std::nullopt); }

 private:
  void End(std::optional<std::uint16_t> handle) {
    handle_ = handle;
    done_.Set();
  }
  // Written once before `done_` is set, read only after it was seen set.
  std::optional<std::uint16_t> handle_;
  W4Os::CEvent done_{/*manualReset=*/true};
};

}  // namespace

std::optional<std::uint16_t> Sync(W4Notifier::CNotifierConnection& connection,
                                  std::chrono::milliseconds timeout) {
  const W4Notifier::CEntityId server(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects, 0);
  const W4Notifier::CMessage request(server, kSyncEvent);
  auto outcome = std::make_shared<SyncOutcome>();
  // The answer travels as an asynchronous outcome: it is delivered on the
  // connection's delivery thread, after the notifications that came before.
  if (connection.SendAsyncRequest(request, outcome.get(), 0,
                                  static_cast<std::uint32_t>(timeout.count()), nullptr,
                                  outcome) != W4Notifier::eMsgSuccess)
    return std::nullopt;
  // The connection ends the request by its time-out; the margin covers a
  // delivery thread busy with earlier callbacks.
  return outcome->Await(timeout * 2);
}

}  // namespace QueueManager::Emulator
