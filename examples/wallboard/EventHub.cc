#include "EventHub.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

namespace Wallboard {

std::optional<std::string> EventStream::Take(std::chrono::milliseconds wait) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  W4Os::MutexLock lock(&mutex_);
  while (pending_.empty() && !over_)
    if (!arrived_.WaitUntil(deadline)) break;
  if (pending_.empty() && over_) return std::nullopt;
  return std::exchange(pending_, std::string());
}

bool EventStream::Append(const std::string& event, std::size_t limit) {
  W4Os::MutexLock lock(&mutex_);
  if (over_) return true;
  if (pending_.size() + event.size() > limit) return false;
  pending_ += event;
  arrived_.SignalAll();
  return true;
}

void EventStream::Restart(const std::string& snapshot, std::size_t limit, HubCounts& counts) {
  W4Os::MutexLock lock(&mutex_);
  if (snapshot.size() <= limit) {
    pending_ = snapshot;
    ++counts.resnapped;
  } else {
    pending_.clear();
    over_ = true;
    ++counts.cut;
  }
  arrived_.SignalAll();
}

void EventStream::End() {
  W4Os::MutexLock lock(&mutex_);
  over_ = true;
  arrived_.SignalAll();
}

EventHub::EventHub(HubLimits limits) : limits_(limits) {}

std::string EventHub::Event(std::string_view type, std::uint64_t seq, std::string_view json) {
  return fmt::format("event: {}\nid: {}\ndata: {}\n\n", type, seq, json);
}

std::string EventHub::Snapshot() const {
  return Event("snapshot", seq_, SnapshotJson(view_, seq_));
}

void EventHub::Publish(WallView view) {
  W4Os::MutexLock lock(&mutex_);
  const std::string change = ChangeJson(view_, view, seq_ + 1);
  if (change.empty()) return;
  ++seq_;
  view_ = std::move(view);
  const std::string event = Event("change", seq_, change);
  std::optional<std::string> snapshot;
  for (const std::shared_ptr<EventStream>& stream : streams_) {
    if (stream->Append(event, limits_.maxQueuedBytes)) continue;
    // A client this far behind is better served by the whole view again
    // than by a backlog that only grows.
    if (!snapshot) snapshot = Snapshot();
    stream->Restart(*snapshot, limits_.maxQueuedBytes, counts_);
  }
}

std::shared_ptr<EventStream> EventHub::Open() {
  W4Os::MutexLock lock(&mutex_);
  if (closed_ || streams_.size() >= limits_.maxStreams) {
    ++counts_.refused;
    return nullptr;
  }
  auto stream = std::make_shared<EventStream>();
  // Taken before the stream is listed: no change can come between the two.
  // A view too big for one stream's bound cannot be shown at all.
  if (!stream->Append(Snapshot(), limits_.maxQueuedBytes)) {
    ++counts_.refused;
    return nullptr;
  }
  streams_.push_back(stream);
  ++counts_.opened;
  return stream;
}

void EventHub::Release(const std::shared_ptr<EventStream>& stream) {
  W4Os::MutexLock lock(&mutex_);
  std::erase(streams_, stream);
}

void EventHub::Close() {
  W4Os::MutexLock lock(&mutex_);
  closed_ = true;
  for (const std::shared_ptr<EventStream>& stream : streams_) stream->End();
}

HubCounts EventHub::Counts() const {
  W4Os::MutexLock lock(&mutex_);
  HubCounts counts = counts_;
  counts.open = streams_.size();
  return counts;
}

}  // namespace Wallboard
