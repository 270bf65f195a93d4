#pragma once

// Worker threads that run a member function of an object, with a start-up
// handshake and an optional suspended start.

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/Simulation.h"

namespace W4Os {

/// Owns one worker thread (or none). Movable, not copyable; one handle is not
/// synchronised, so Resume / Join / move must come from one thread at a time.
/// The destructor resumes a suspended thread and waits for it to end.
class QM_EXPORT CWorkerThread {
 public:
  /// No thread.
  CWorkerThread() = default;
  /// Takes the other's thread; the other holds none after.
  ///@{
  CWorkerThread(CWorkerThread&& other) noexcept = default;
  ///@}
  /// Ends this handle's own thread (as the destructor does) before taking over.
  CWorkerThread& operator=(CWorkerThread&& other) noexcept;
  CWorkerThread(const CWorkerThread&) = delete;
  CWorkerThread& operator=(const CWorkerThread&) = delete;
  ~CWorkerThread();

  /// Runs `(object->*method)()` on a new thread and returns once that thread
  /// has signalled that it runs. With `suspended` the thread then waits for
  /// Resume() before calling the method. Throws std::system_error when no
  /// thread can be created.
  /// REQUIRES: object outlives the thread; the method does not throw.
  template <class T>
  static CWorkerThread Start(T* object, void (T::*method)(), bool suspended = false) {
    return StartFunction([object, method] { (object->*method)(); }, suspended);
  }
  /// The same for any callable.
  static CWorkerThread StartFunction(std::function<void()> body, bool suspended = false);

  /// Lets a suspended thread call its method; no effect otherwise.
  void Resume();
  /// Waits until the method has returned, resuming a suspended thread first
  /// (it could never end otherwise). No effect without a thread.
  /// REQUIRES: not called on the worker thread itself.
  void Join();
  /// Lets the thread end on its own: the handle owns it no longer. For a
  /// thread that cannot be waited for where the handle goes (it may itself be
  /// waiting for the caller).
  void Detach();
  /// True while a thread is held (not joined or detached).
  ///@{
  bool Joinable() const { return thread_.joinable(); }
  ///@}
  /// The worker's id; std::thread::id() without a thread.
  std::thread::id Id() const { return thread_.get_id(); }
  /// The kernel's number for the worker (as CurrentOsThreadId() gives it on
  /// the worker), recorded by the worker before Start returned; 0 without a
  /// thread.
  std::uint64_t OsId() const;

 private:
  struct Gate;  ///< start-up and resume events shared with the thread
  void Finish() noexcept;

  std::shared_ptr<Gate> gate_;
  std::thread thread_;
};

namespace detail {
/// Throws std::system_error when a test made this start fail.
QM_EXPORT void BeforeThreadStart();
}  // namespace detail

/// A new std::thread running `body`. Every thread of the library starts here,
/// so that a test can make any one start fail as an exhausted system would.
/// Throws std::system_error when no thread can be created. During a
/// simulation the thread is one of its tasks; join it with JoinThread.
template <class Body>
std::thread StartThread(Body&& body) {
  detail::BeforeThreadStart();
  if (detail::Simulating()) {
    // Shared, so that a body that cannot be copied fits a std::function.
    auto shared = std::make_shared<std::decay_t<Body>>(std::forward<Body>(body));
    return detail::SimStartThread([shared = std::move(shared)]() mutable {
      auto run = std::move(shared);
      (*run)();
    });
  }
  return std::thread(std::forward<Body>(body));
}
/// For tests: the StartThread after the next `skipped` ones throws, once (as
/// std::thread does with EAGAIN); a negative `skipped` makes none fail.
QM_EXPORT void FailThreadStart(int skipped);

/// Identifies the calling thread.
QM_EXPORT std::thread::id CurrentThreadId();
/// The kernel's number for the calling thread, for traces.
QM_EXPORT std::uint64_t CurrentOsThreadId();

}  // namespace W4Os
