#pragma once

// The list of trace sinks, read without a lock by every trace.

#include <atomic>
#include <memory>
#include <vector>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "QueueManager/Platform/Trace.h"

namespace W4Trace {

// Holds the sinks in an immutable list that Add and Remove replace as a
// whole. Thread-safe. Dispatch takes no lock: it registers itself in one of
// two reader counts, chosen by a phase bit that every replacement flips; a
// replacement then waits until the count of the old phase drains, so that
// when Add or Remove returns no trace uses the old list any more and a removed
// sink is not called again.
class CSinkList {
 public:
  CSinkList();
  ~CSinkList();
  CSinkList(const CSinkList&) = delete;
  CSinkList& operator=(const CSinkList&) = delete;

  // False when `sink` is null or already present, or when called from a
  // sink's Write on this thread (waiting there would never end).
  bool Add(std::shared_ptr<ITraceSink> sink) QM_LOCKS_EXCLUDED(writerMutex_);
  // False when `sink` is not present, or when called from a sink's Write.
  bool Remove(const std::shared_ptr<ITraceSink>& sink) QM_LOCKS_EXCLUDED(writerMutex_);

  // True when there is at least one sink; lets a trace skip formatting.
  bool Empty() const noexcept { return size_.load(std::memory_order_relaxed) == 0; }
  // Calls every sink with `record`. Records written from within a sink on the
  // same thread are dropped. Exceptions of sinks are swallowed.
  void Dispatch(const CTraceRecord& record) noexcept;
  // True while this thread is inside Dispatch.
  static bool InDispatch() noexcept;

 private:
  using List = std::vector<std::shared_ptr<ITraceSink>>;

  // Registers a reader; returns the phase to pass to LeaveRead.
  unsigned EnterRead() noexcept;
  void LeaveRead(unsigned phase) noexcept;
  // Publishes `next` and returns the old list once no reader can hold it.
  std::unique_ptr<const List> Replace(std::unique_ptr<const List> next)
      QM_EXCLUSIVE_LOCKS_REQUIRED(writerMutex_);

  std::atomic<const List*> current_;
  std::atomic<std::size_t> size_{0};
  std::atomic<unsigned> phase_{0};
  std::atomic<long> readers_[2] = {0, 0};
  W4Os::Mutex writerMutex_;
};

}  // namespace W4Trace
