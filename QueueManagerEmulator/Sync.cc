// The client side of the emulator's round trip.

#include <future>

#include "QueueManager/Emulator/Emulator.h"
#include "QueueManager/Platform/Notifier.h"

namespace QueueManager::Emulator {
namespace {

// Kept alive by the connection until its one outcome was delivered, so that
// an answer after the caller gave up finds it.
class SyncOutcome : public W4Notifier::IAsyncResponseCallback {
 public:
  std::future<std::optional<std::uint16_t>> Future() { return promise_.get_future(); }
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
  void End(std::optional<std::uint16_t> handle) { promise_.set_value(handle); }
  std::promise<std::optional<std::uint16_t>> promise_;
};

}  // namespace

std::optional<std::uint16_t> Sync(W4Notifier::CNotifierConnection& connection,
                                  std::chrono::milliseconds timeout) {
  const W4Notifier::CEntityId server(W4Notifier::eQueueManagerServer, W4Notifier::kAllObjects, 0);
  const W4Notifier::CMessage request(server, kSyncEvent);
  auto outcome = std::make_shared<SyncOutcome>();
  auto future = outcome->Future();
  // The answer travels as an asynchronous outcome: it is delivered on the
  // connection's delivery thread, after the notifications that came before.
  if (connection.SendAsyncRequest(request, outcome.get(), 0,
                                  static_cast<std::uint32_t>(timeout.count()), nullptr,
                                  outcome) != W4Notifier::eMsgSuccess)
    return std::nullopt;
  // The connection ends the request by its time-out; the margin covers a
  // delivery thread busy with earlier callbacks.
  if (future.wait_for(timeout * 2) != std::future_status::ready) return std::nullopt;
  return future.get();
}

}  // namespace QueueManager::Emulator
