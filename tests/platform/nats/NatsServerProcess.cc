#include "platform/nats/NatsServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
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

// The first URL listed under `key` in a ports file, or empty.
std::string UrlIn(const std::string& text, const std::string& key) {
  const std::size_t list = text.find("\"" + key + "\"");
  if (list == std::string::npos) return {};
  const std::size_t scheme = text.find("://", list);
  const std::size_t at = scheme == std::string::npos ? scheme : text.rfind('"', scheme) + 1;
  const std::size_t end = text.find('"', at);
  if (at == std::string::npos || end == std::string::npos) return {};
  return text.substr(at, end - at);
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
  // Built before the fork: the child only executes.
  const std::vector<std::string> arguments = Arguments(program);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** variable = environ; *variable != nullptr; ++variable) envp.push_back(*variable);
  for (std::string& variable : environment_) envp.push_back(variable.data());
  envp.push_back(nullptr);
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
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  return WaitForPortsFile(error);
}

void NatsServerProcess::UseConfig(std::string file, std::vector<std::string> environment) {
  config_ = std::move(file);
  environment_ = std::move(environment);
}

void NatsServerProcess::JoinCluster(std::vector<std::string> routes) {
  clustered_ = true;
  routes_ = std::move(routes);
}

std::vector<std::string> NatsServerProcess::Arguments(const std::string& program) const {
  std::vector<std::string> arguments{
      program, "-a", "127.0.0.1", "-p", std::to_string(port_), "--ports_file_dir", directory_};
  if (!config_.empty()) arguments.insert(arguments.end(), {"-c", config_});
  if (!clustered_) return arguments;
  // A restarted node listens for routes where it did before.
  const std::string cluster = clusterUrl_.empty() ? "nats://127.0.0.1:-1" : clusterUrl_;
  arguments.insert(arguments.end(), {"--cluster", cluster, "--cluster_name", "qm-test"});
  std::string routes;
  for (const std::string& route : routes_) routes += (routes.empty() ? "" : ",") + route;
  if (!routes.empty()) arguments.insert(arguments.end(), {"--routes", routes});
  return arguments;
}

bool NatsServerProcess::WaitForPortsFile(std::string& error) {
  // The server writes the file once it listens. Polled, with a deadline:
  // how long a start takes depends on the machine.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  const fs::path file = fs::path(directory_) / ("nats-server_" + std::to_string(pid_) + ".ports");
  while (std::chrono::steady_clock::now() < deadline) {
    const std::string text = ReadSmallFile(file);
    const std::string url = UrlIn(text, "nats");
    const std::string cluster = clustered_ ? UrlIn(text, "cluster") : std::string();
    if (!url.empty() && (!clustered_ || !cluster.empty())) {
      url_ = url;
      port_ = std::stoi(url_.substr(url_.rfind(':') + 1));
      clusterUrl_ = cluster;
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

SilentNatsPeer::SilentNatsPeer() {
  listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  auto* generic = reinterpret_cast<sockaddr*>(&address);
  if (listener_ < 0 || ::bind(listener_, generic, length) != 0 || ::listen(listener_, 16) != 0 ||
      ::getsockname(listener_, generic, &length) != 0 || ::pipe(stop_) != 0)
    return;
  url_ = "nats://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  thread_ = std::thread([this] { Run(); });
}

SilentNatsPeer::~SilentNatsPeer() {
  if (thread_.joinable()) {
    ::close(stop_[1]);
    thread_.join();
  }
  for (const int fd : {listener_, stop_[0]}) {
    if (fd >= 0) ::close(fd);
  }
}

void SilentNatsPeer::Run() {
  static constexpr char kInfo[] =
      "INFO {\"server_id\":\"silent\",\"version\":\"2.10.0\",\"proto\":1,"
      "\"headers\":true,\"max_payload\":1048576}\r\n";
  std::vector<int> peers;
  pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
  while (::poll(fds, 2, -1) > 0 && fds[1].revents == 0) {
    const int peer = ::accept(listener_, nullptr, nullptr);
    if (peer < 0) continue;
    peers.push_back(peer);
    if (::write(peer, kInfo, sizeof kInfo - 1) > 0) ++greeted_;
  }
  for (const int peer : peers) ::close(peer);
}

}  // namespace W4Notifier::testing
