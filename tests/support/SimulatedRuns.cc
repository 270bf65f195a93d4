// Runs each test of a program under the simulated scheduler when the
// environment asks for it: QM_SIMULATION_SEED=<n> runs the program's tests
// from seed n, each from a fresh scheduler; QM_SIMULATION_SEEDS=<first>-<last>
// runs the program once per seed, each in a new process, so that the seed
// that failed replays exactly with QM_SIMULATION_SEED and the same arguments.

#include <gtest/gtest.h>
#include <sys/personality.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "QueueManager/Platform/Simulation.h"

namespace {

class SimulatedRuns : public ::testing::EmptyTestEventListener {
 public:
  explicit SimulatedRuns(std::uint64_t seed) : seed_(seed) {}

  void OnTestStart(const ::testing::TestInfo&) override { W4Os::Simulation::Begin(seed_); }
  void OnTestEnd(const ::testing::TestInfo& test) override {
    const std::uint64_t steps = W4Os::Simulation::Steps();
    W4Os::Simulation::End();
    if (test.result()->Failed())
      std::fprintf(stderr,
                   "simulation seed %" PRIu64 " failed %s.%s after %" PRIu64
                   " steps; replay with QM_SIMULATION_SEED=%" PRIu64 " and the same arguments\n",
                   seed_, test.test_suite_name(), test.name(), steps, seed_);
  }

 private:
  const std::uint64_t seed_;
};

// This program's arguments, for running it again.
std::vector<std::string> Arguments() {
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> words;
  for (std::string word; std::getline(file, word, '\0');) words.push_back(word);
  return words;
}

void RunAgain(std::vector<std::string> words) {
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  execv("/proc/self/exe", argv.data());
}

// Addresses decide some choices (the delivery lane of a callback object), so
// a replay needs the same ones: the program starts again without address
// randomization. Where that is not allowed it runs on as it is.
void RunWithFixedAddresses() {
  const int persona = personality(0xffffffff);
  if (persona == -1 || (persona & ADDR_NO_RANDOMIZE) != 0) return;
  if (personality(static_cast<unsigned long>(persona) | ADDR_NO_RANDOMIZE) == -1) return;
  RunAgain(Arguments());
}

// Runs the program once per seed and ends with the outcome of all runs.
[[noreturn]] void RunEachSeed(std::uint64_t first, std::uint64_t last) {
  std::vector<std::uint64_t> failed;
  for (std::uint64_t seed = first; seed <= last; ++seed) {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      setenv("QM_SIMULATION_SEED", std::to_string(seed).c_str(), 1);
      unsetenv("QM_SIMULATION_SEEDS");
      setenv("GTEST_BRIEF", "1", 0);  // only what fails
      RunAgain(Arguments());
      std::_Exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
      failed.push_back(seed);
  }
  std::string list;
  for (const std::uint64_t seed : failed) list += " " + std::to_string(seed);
  std::fprintf(stderr, "simulated seeds %" PRIu64 "-%" PRIu64 ": %zu failed%s\n", first, last,
               failed.size(), list.c_str());
  std::exit(failed.empty() ? 0 : 1);
}

bool Install() {
  if (const char* range = std::getenv("QM_SIMULATION_SEEDS")) {
    char* dash = nullptr;
    const std::uint64_t first = std::strtoull(range, &dash, 10);
    const std::uint64_t last = *dash == '-' ? std::strtoull(dash + 1, nullptr, 10) : first;
    RunEachSeed(first, last < first ? first : last);
  }
  const char* one = std::getenv("QM_SIMULATION_SEED");
  if (one == nullptr) return false;
  RunWithFixedAddresses();
  ::testing::UnitTest::GetInstance()->listeners().Append(
      new SimulatedRuns(std::strtoull(one, nullptr, 10)));
  return true;
}

const bool installed = Install();

}  // namespace
