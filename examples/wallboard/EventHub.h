#pragma once

// The wallboard's Server-Sent Events: the current view, and one bounded
// queue of event text per open stream.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"
#include "WallView.h"

namespace Wallboard {

struct HubLimits {
  std::size_t maxStreams = 32;
  // Per stream: past this, its backlog is dropped for a fresh snapshot.
  std::size_t maxQueuedBytes = 256 * 1024;
};

struct HubCounts {
  std::size_t open = 0;
  std::uint64_t opened = 0;
  std::uint64_t refused = 0;    // streams not opened: too many
  std::uint64_t resnapped = 0;  // backlogs dropped for a snapshot
  std::uint64_t cut = 0;        // streams ended: even a snapshot did not fit
};

class EventHub;

// One client's stream. Thread-safe: the hub appends from the publishing
// thread while the serving thread takes. Shared by the hub and its server.
class EventStream {
 public:
  // The event text queued, waiting up to `wait` for some; empty when none
  // came (time for a heartbeat), nullopt once the stream is over.
  std::optional<std::string> Take(std::chrono::milliseconds wait);

 private:
  friend class EventHub;
  // Queues `event`; false, queueing nothing, when it would pass `limit`.
  bool Append(const std::string& event, std::size_t limit);
  // Replaces the backlog with `snapshot`, or ends the stream when even that
  // passes `limit`.
  void Restart(const std::string& snapshot, std::size_t limit, HubCounts& counts);
  void End();

  // Taken after the hub's lock, never before it.
  W4Os::Mutex mutex_;
  W4Os::CondVar arrived_{&mutex_};
  std::string pending_ QM_GUARDED_BY(mutex_);
  bool over_ QM_GUARDED_BY(mutex_) = false;
};

// Keeps the view the page is told about and hands its changes to every
// open stream, in one order: a stream opens with a snapshot of the view at
// that moment and then gets every change after it. Thread-safe.
class EventHub {
 public:
  explicit EventHub(HubLimits limits = {});

  // Makes `view` the current one; its difference goes to every stream.
  void Publish(WallView view);
  // A new stream, its snapshot queued; null when maxStreams are open or the
  // hub is closed.
  std::shared_ptr<EventStream> Open();
  // Forgets a stream (its client left).
  void Release(const std::shared_ptr<EventStream>& stream);
  // Ends every stream and refuses new ones.
  void Close();
  HubCounts Counts() const;

  // One SSE event: "event: <type>\nid: <seq>\ndata: <json>\n\n".
  static std::string Event(std::string_view type, std::uint64_t seq, std::string_view json);

 private:
  std::string Snapshot() const QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  const HubLimits limits_;
  // Lock order: the hub's, then a stream's.
  mutable W4Os::Mutex mutex_;
  WallView view_ QM_GUARDED_BY(mutex_);
  std::uint64_t seq_ QM_GUARDED_BY(mutex_) = 0;
  std::vector<std::shared_ptr<EventStream>> streams_ QM_GUARDED_BY(mutex_);
  bool closed_ QM_GUARDED_BY(mutex_) = false;
  HubCounts counts_ QM_GUARDED_BY(mutex_);
};

}  // namespace Wallboard
