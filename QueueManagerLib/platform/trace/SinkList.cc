#include "platform/trace/SinkList.h"

#include <algorithm>
#include <thread>
#include <utility>

#include "QueueManager/Platform/Simulation.h"

namespace W4Trace {
namespace {

thread_local bool tInDispatch = false;

// Marks the current thread as running sinks for the lifetime of the object.
class CDispatchMark {
 public:
  CDispatchMark() noexcept { tInDispatch = true; }
  ~CDispatchMark() { tInDispatch = false; }
  CDispatchMark(const CDispatchMark&) = delete;
  CDispatchMark& operator=(const CDispatchMark&) = delete;
};

}  // namespace

CSinkList::CSinkList() : current_(new List()) {}

CSinkList::~CSinkList() { delete current_.load(std::memory_order_acquire); }

bool CSinkList::InDispatch() noexcept { return tInDispatch; }

// The reader publishes itself in the count of the phase it saw, then checks
// that the phase is still the same. All operations are sequentially
// consistent, so either a replacement that flips the phase sees the count
// (and waits for it), or the reader sees the new phase (and retries, then
// reads the new list).
unsigned CSinkList::EnterRead() noexcept {
  for (;;) {
    const unsigned phase = phase_.load();
    readers_[phase].fetch_add(1);
    if (phase_.load() == phase) return phase;
    readers_[phase].fetch_sub(1);
  }
}

void CSinkList::LeaveRead(unsigned phase) noexcept { readers_[phase].fetch_sub(1); }

void CSinkList::Dispatch(const CTraceRecord& record) noexcept {
  if (tInDispatch) return;
  const CDispatchMark mark;
  const unsigned phase = EnterRead();
  const List* const list = current_.load();
  for (const std::shared_ptr<ITraceSink>& sink : *list) {
    try {
      sink->Write(record);
    } catch (...) {
      // A failing sink must not take the traced code down with it.
    }
  }
  LeaveRead(phase);
}

std::unique_ptr<const CSinkList::List> CSinkList::Replace(std::unique_ptr<const List> next) {
  size_.store(next->size(), std::memory_order_relaxed);
  std::unique_ptr<const List> old(current_.exchange(next.release()));
  // Readers that entered before the flip may hold the old list; readers that
  // enter after it read the new one. Writers are serialised, so the readers
  // of the other phase were drained by the previous replacement.
  const unsigned oldPhase = phase_.load();
  phase_.store(oldPhase ^ 1u);
  while (readers_[oldPhase].load() != 0) W4Os::Yield();
  return old;
}

bool CSinkList::Add(std::shared_ptr<ITraceSink> sink) {
  if (sink == nullptr || tInDispatch) return false;
  std::unique_ptr<const List> old;
  {
    W4Os::MutexLock lock(&writerMutex_);
    const List& list = *current_.load();
    if (std::find(list.begin(), list.end(), sink) != list.end()) return false;
    auto next = std::make_unique<List>(list);
    next->push_back(std::move(sink));
    old = Replace(std::move(next));
  }
  // The old list is freed outside the lock: a sink's destructor may run here.
  return true;
}

bool CSinkList::Remove(const std::shared_ptr<ITraceSink>& sink) {
  if (sink == nullptr || tInDispatch) return false;
  std::unique_ptr<const List> old;
  {
    W4Os::MutexLock lock(&writerMutex_);
    const List& list = *current_.load();
    if (std::find(list.begin(), list.end(), sink) == list.end()) return false;
    auto next = std::make_unique<List>();
    std::copy_if(list.begin(), list.end(), std::back_inserter(*next),
                 [&sink](const std::shared_ptr<ITraceSink>& each) { return each != sink; });
    old = Replace(std::move(next));
  }
  return true;
}

}  // namespace W4Trace
