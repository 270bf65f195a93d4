// Queue object ids from server-allocated blocks.

#include "queue/ObjectIdBlock.h"

#include <algorithm>

#include "QueueManager/Platform/Notifier.h"
#include "requests/RequestFields.h"

namespace QueueManager {
namespace {

constexpr int kEventAllocateObjectIds = 35;
constexpr std::uint32_t kNoObject = 0xFFFFFFFFu;

}  // namespace

std::optional<CObjectIdBlock::Block> CObjectIdBlock::RequestBlock(std::int32_t blockSize) {
  W4Notifier::CRequestObject request(requests::InteractionRequestEntity(W4Notifier::kAllObjects),
                                     kEventAllocateObjectIds);
  request << blockSize;
  std::uint32_t first = 0;
  std::int32_t count = 0;
  const bool answered =
      requests::SendAndRead(request, "AllocateQueueObjectId",
                            [&](const W4Notifier::CMessage& answer) { answer >> first >> count; });
  if (!answered || count <= 0) return std::nullopt;
  // The ids first .. first + count - 1, without 0 and without wrapping round
  // to it through 0xFFFFFFFF: neither names an object.
  Block block{first, static_cast<std::uint32_t>(count)};
  if (block.first == 0) {
    block.first = 1;
    --block.count;
  }
  block.count = std::min(block.count, kNoObject - block.first);
  if (block.count == 0) return std::nullopt;
  return block;
}

std::uint32_t CObjectIdBlock::Allocate(std::int32_t blockSize) {
  std::uint32_t id = 0;
  if (!TakeOrWait(id)) return id;
  std::optional<Block> block;
  try {
    block = RequestBlock(blockSize);
  } catch (...) {
    FinishRefill(std::nullopt);  // the waiters must not wait for good
    throw;
  }
  return FinishRefill(block);
}

bool CObjectIdBlock::TakeOrWait(std::uint32_t& id) {
  W4Os::MutexLock lock(&mutex_);
  while (left_ == 0) {
    if (!refilling_) {
      refilling_ = true;
      return true;
    }
    while (refilling_) refilled_.Wait();
    // Those who waited share the refill's failure rather than each asking
    // again; a block that others used up meanwhile is asked for anew.
    if (left_ == 0 && lastRefillFailed_) return false;
  }
  id = TakeLocked();
  return false;
}

std::uint32_t CObjectIdBlock::FinishRefill(const std::optional<Block>& block) {
  W4Os::MutexLock lock(&mutex_);
  refilling_ = false;
  lastRefillFailed_ = !block;
  if (block) {
    next_ = block->first;
    left_ = block->count;
  }
  refilled_.SignalAll();
  return left_ > 0 ? TakeLocked() : 0;
}

std::uint32_t CObjectIdBlock::TakeLocked() {
  --left_;
  return next_++;
}

}  // namespace QueueManager
