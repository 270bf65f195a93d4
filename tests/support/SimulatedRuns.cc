// Runs each test of a program under the simulated scheduler when the
// environment asks for it: QM_SIMULATION_SEED=<n> runs every test once from
// seed n, QM_SIMULATION_SEEDS=<first>-<last> runs all of them once per seed
// (as --gtest_repeat does). A failing test names the seed that replays it.

#include <gtest/gtest.h>
#include <sys/personality.h>
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
  SimulatedRuns(std::uint64_t first, std::uint64_t count) : first_(first), count_(count) {}

  void OnTestProgramStart(const ::testing::UnitTest&) override {
    if (count_ > 1) GTEST_FLAG_SET(repeat, static_cast<int>(count_));
  }
  void OnTestProgramEnd(const ::testing::UnitTest&) override {
    std::fprintf(stderr,
                 "simulated %" PRIu64 " test runs from seeds %" PRIu64 "-%" PRIu64 ", %" PRIu64
                 " scheduling steps\n",
                 runs_, first_, first_ + count_ - 1, allSteps_);
  }
  void OnTestIterationStart(const ::testing::UnitTest&, int iteration) override {
    seed_ = first_ + static_cast<std::uint64_t>(iteration);
  }
  void OnTestStart(const ::testing::TestInfo&) override { W4Os::Simulation::Begin(seed_); }
  void OnTestEnd(const ::testing::TestInfo& test) override {
    const std::uint64_t steps = W4Os::Simulation::Steps();
    W4Os::Simulation::End();
    ++runs_;
    allSteps_ += steps;
    if (test.result()->Failed())
      std::fprintf(stderr,
                   "simulation seed %" PRIu64 " failed %s.%s after %" PRIu64
                   " steps; replay with QM_SIMULATION_SEED=%" PRIu64 " --gtest_filter=%s.%s\n",
                   seed_, test.test_suite_name(), test.name(), steps, seed_, test.test_suite_name(),
                   test.name());
  }

 private:
  const std::uint64_t first_;
  const std::uint64_t count_;
  std::uint64_t seed_ = 0;
  std::uint64_t runs_ = 0;
  std::uint64_t allSteps_ = 0;
};

// Addresses decide some choices (the delivery lane of a callback object), so
// a replay needs the same ones: the program starts again without address
// randomization. Where that is not allowed it runs on as it is.
void RunWithFixedAddresses() {
  const int persona = personality(0xffffffff);
  if (persona == -1 || (persona & ADDR_NO_RANDOMIZE) != 0) return;
  if (personality(static_cast<unsigned long>(persona) | ADDR_NO_RANDOMIZE) == -1) return;
  std::ifstream file("/proc/self/cmdline", std::ios::binary);
  std::vector<std::string> words;
  for (std::string word; std::getline(file, word, '\0');) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  execv("/proc/self/exe", argv.data());
}

bool Install() {
  std::uint64_t first = 0;
  std::uint64_t last = 0;
  if (const char* one = std::getenv("QM_SIMULATION_SEED")) {
    first = last = std::strtoull(one, nullptr, 10);
  } else if (const char* range = std::getenv("QM_SIMULATION_SEEDS")) {
    char* dash = nullptr;
    first = std::strtoull(range, &dash, 10);
    last = *dash == '-' ? std::strtoull(dash + 1, nullptr, 10) : first;
  } else {
    return false;
  }
  if (last < first) last = first;
  RunWithFixedAddresses();
  ::testing::UnitTest::GetInstance()->listeners().Append(
      new SimulatedRuns(first, last - first + 1));
  return true;
}

const bool installed = Install();

}  // namespace
