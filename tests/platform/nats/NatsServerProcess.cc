#include "platform/nats/NatsServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

namespace W4Notifier::testing {
namespace fs = std::filesystem;

namespace {

std::string ReadSmallFile(const fs::path& path) {
  std::string text;
  if (std::FILE* file = std::fopen(path.c_str(), "r")) {
    char buffer[512];
    const std::size_t size = std::fread(buffer, 1, sizeof buffer, file);
    text.assign(buffer, size);
    std::fclose(file);
  }
  return text;
}

}  // namespace

std::string NatsServerProcess::FindProgram() {
  std::string path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  path += ":/usr/sbin:/usr/local/sbin:/sbin";
  std::stringstream dirs(path);
  for (std::string dir; std::getline(dirs, dir, ':');) {
    if (dir.empty()) continue;
    const fs::path candidate = fs::path(dir) / "nats-server";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

NatsServerProcess::~NatsServerProcess() {
  Kill();
  if (!directory_.empty()) {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }
}

bool NatsServerProcess::Start(std::string& error) {
  const std::string program = FindProgram();
  if (program.empty()) {
    error = "nats-server is not installed";
    return false;
  }
  if (directory_.empty()) {
    std::string pattern = (fs::temp_directory_path() / "qm-nats-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      error = "mkdtemp failed";
      return false;
    }
    directory_ = pattern;
  }
  for (const auto& entry : fs::directory_iterator(directory_)) fs::remove(entry.path());
  const std::string port = std::to_string(port_);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ < 0) {
    error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    // The server must not outlive the test, even when the test crashes.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(1);
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, STDOUT_FILENO);
    ::dup2(devnull, STDERR_FILENO);
    ::execl(program.c_str(), program.c_str(), "-a", "127.0.0.1", "-p", port.c_str(),
            "--ports_file_dir", directory_.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return WaitForPortsFile(error);
}

bool NatsServerProcess::WaitForPortsFile(std::string& error) {
  // The server writes the file once it listens. Polled, with a deadline:
  // how long a start takes depends on the machine.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  const fs::path file = fs::path(directory_) / ("nats-server_" + std::to_string(pid_) + ".ports");
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = ReadSmallFile(file);
    const std::size_t at = text.find("nats://");
    const std::size_t end = text.find('"', at);
    if (at != std::string::npos && end != std::string::npos) {
      url_ = text.substr(at, end - at);
      port_ = std::stoi(url_.substr(url_.rfind(':') + 1));
      return true;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error = "nats-server exited at start";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  error = "nats-server did not write its ports file in time";
  Kill();
  return false;
}

void NatsServerProcess::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

}  // namespace W4Notifier::testing
