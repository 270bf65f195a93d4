#pragma once

// A nats-server child process for tests, on a free loopback port.

#include <sys/types.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "QueueManager/Platform/Simulation.h"

// Starts the NatsServerProcess `server` in a test (or a fixture's SetUp):
// skips the test when nats-server is not installed, fails it when the server
// does not start. A simulated run skips it: libnats's threads are no tasks.
#define QM_START_NATS_OR_SKIP(server)                                               \
  do {                                                                              \
    if (::W4Os::detail::Simulating()) GTEST_SKIP() << "NATS is not simulated";      \
    if (::W4Notifier::testing::NatsServerProcess::FindProgram().empty())            \
      GTEST_SKIP() << "nats-server is not installed (apt-get install nats-server)"; \
    std::string natsError;                                                          \
    ASSERT_TRUE((server).Start(natsError)) << natsError;                            \
  } while (false)

namespace W4Notifier::testing {

// Runs nats-server while the object lives. The server is killed with its
// parent (a crashed test leaves none behind). Not thread-safe.
class NatsServerProcess {
 public:
  // The nats-server program, or empty when it is not installed.
  static std::string FindProgram();

  NatsServerProcess() = default;
  ~NatsServerProcess();
  NatsServerProcess(const NatsServerProcess&) = delete;
  NatsServerProcess& operator=(const NatsServerProcess&) = delete;

  // Starts the server (on the port it had before, after a Kill) and waits
  // until it listens. Returns false with a reason in `error` on failure.
  bool Start(std::string& error);
  // Kills the server at once (as a crash would) and reaps it.
  void Kill();
  // "nats://127.0.0.1:<port>" ("tls://" when its configuration asks for
  // TLS); empty before the first Start.
  const std::string& Url() const { return url_; }
  // Makes the server a cluster node from its next Start on: it takes routes
  // on a free loopback port (ClusterUrl) and connects to `routes`, the
  // ClusterUrl of nodes already running.
  void JoinCluster(std::vector<std::string> routes);
  const std::string& ClusterUrl() const { return clusterUrl_; }
  // Runs the server with the configuration file `file` from its next Start
  // on, with `environment` ("NAME=value") added to its environment.
  void UseConfig(std::string file, std::vector<std::string> environment);

 private:
  bool WaitForPortsFile(std::string& error);
  std::vector<std::string> Arguments(const std::string& program) const;

  std::string directory_;
  std::string url_;
  std::string clusterUrl_;
  int port_ = -1;  // -1: any free port
  bool clustered_ = false;
  std::vector<std::string> routes_;
  std::string config_;
  std::vector<std::string> environment_;
  pid_t pid_ = -1;
};

// A peer on a free loopback port that greets every connection as a NATS
// server would (an INFO line) and then says nothing more. Not thread-safe.
class SilentNatsPeer {
 public:
  SilentNatsPeer();
  // Closes the connections it holds.
  ~SilentNatsPeer();
  SilentNatsPeer(const SilentNatsPeer&) = delete;
  SilentNatsPeer& operator=(const SilentNatsPeer&) = delete;
  // "nats://127.0.0.1:<port>"; empty when it could not listen.
  const std::string& Url() const { return url_; }
  // The connections it greeted so far.
  int Greeted() const { return greeted_.load(); }

 private:
  void Run();
  std::atomic<int> greeted_{0};
  int listener_ = -1;
  int stop_[2] = {-1, -1};
  std::string url_;
  std::thread thread_;
};

}  // namespace W4Notifier::testing
