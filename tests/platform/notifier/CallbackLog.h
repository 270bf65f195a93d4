#pragma once

// What a notifier connection calls back, as lines for a test to wait on.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "QueueManager/Platform/Notifier.h"
#include "support/Waits.h"

namespace W4Notifier::testing {

// The message's first field when it is an int; -1 otherwise.
inline std::int32_t FirstInt(CMessage message) {
  std::int32_t value = -1;
  if (!message.IsAtEndOfData() && message.PeekFieldType() == FieldType::kInt32) message >> value;
  return value;
}

// Logs "<id> success <n>", "<id> rejected", "<id> timeout", "<id> cancelled"
// and "<id> connection loss" for requests, "notify <n> <object id>.<event>" and
// "renegotiated" for subscriptions (<n>: the first int field, -1 when none).
// Thread-safe; the hooks run after the line is logged, on the calling thread,
// as copies taken before it: once the line is in, a waiter may destroy the
// log.
class CallbackLog : public IAsyncResponseCallback,
                    public IMessageCallback,
                    public QueueManager::testing::WaitableLog {
 public:
  void OnAsyncResponseSuccess(std::uint32_t id, CMessage& m) override {
    Outcome(id, "success " + std::to_string(FirstInt(m)));
  }
  void OnAsyncResponseRejected(std::uint32_t id, CMessage&) override { Outcome(id, "rejected"); }
  void OnAsyncResponseTimeout(std::uint32_t id) override { Outcome(id, "timeout"); }
  void OnAsyncResponseCancelled(std::uint32_t id) override { Outcome(id, "cancelled"); }
  void OnAsyncResponseConnectionLoss(std::uint32_t id) override { Outcome(id, "connection loss"); }
  void OnMessageReceived(CMessage& message) override {
    const std::int32_t value = FirstInt(message);
    const auto hook = onValue;
    Add("notify " + std::to_string(value) + " " + std::to_string(message.QueryObjectId()) + "." +
        std::to_string(message.QueryEventId()));
    if (hook) hook(value);
  }
  void OnConnectionRenegotiated() override {
    const auto hook = onRenegotiated;
    Add("renegotiated");
    if (hook) hook();
  }
  std::function<void(std::int32_t)> onValue;
  std::function<void()> onRenegotiated;
  std::function<void()> onOutcome;

  // The first outcome of request `id` ("success 6"), once there is one;
  // "none" after 20 s.
  std::string Await(std::uint32_t id) {
    const std::string prefix = std::to_string(id) + " ";
    for (const std::string& line : WaitUntil([&](const auto& l) { return Count(l, prefix) > 0; }))
      if (line.starts_with(prefix)) return line.substr(prefix.size());
    return "none";
  }
  std::size_t CountOf(std::uint32_t id) { return Count(Lines(), std::to_string(id) + " "); }
  // Whether `n` lines starting with `prefix` came within 20 s.
  bool AwaitCount(std::string_view prefix, std::size_t n) {
    return Count(WaitUntil([&](const auto& l) { return Count(l, prefix) >= n; }), prefix) >= n;
  }
  bool AwaitValues(std::size_t n) { return AwaitCount("notify ", n); }
  // The int fields of the notifications, in order.
  std::vector<std::int32_t> Values() {
    std::vector<std::int32_t> values;
    for (const std::string& line : Lines())
      if (line.starts_with("notify ")) values.push_back(std::stoi(line.substr(7)));
    return values;
  }
  static std::size_t Count(const std::vector<std::string>& lines, std::string_view prefix) {
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
  }

 private:
  void Outcome(std::uint32_t id, const std::string& what) {
    const auto hook = onOutcome;
    Add(std::to_string(id) + " " + what);
    if (hook) hook();
  }
};

}  // namespace W4Notifier::testing
