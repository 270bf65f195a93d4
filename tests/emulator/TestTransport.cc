#include "emulator/TestTransport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "QueueManager/Emulator/Emulator.h"
#include "support/Waits.h"

namespace QueueManager::Emulator {

namespace {

constexpr std::chrono::milliseconds kPatience = std::chrono::seconds(10);

}  // namespace

#if QM_TEST_WITH_NATS

struct TestTransport::Nats {
  W4Notifier::testing::NatsServerProcess server;
  W4Notifier::CNatsOptions options;
  std::unique_ptr<W4Notifier::CNatsBusBridge> bridge;
};

W4Notifier::CNatsOptions TestTransport::NatsOptions() const { return nats_->options; }

W4Notifier::testing::NatsServerProcess& TestTransport::Server() { return nats_->server; }

bool TestTransport::Start(std::string& skip, const W4Notifier::CNatsOptions& tuning, bool nats) {
  if (!nats) {
    library_ = inProcess_;
    return true;
  }
  if (W4Os::detail::Simulating()) {
    skip = "NATS is not simulated";
    return false;
  }
  if (W4Notifier::testing::NatsServerProcess::FindProgram().empty()) {
    skip = "nats-server is not installed (apt-get install nats-server)";
    return false;
  }
  nats_ = std::make_unique<Nats>();
  std::string error;
  if (!nats_->server.Start(error)) throw std::runtime_error(error);
  nats_->options = tuning;
  nats_->options.urls = {nats_->server.Url()};
  // Short: a test waits this long for a restarted server.
  nats_->options.reconnectWaitMs = 50;
  nats_->options.reconnectJitterMs = 20;
  nats_->bridge = std::make_unique<W4Notifier::CNatsBusBridge>(nats_->options, "emulator", bus_);
  library_ = W4Notifier::ConnectNats(nats_->options);
  return true;
}

void TestTransport::KillServer() {
  nats_->server.Kill();
  nats_->bridge.reset();
}

void TestTransport::RestartServer() {
  std::string error;
  if (!nats_->server.Start(error)) throw std::runtime_error(error);
}

void TestTransport::StopBridge() { nats_->bridge.reset(); }

void TestTransport::RestartBridge() {
  nats_->bridge = std::make_unique<W4Notifier::CNatsBusBridge>(nats_->options, "emulator", bus_);
}

#else

struct TestTransport::Nats {};

bool TestTransport::Start(std::string& skip) {
  if (NatsRequested()) {
    skip = "built without NATS";
    return false;
  }
  library_ = inProcess_;
  return true;
}

#endif

bool TestTransport::NatsRequested() {
  const char* transport = std::getenv("QM_TEST_TRANSPORT");
  return transport != nullptr && std::string_view(transport) == "nats";
}

TestTransport::TestTransport(std::shared_ptr<W4Notifier::CInProcessBus> bus,
                             std::shared_ptr<W4Notifier::CInProcessConnection> inProcess)
    : bus_(std::move(bus)), inProcess_(std::move(inProcess)) {}

// The library's connection goes before the bridge, and the bridge before the
// server, so that nothing waits for a peer that is already gone.
TestTransport::~TestTransport() {
  library_.reset();
  nats_.reset();
}

std::uint16_t TestTransport::Sync() {
  // The callbacks the first round waits for may send requests of their own
  // (a conference monitor activates its new parties): the second round
  // waits for their answers, sent before its own.
  Round();
  return Round();
}

std::uint16_t TestTransport::Round() {
  // A restarted server may not be served yet: refused requests are retried.
  const auto deadline = W4Os::SteadyNow() + kPatience;
  std::optional<std::uint16_t> handle = Emulator::Sync(*library_);
  while (!handle && W4Os::SteadyNow() < deadline) {
    W4Os::SleepFor(std::chrono::milliseconds(10));
    handle = Emulator::Sync(*library_);
  }
  if (!handle) throw std::runtime_error("the emulator did not answer the sync request");
  // The bus delivers on a thread per lane of callback objects, so the answer
  // may overtake notifications to other objects; the bus's idleness says
  // when they, and those to the test's own connection, have arrived.
  bus_->WaitIdle();
  return *handle;
}

bool TestTransport::AwaitAgreement(const std::function<bool()>& agrees) {
  return testing::Within(kPatience, [&] {
    Sync();
    return agrees();
  });
}

void TestTransport::Interrupt(const std::function<void()>& meanwhile) {
#if QM_TEST_WITH_NATS
  if (nats_) {
    KillServer();
    meanwhile();
    RestartServer();
    RestartBridge();
    Sync();
    return;
  }
#endif
  inProcess_->Disconnect();
  meanwhile();
  inProcess_->Reconnect(false);
  CEmulator::ForceRenegotiation(*inProcess_);
  Sync();
}

}  // namespace QueueManager::Emulator
