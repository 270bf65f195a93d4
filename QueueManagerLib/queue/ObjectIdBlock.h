#pragma once

// The block of queue object ids that the server allocates (library-internal).

#include <cstdint>
#include <optional>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace QueueManager {

// Hands out queue object ids from blocks that the server allocates.
// Thread-safe: one lock (a leaf: nothing else is taken under it, and the
// server is asked without it) guards the block. A caller that finds the
// block empty while another refills it waits for that refill instead of
// asking again, so each block costs one request. The process-wide instance
// is AllocateQueueObjectId's; tests make their own.
class CObjectIdBlock {
 public:
  // An id of the block, asking the server (entity (30, 0xFFFFFFFF), event
  // 35) for `blockSize` more when it is used up; 0 when the request fails,
  // also for every caller that waited for that failed request.
  std::uint32_t Allocate(std::int32_t blockSize);

 private:
  struct Block {
    std::uint32_t first = 0;
    std::uint32_t count = 0;
  };
  // The server's block, with 0 and 0xFFFFFFFF cut off; nothing when the
  // request fails or the block holds no usable id.
  static std::optional<Block> RequestBlock(std::int32_t blockSize);
  // True when the caller is to refill; otherwise `id` is its answer.
  bool TakeOrWait(std::uint32_t& id);
  std::uint32_t FinishRefill(const std::optional<Block>& block);
  std::uint32_t TakeLocked() QM_EXCLUSIVE_LOCKS_REQUIRED(mutex_);

  W4Os::Mutex mutex_;
  W4Os::CondVar refilled_{&mutex_};
  std::uint32_t next_ QM_GUARDED_BY(mutex_) = 0;
  std::uint32_t left_ QM_GUARDED_BY(mutex_) = 0;
  bool refilling_ QM_GUARDED_BY(mutex_) = false;
  bool lastRefillFailed_ QM_GUARDED_BY(mutex_) = false;
};

}  // namespace QueueManager
