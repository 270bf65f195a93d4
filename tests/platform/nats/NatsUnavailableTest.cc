// A library built without libnats: every way into NATS fails loudly, and a
// configuration that names a server is never served by the in-process bus.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>

#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/NatsNotifier.h"

namespace W4Notifier {
namespace {

void ExpectRefusal(const char* name, const std::function<void()>& call) {
  try {
    call();
    ADD_FAILURE() << name << " did not throw";
  } catch (const CNotifierException& e) {
    EXPECT_NE(std::string(e.what()).find("without NATS"), std::string::npos)
        << name << ": " << e.what();
  }
}

TEST(NatsUnavailableTest, EveryWayIntoNatsSaysItIsMissing) {
  EXPECT_FALSE(IsNatsAvailable());
  CNatsOptions options;
  options.urls = {"nats://127.0.0.1:4222"};
  std::string error;
  const std::pair<const char*, std::function<void()>> calls[] = {
      {"ConnectNats", [&] { ConnectNats(options); }},
      {"CNatsResponder", [&] { CNatsResponder(options, "group", [](CNatsRequest) {}); }},
      {"CNatsBusBridge", [&] { CNatsBusBridge(options, "group", CInProcessBus::Create()); }},
      {"NatsOptionsFromEnvironment", [&] { NatsOptionsFromEnvironment(options); }},
      {"ApplyNatsFlag", [&] { ApplyNatsFlag(options, "--nats-user", "u", error); }},
      {"NatsUrlError", [] { NatsUrlError("nats://host"); }},
  };
  for (const auto& [name, call] : calls) ExpectRefusal(name, call);
  EXPECT_NE(NatsOptionsHelp().find("without NATS"), std::string::npos);
}

TEST(NatsUnavailableTest, AConfiguredServerIsRefusedNotReplacedByTheBus) {
  ::setenv(kNatsUrlVariable, "nats://127.0.0.1:4222", 1);
  ExpectRefusal("ConnectConfiguredDefault", [] { ConnectConfiguredDefault(); });
  ::unsetenv(kNatsUrlVariable);
  const auto connection = ConnectConfiguredDefault();
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(NatsStatistics(*connection).roundTripMicroseconds, -1);
  SetDefaultConnection(nullptr);
}

}  // namespace
}  // namespace W4Notifier
