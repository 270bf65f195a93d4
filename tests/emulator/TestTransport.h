#pragma once

// The transport an end-to-end test runs on. By default the library's
// connection is on the emulator's in-process bus; with QM_TEST_TRANSPORT=nats
// the test starts a nats-server of its own, puts the emulator's bus on it
// with a CNatsBusBridge and connects the library to NATS alone, so that every
// request, answer and notification the library sees crosses the server.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "QueueManager/Platform/InProcessNotifier.h"

#if QM_TEST_WITH_NATS
#include "QueueManager/Platform/NatsNotifier.h"
#include "platform/nats/NatsServerProcess.h"
#endif

namespace QueueManager::Emulator {

// Driven by the test's main thread only; Sync and the connections it hands
// out may be used from any thread. Owns the NATS server, the bridge and the
// library's NATS connection.
class TestTransport {
 public:
  // Whether the environment asks for NATS.
  static bool NatsRequested();

  TestTransport(std::shared_ptr<W4Notifier::CInProcessBus> bus,
                std::shared_ptr<W4Notifier::CInProcessConnection> inProcess);
  ~TestTransport();

  // Makes the library's connection. False with `skip` set when NATS is asked
  // for and nats-server is not installed; any other failure throws. `tuning`
  // sets the NATS options other than the server's URL.
#if QM_TEST_WITH_NATS
  bool Start(std::string& skip, const W4Notifier::CNatsOptions& tuning = {},
             bool nats = NatsRequested());
#else
  bool Start(std::string& skip);
#endif
  bool IsNats() const { return static_cast<bool>(nats_); }
  const std::shared_ptr<W4Notifier::CNotifierConnection>& Library() const { return library_; }

  // Waits until the library's connection (and the test's own in-process one)
  // has delivered every notification the emulator published before. Returns
  // the handle the emulator knows the library's connection by.
  std::uint16_t Sync();
  // Sync until `agrees` holds (it may take a reload after a renegotiation),
  // at most 10 s; returns whether it came to hold.
  bool AwaitAgreement(const std::function<bool()>& agrees);
  // Cuts the library off the server, runs `meanwhile` (its notifications
  // are lost to the library), then restores the connection, which
  // renegotiates. Over NATS the server is killed and restarted on its port,
  // and the bridge with it.
  void Interrupt(const std::function<void()>& meanwhile);

#if QM_TEST_WITH_NATS
  W4Notifier::CNatsOptions NatsOptions() const;
  W4Notifier::testing::NatsServerProcess& Server();
  // The NATS side alone: kills the server and the bridge; restarts the
  // server on its port; starts the bridge again.
  void KillServer();
  void RestartServer();
  void RestartBridge();
  // Ends the bridge alone, as a server process that dies would.
  void StopBridge();
#endif

 private:
  struct Nats;
  std::uint16_t Round();
  std::shared_ptr<W4Notifier::CInProcessBus> bus_;
  std::shared_ptr<W4Notifier::CInProcessConnection> inProcess_;
  std::shared_ptr<W4Notifier::CNotifierConnection> library_;
  std::unique_ptr<Nats> nats_;
};

}  // namespace QueueManager::Emulator
