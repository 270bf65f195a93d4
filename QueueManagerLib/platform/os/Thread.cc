// Worker threads: start-up handshake, suspended start, and an end that never
// terminates the process.

#include "QueueManager/Platform/Thread.h"

#include <unistd.h>

#include <atomic>
#include <system_error>
#include <utility>

#include "QueueManager/Platform/Sync.h"

namespace W4Os {
namespace {

// Starts left before the one that fails; -1: none fails.
std::atomic<int> startsBeforeFailure{-1};

}  // namespace

void detail::BeforeThreadStart() {
  int left = startsBeforeFailure.load(std::memory_order_relaxed);
  while (left >= 0 && !startsBeforeFailure.compare_exchange_weak(left, left - 1)) {
  }
  if (left == 0)
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
}

void FailThreadStart(int skipped) { startsBeforeFailure.store(skipped < 0 ? -1 : skipped); }

struct CWorkerThread::Gate {
  explicit Gate(bool suspended) : resume(/*manualReset=*/true, /*initiallySignalled=*/!suspended) {}
  CEvent running{/*manualReset=*/true};
  CEvent resume;
  // Written by the worker before it sets `running`, read by others only
  // after `running` was set: the event orders the accesses.
  std::uint64_t osThreadId = 0;
};

CWorkerThread CWorkerThread::StartFunction(std::function<void()> body, bool suspended) {
  CWorkerThread worker;
  worker.gate_ = std::make_shared<Gate>(suspended);
  // The thread holds its own reference to the gate: a handle that is moved
  // or that detaches in its destructor must not pull it away.
  worker.thread_ = StartThread([gate = worker.gate_, body = std::move(body)] {
    gate->osThreadId = CurrentOsThreadId();
    gate->running.Set();
    gate->resume.Wait();
    body();
  });
  worker.gate_->running.Wait();
  return worker;
}

CWorkerThread& CWorkerThread::operator=(CWorkerThread&& other) noexcept {
  if (this != &other) {
    Finish();
    gate_ = std::move(other.gate_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

CWorkerThread::~CWorkerThread() { Finish(); }

std::uint64_t CWorkerThread::OsId() const { return gate_ ? gate_->osThreadId : 0; }

void CWorkerThread::Resume() {
  if (gate_) gate_->resume.Set();
}

void CWorkerThread::Detach() {
  if (!thread_.joinable()) return;
  Resume();
  thread_.detach();
}

void CWorkerThread::Join() {
  if (!thread_.joinable()) return;
  Resume();
  JoinThread(thread_);
}

// A thread cannot join itself; when the worker drops its own handle it is
// detached instead and ends on its own.
void CWorkerThread::Finish() noexcept {
  if (!thread_.joinable()) return;
  Resume();
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    JoinThread(thread_);
  }
}

std::thread::id CurrentThreadId() { return std::this_thread::get_id(); }

std::uint64_t CurrentOsThreadId() { return static_cast<std::uint64_t>(::gettid()); }

}  // namespace W4Os
