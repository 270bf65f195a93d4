// The seeded scheduler: every task is a real thread, and one baton decides
// which of them runs. A task gives the baton up only at a scheduling point,
// so the order of everything the tasks share follows from the seed alone.
//
// The ready task with the highest priority runs; the running task draws a new
// priority now and then, more or less often by seed. Uniform choices at every
// point rarely keep one thread away for long, yet many faults need just that
// (an answer that arrives while its requester is still between two calls).

#include "QueueManager/Platform/Simulation.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace W4Os {

std::atomic<bool> detail::simulating{false};

namespace {

using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

// Virtual time starts at the same instant in every run, so that a replay
// reads the same clocks.
constexpr Clock::time_point kSteadyStart{std::chrono::hours(1)};
constexpr std::chrono::sys_days kSystemStart{std::chrono::year{2026} / 1 / 1};
// Each scheduling point moves time on by a step, the yield of a polling loop
// by a pause: a loop that polls against a limit then ends after a bounded
// number of turns.
constexpr Nanos kStep = std::chrono::microseconds(1);
constexpr Nanos kPause = std::chrono::microseconds(100);
// Longer than any stretch of work between two scheduling points.
constexpr auto kWatchdogLimit = std::chrono::seconds(5);

enum class State { kReady, kWaiting, kDone };

struct Task {
  explicit Task(int number) : id(number) {}
  const int id;
  std::uint64_t priority = 0;  ///< the ready task with the highest runs
  State state = State::kReady;
  const char* waitKind = "";
  const void* waitObject = nullptr;
  Clock::time_point wakeAt = Clock::time_point::max();
  bool timedOut = false;
  std::thread::id thread;
  std::condition_variable turn;  ///< signalled when the task gets the baton
};

struct Owner {
  Task* task;
  int depth;
};

// Lock order: `mutex` is the innermost lock; no real lock is taken while it
// is held (a real unlock is).
struct Scheduler {
  explicit Scheduler(std::uint64_t chosen)
      : seed(chosen), random(chosen), changeEvery(std::uint64_t{1} << (random() % 10)) {}

  std::mutex mutex;
  const std::uint64_t seed;
  std::mt19937_64 random;
  // The running task draws a new priority once in this many steps (on
  // average): 1 interleaves at nearly every point, 512 lets one task run
  // far ahead while the others wait, as a slow thread would.
  const std::uint64_t changeEvery;
  std::vector<std::unique_ptr<Task>> tasks;
  std::vector<Task*> alive;  ///< in the order of their start
  std::unordered_map<const void*, Owner> owners;
  Task* running = nullptr;
  bool freeRun = false;  ///< ended: every task runs on as a plain thread
  std::uint64_t digest = 0;
  std::atomic<std::int64_t> now{kSteadyStart.time_since_epoch().count()};
  std::atomic<std::uint64_t> steps{0};
  std::atomic<int> threads{0};  ///< task threads not yet past their last access

  std::thread watchdog;
  std::mutex watchMutex;
  std::condition_variable watchWake;
  bool watchStopping = false;
};

std::atomic<Scheduler*> active{nullptr};
// Ended simulations whose threads still ran at the end, freed once none of
// them can touch them. Never destroyed: a static vector would be destroyed
// at exit and lose them.
std::vector<Scheduler*>& Retired() {
  static auto* retired = new std::vector<Scheduler*>;
  return *retired;
}
thread_local Scheduler* mineScheduler = nullptr;
thread_local Task* mine = nullptr;

// The calling task of the running simulation, or null.
Task* Current(Scheduler*& scheduler) {
  scheduler = mineScheduler;
  if (scheduler == nullptr || scheduler != active.load(std::memory_order_acquire)) return nullptr;
  return mine;
}

std::uint64_t Mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

Clock::time_point Now(const Scheduler& s) { return Clock::time_point(Nanos(s.now.load())); }

[[noreturn]] void Report(Scheduler& s, const char* what) {
  std::string text = "simulation seed " + std::to_string(s.seed) + ", step " +
                     std::to_string(s.steps.load()) + ": " + what + "\n";
  for (Task* task : s.alive) {
    text += "  task " + std::to_string(task->id);
    if (task->state == State::kReady) {
      text += task == s.running ? " holds the baton" : " is ready";
    } else {
      char object[32];
      std::snprintf(object, sizeof object, "%p", task->waitObject);
      text += std::string(" waits for ") + task->waitKind + " " + object;
      const auto owner = s.owners.find(task->waitObject);
      if (owner != s.owners.end())
        text += " held by task " + std::to_string(owner->second.task->id);
      if (task->wakeAt != Clock::time_point::max()) text += " with a time-out";
    }
    text += "\n";
  }
  text += "replay with QM_SIMULATION_SEED=" + std::to_string(s.seed) + "\n";
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  std::_Exit(3);
}

void MakeReady(Task* task, bool timedOut) {
  task->state = State::kReady;
  task->waitObject = nullptr;
  task->wakeAt = Clock::time_point::max();
  task->timedOut = timedOut;
}

void FireTimers(Scheduler& s) {
  const auto now = Now(s);
  for (Task* task : s.alive)
    if (task->state == State::kWaiting && task->wakeAt <= now) MakeReady(task, true);
}

// The next task to run; virtual time jumps to the earliest timer when no
// task is ready.
Task* Pick(Scheduler& s) {
  FireTimers(s);
  std::vector<Task*> ready;
  for (Task* task : s.alive)
    if (task->state == State::kReady) ready.push_back(task);
  if (ready.empty()) {
    auto earliest = Clock::time_point::max();
    for (Task* task : s.alive)
      if (task->state == State::kWaiting && task->wakeAt < earliest) earliest = task->wakeAt;
    if (earliest == Clock::time_point::max())
      Report(s, "deadlock: every task waits and no timer is due");
    if (earliest > Now(s)) s.now.store(earliest.time_since_epoch().count());
    FireTimers(s);
    for (Task* task : s.alive)
      if (task->state == State::kReady) ready.push_back(task);
  }
  Task* next = *std::max_element(ready.begin(), ready.end(),
                                 [](Task* a, Task* b) { return a->priority < b->priority; });
  if (s.random() % s.changeEvery == 0) next->priority = s.random();
  s.digest = Mix(s.digest ^ static_cast<std::uint64_t>(next->id));
  s.steps.fetch_add(1, std::memory_order_relaxed);
  return next;
}

// Hands the baton on and waits until it comes back (a task that ended never
// waits).
void SwitchAway(std::unique_lock<std::mutex>& lock, Scheduler& s, Task* self) {
  if (s.freeRun) return;
  Task* next = Pick(s);
  s.running = next;
  if (next != self) next->turn.notify_one();
  if (self->state == State::kDone) return;
  self->turn.wait(lock, [&] { return s.running == self || s.freeRun; });
}

void Point(std::unique_lock<std::mutex>& lock, Scheduler& s, Task* self, Nanos advance) {
  s.now.fetch_add(advance.count());
  SwitchAway(lock, s, self);
}

// Waits until woken on `object` or until `deadline`; false on the time-out.
bool Block(std::unique_lock<std::mutex>& lock, Scheduler& s, Task* self, const char* kind,
           const void* object, const Clock::time_point* deadline) {
  self->state = State::kWaiting;
  self->waitKind = kind;
  self->waitObject = object;
  self->wakeAt = deadline != nullptr ? *deadline : Clock::time_point::max();
  self->timedOut = false;
  SwitchAway(lock, s, self);
  if (self->state == State::kWaiting) MakeReady(self, false);  // released by End
  return !self->timedOut;
}

void Wake(Scheduler& s, const void* object, bool all) {
  std::vector<Task*> waiting;
  for (Task* task : s.alive)
    if (task->state == State::kWaiting && task->waitObject == object) waiting.push_back(task);
  if (waiting.empty()) return;
  if (all) {
    for (Task* task : waiting) MakeReady(task, false);
  } else {
    MakeReady(waiting[s.random() % waiting.size()], false);
  }
}

detail::SimLock Take(std::unique_lock<std::mutex>& lock, Scheduler& s, Task* self,
                     const void* object, bool recursive, bool tryOnly) {
  for (;;) {
    if (s.freeRun) return detail::SimLock::kNotSimulated;
    const auto it = s.owners.find(object);
    if (it == s.owners.end()) {
      s.owners.emplace(object, Owner{self, 1});
      return detail::SimLock::kAcquired;
    }
    if (it->second.task == self) {
      if (!recursive) Report(s, "a task locks a mutex that it holds");
      ++it->second.depth;
      return detail::SimLock::kAcquired;
    }
    if (tryOnly) return detail::SimLock::kBusy;
    Block(lock, s, self, "mutex", object, nullptr);
  }
}

Task* NewTask(Scheduler& s) {
  s.tasks.push_back(std::make_unique<Task>(static_cast<int>(s.tasks.size())));
  s.tasks.back()->priority = s.random();
  s.alive.push_back(s.tasks.back().get());
  return s.tasks.back().get();
}

void Finish(Scheduler& s, Task* task) {
  task->state = State::kDone;
  std::erase(s.alive, task);
  Wake(s, task, true);
}

void Watch(Scheduler* s) {
  std::unique_lock lock(s->watchMutex);
  std::uint64_t seen = s->steps.load();
  auto since = Clock::now();
  while (!s->watchStopping) {
    s->watchWake.wait_for(lock, std::chrono::milliseconds(250));
    if (s->watchStopping) break;
    const std::uint64_t steps = s->steps.load();
    if (steps != seen) {
      seen = steps;
      since = Clock::now();
    } else if (Clock::now() - since > kWatchdogLimit) {
      std::lock_guard state(s->mutex);
      Report(*s,
             "a task held the baton for seconds without a scheduling point: it waits "
             "outside the simulator");
    }
  }
}

}  // namespace

detail::SimLock detail::SimAcquire(const void* lock, bool recursive, bool tryOnly) {
  Scheduler* s = nullptr;
  Task* self = Current(s);
  if (self == nullptr) return SimLock::kNotSimulated;
  std::unique_lock guard(s->mutex);
  Point(guard, *s, self, kStep);
  return Take(guard, *s, self, lock, recursive, tryOnly);
}

void detail::SimRelease(const void* lock) {
  Scheduler* s = nullptr;
  Task* self = Current(s);
  if (self == nullptr) return;
  std::unique_lock guard(s->mutex);
  if (s->freeRun) return;
  const auto it = s->owners.find(lock);
  if (it == s->owners.end() || it->second.task != self || --it->second.depth > 0) return;
  s->owners.erase(it);
  Wake(*s, lock, true);
  Point(guard, *s, self, kStep);
}

int detail::SimWait(const void* cv, const void* lock, std::mutex& real,
                    const std::chrono::steady_clock::time_point* deadline) {
  Scheduler* s = nullptr;
  Task* self = Current(s);
  if (self == nullptr) return -1;
  std::unique_lock guard(s->mutex);
  if (s->freeRun) return -1;
  real.unlock();
  const auto it = s->owners.find(lock);
  if (it != s->owners.end() && it->second.task == self) {
    s->owners.erase(it);
    Wake(*s, lock, true);
  }
  const bool signalled = Block(guard, *s, self, "condition", cv, deadline);
  Take(guard, *s, self, lock, false, false);
  guard.unlock();
  real.lock();
  return signalled ? 1 : 0;
}

void detail::SimSignal(const void* cv, bool all) {
  Scheduler* s = active.load(std::memory_order_acquire);
  if (s == nullptr) return;
  std::unique_lock guard(s->mutex);
  if (s->freeRun) return;
  Wake(*s, cv, all);
  if (mineScheduler == s && mine != nullptr) Point(guard, *s, mine, kStep);
}

std::thread detail::SimStartThread(std::function<void()> body) {
  Scheduler* s = nullptr;
  Task* self = Current(s);
  if (self == nullptr) return std::thread(std::move(body));
  Task* task = nullptr;
  {
    std::lock_guard guard(s->mutex);
    task = NewTask(*s);
  }
  s->threads.fetch_add(1);
  std::thread thread;
  try {
    thread = std::thread([s, task, body = std::move(body)]() mutable {
      {
        std::unique_lock guard(s->mutex);
        mineScheduler = s;
        mine = task;
        task->turn.wait(guard, [&] { return s->running == task || s->freeRun; });
      }
      {
        // The body's captures end with it, inside the simulation.
        auto run = std::move(body);
        run();
      }
      {
        std::unique_lock guard(s->mutex);
        Finish(*s, task);
        SwitchAway(guard, *s, task);
      }
      mine = nullptr;
      mineScheduler = nullptr;
      s->threads.fetch_sub(1, std::memory_order_release);
    });
  } catch (...) {
    std::lock_guard guard(s->mutex);
    Finish(*s, task);
    s->threads.fetch_sub(1);
    throw;
  }
  std::unique_lock guard(s->mutex);
  task->thread = thread.get_id();
  Point(guard, *s, self, kStep);
  return thread;
}

void detail::SimJoin(std::thread::id id) {
  Scheduler* s = nullptr;
  Task* self = Current(s);
  if (self == nullptr) return;
  std::unique_lock guard(s->mutex);
  for (Task* task : s->alive) {
    if (task->thread != id) continue;
    while (task->state != State::kDone && !s->freeRun)
      Block(guard, *s, self, "join", task, nullptr);
    return;
  }
}

std::chrono::steady_clock::time_point SteadyNow() {
  if (detail::Simulating())
    if (const Scheduler* s = active.load(std::memory_order_acquire)) return Now(*s);
  return Clock::now();
}

std::chrono::system_clock::time_point SystemNow() {
  if (detail::Simulating())
    if (const Scheduler* s = active.load(std::memory_order_acquire))
      return std::chrono::system_clock::time_point(kSystemStart) +
             std::chrono::duration_cast<std::chrono::system_clock::duration>(Now(*s) -
                                                                             kSteadyStart);
  return std::chrono::system_clock::now();
}

void Yield() {
  Scheduler* s = nullptr;
  Task* self = detail::Simulating() ? Current(s) : nullptr;
  if (self == nullptr) {
    std::this_thread::yield();
    return;
  }
  std::unique_lock guard(s->mutex);
  // A polling task waits for another: it goes behind every task that is not
  // polling (whose priorities take all 64 bits), or it could keep the one it
  // waits for away for ever.
  self->priority = s->random() >> 32;
  Point(guard, *s, self, kPause);
}

void SleepFor(std::chrono::nanoseconds duration) {
  Scheduler* s = nullptr;
  Task* self = detail::Simulating() ? Current(s) : nullptr;
  if (self == nullptr) {
    std::this_thread::sleep_for(duration);
    return;
  }
  std::unique_lock guard(s->mutex);
  const auto deadline = Now(*s) + duration;
  Block(guard, *s, self, "sleep", nullptr, &deadline);
}

void JoinThread(std::thread& thread) {
  if (detail::Simulating()) detail::SimJoin(thread.get_id());
  thread.join();
}

void Simulation::Begin(std::uint64_t seed) {
  std::erase_if(Retired(), [](Scheduler* old) {
    if (old->threads.load(std::memory_order_acquire) != 0) return false;
    delete old;
    return true;
  });
  auto* s = new Scheduler(seed);
  Task* first = NewTask(*s);
  first->thread = std::this_thread::get_id();
  s->running = first;
  mineScheduler = s;
  mine = first;
  active.store(s, std::memory_order_release);
  detail::simulating.store(true);
  s->watchdog = std::thread(Watch, s);
}

// The scheduler stays allocated while a task that outlives the run may still
// refer to it.
void Simulation::End() {
  Scheduler* s = active.load();
  if (s == nullptr) return;
  {
    std::lock_guard guard(s->watchMutex);
    s->watchStopping = true;
  }
  s->watchWake.notify_all();
  s->watchdog.join();
  {
    std::lock_guard guard(s->mutex);
    s->freeRun = true;
    s->owners.clear();
    for (Task* task : s->alive) task->turn.notify_all();
  }
  // A thread that ends unjoined (detached) would otherwise still run while
  // the next simulation starts, a choice of the real scheduler in its run.
  const auto limit = Clock::now() + std::chrono::seconds(1);
  while (s->threads.load() != 0 && Clock::now() < limit) std::this_thread::yield();
  detail::simulating.store(false);
  active.store(nullptr, std::memory_order_release);
  mineScheduler = nullptr;
  mine = nullptr;
  if (s->threads.load(std::memory_order_acquire) == 0) {
    delete s;
  } else {
    Retired().push_back(s);
  }
}

std::uint64_t Simulation::Seed() {
  const Scheduler* s = active.load();
  return s != nullptr ? s->seed : 0;
}

std::uint64_t Simulation::TraceDigest() {
  Scheduler* s = active.load();
  if (s == nullptr) return 0;
  std::lock_guard guard(s->mutex);
  return s->digest;
}

std::uint64_t Simulation::Steps() {
  const Scheduler* s = active.load();
  return s != nullptr ? s->steps.load() : 0;
}

}  // namespace W4Os
