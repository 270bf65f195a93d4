#pragma once

// How long a message body and an event name may be: what the byte form's
// 32-bit lengths carry.

#include <cstddef>

namespace W4Notifier::detail {

inline constexpr std::size_t kByteFormMaxLength = 0xFFFFFFFFu;

// The limit in force, in bytes of body and code units of event name:
// kByteFormMaxLength, unless a test lowered it to reach the limit without
// allocating gigabytes. Read when a body grows or a message is serialised.
std::size_t ByteFormLimit();

// Lowers the limit for its lifetime. For tests only, while no other thread
// writes messages; a body that grew before keeps the capacity it has.
class ScopedByteFormLimit {
 public:
  explicit ScopedByteFormLimit(std::size_t limit);
  ~ScopedByteFormLimit();
  ScopedByteFormLimit(const ScopedByteFormLimit&) = delete;
  ScopedByteFormLimit& operator=(const ScopedByteFormLimit&) = delete;

 private:
  std::size_t previous_;
};

}  // namespace W4Notifier::detail
