// qm_emulator as a separate process: it serves its seeded queues to the
// library over NATS and ends cleanly on SIGTERM.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "QueueManager/Platform/NatsNotifier.h"
#include "QueueManager/QueueManager.h"
#include "platform/nats/NatsServerProcess.h"

namespace {

using W4Notifier::testing::NatsServerProcess;

// qm_emulator while the object lives, its stdout read through a pipe.
class EmulatorProcess {
 public:
  ~EmulatorProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (output_ != nullptr) std::fclose(output_);
  }
  // Starts it and waits for its "serving" line (kept in `serving`); false
  // when it ended first.
  bool Start(const std::string& url) {
    int fds[2];
    if (::pipe(fds) != 0) return false;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(fds[1], STDOUT_FILENO);
      ::close(fds[0]);
      ::close(fds[1]);
      ::execl(QM_EMULATOR_PROGRAM, QM_EMULATOR_PROGRAM, "--nats", url.c_str(), "--root", "program",
              "--seed", "2", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(fds[1]);
    output_ = ::fdopen(fds[0], "r");
    char line[256];
    if (pid_ <= 0 || output_ == nullptr || std::fgets(line, sizeof line, output_) == nullptr)
      return false;
    serving = line;
    return serving.find("serving") != std::string::npos;
  }
  std::string serving;
  // Sends `signal` and returns the exit status (-1: it did not exit normally).
  int Stop(int signal) {
    ::kill(pid_, signal);
    int status = 0;
    const pid_t reaped = ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return reaped > 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  FILE* output_ = nullptr;
};

TEST(EmulatorProgramTest, ServesItsSeededQueuesAndEndsOnASignal) {
  if (NatsServerProcess::FindProgram().empty())
    GTEST_SKIP() << "nats-server is not installed (apt-get install nats-server)";
  NatsServerProcess server;
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    EmulatorProcess emulator;
    // Credentials in the URL are used, never shown.
    const std::string url =
        signal == SIGINT ? "nats://qm:s3cret@" + server.Url().substr(7) : server.Url();
    ASSERT_TRUE(emulator.Start(url));
    EXPECT_EQ(emulator.serving.find("s3cret"), std::string::npos) << emulator.serving;
    W4Notifier::CNatsOptions options;
    options.urls = {server.Url()};
    options.root = "program";
    W4Notifier::SetDefaultConnection(W4Notifier::ConnectNats(options));
    std::vector<W4Notifier::CEntityId> queues;
    QueueManager::QueryQueues(W4Notifier::eWorkgroupQueue, queues);
    EXPECT_EQ(queues, (std::vector<W4Notifier::CEntityId>{
                          W4Notifier::CEntityId(W4Notifier::eWorkgroupQueue, 1u),
                          W4Notifier::CEntityId(W4Notifier::eWorkgroupQueue, 2u)}));
    W4Notifier::SetDefaultConnection(nullptr);
    EXPECT_EQ(emulator.Stop(signal), 0);
  }
}

}  // namespace
