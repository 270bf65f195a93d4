#pragma once

// Messages of the notifier: a header (event, entity, event name) and a body of
// typed fields.

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/EntityId.h"
#include "QueueManager/Platform/Exceptions.h"
#include "QueueManager/Platform/ObjectTypes.h"

namespace W4Notifier {

namespace detail {
/// The bytes of a message body: a growable array whose growth leaves the new
/// bytes uninitialised, since a field write overwrites them at once (a byte
/// vector would zero-fill them first). Its capacity never exceeds what the
/// byte form's 32-bit length carries, so that the common write, which fits the
/// capacity, needs no size check of its own. It may start in storage that its
/// owner provides and keeps (see SharedBody), and moves to the heap when it
/// outgrows it. Not thread-safe.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  /// Starts in `storage`, `capacity` bytes that outlive this buffer.
  /// REQUIRES: `capacity` is at most the byte form's limit.
  ByteBuffer(std::uint8_t* storage, std::size_t capacity) : data_(storage), capacity_(capacity) {}
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  std::uint8_t* data() { return data_; }
  const std::uint8_t* data() const { return data_; }
  std::uint8_t operator[](std::size_t index) const { return data_[index]; }

  /// Capacity for at least `bytes` in all (at most the byte form's limit).
  void reserve(std::size_t bytes) {
    if (bytes > capacity_) Reallocate(bytes);
  }
  /// Appends `count` uninitialised bytes and returns where they start. Throws
  /// CNotifierException, changing nothing, when the bytes would outgrow the
  /// byte form.
  std::uint8_t* Grow(std::size_t count) {
    if (count > capacity_ - size_) GrowCapacity(count);
    std::uint8_t* at = data_ + size_;
    size_ += count;
    return at;
  }
  void Append(const std::uint8_t* bytes, std::size_t count) {
    if (count != 0) std::memcpy(Grow(count), bytes, count);
  }

 private:
  /// Out of line, so that the common path of Grow stays small enough to inline.
  void GrowCapacity(std::size_t count);
  void Reallocate(std::size_t capacity);

  std::uint8_t* data_ = nullptr;  // the owner's storage, or `heap_`
  std::unique_ptr<std::uint8_t[]> heap_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

/// A body shared by copies of a message, with an intrusive count of its
/// owners. A writer that finds itself the only owner writes in place; that
/// test is an acquire load paired with the acq_rel release of every other
/// owner, so whatever a copy read before it was released on another thread
/// happens before the write. (shared_ptr::use_count is a relaxed load and
/// orders nothing.)
///
/// The owners' count, the buffer and its first `capacity` bytes are one
/// allocation: most bodies never outgrow the room they are made with.
class SharedBody {
 public:
  SharedBody() = default;
  /// An empty body with room for `capacity` bytes (at most the byte form's
  /// limit; more grows on the heap as it is written).
  static SharedBody Make(std::size_t capacity);

  SharedBody(const SharedBody& other) noexcept : node_(other.node_) {
    // Relaxed: a new owner is made from an existing one, which keeps the
    // body alive meanwhile.
    if (node_ != nullptr) node_->owners.fetch_add(1, std::memory_order_relaxed);
  }
  SharedBody(SharedBody&& other) noexcept : node_(std::exchange(other.node_, nullptr)) {}
  SharedBody& operator=(SharedBody other) noexcept {
    std::swap(node_, other.node_);
    return *this;
  }
  ~SharedBody() { reset(); }

  void reset() noexcept {
    Node* node = std::exchange(node_, nullptr);
    if (node != nullptr && node->owners.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      node->~Node();
      ::operator delete(node);
    }
  }
  bool IsSoleOwner() const noexcept {
    return node_ != nullptr && node_->owners.load(std::memory_order_acquire) == 1;
  }
  explicit operator bool() const noexcept { return node_ != nullptr; }
  ByteBuffer* operator->() const noexcept { return &node_->bytes; }
  ByteBuffer& operator*() const noexcept { return node_->bytes; }

 private:
  // Followed in its allocation by the buffer's first bytes.
  struct Node {
    Node(std::uint8_t* storage, std::size_t capacity) : bytes(storage, capacity) {}
    std::atomic<std::size_t> owners{1};
    ByteBuffer bytes;
  };
  Node* node_ = nullptr;
};
}  // namespace detail

/// The type tag that every field of a message body carries.
enum class FieldType : std::uint8_t {
  kInt32 = 1,
  kUInt32 = 2,
  kInt16 = 3,
  kUInt16 = 4,
  kBool = 5,
  kUInt64 = 6,
  kNarrowString = 7,  ///< UTF-8
  kWideString = 8,    ///< UTF-16, written from a string object
  kWideText = 9,      ///< UTF-16, written from zero-terminated text
  kObjectType = 10,
  kMessage = 11,  ///< a nested message
  kBytes = 12,    ///< raw bytes
};

/// A human-readable name of a field type ("int", "wstring", ...).
QM_EXPORT std::string_view FieldTypeName(FieldType type);

/// A message: the header (event id, the entity it is addressed to or published
/// from, and an optional event name) and a body of typed fields, written with
/// `<<` and read back with `>>` in the same order.
///
/// Every field carries its type. Reading a field as another type, or past the
/// end, throws CNotifierExtractException and leaves the read position where it
/// was. 32-bit integers of either signedness and ObjectTypes read back as one
/// another, and so do the two forms of wide text; a field of another size or
/// kind does not.
///
/// Copies share the body bytes until one of them writes (copy on write), so a
/// copy is cheap; each copy has its own read position. The read position is not
/// part of a message's value: fields are read through a const reference, and
/// reading moves only that position. A CMessage object is not safe for
/// concurrent use, reading included; distinct copies are.
///
/// The system's "long" and "unsigned long" are 32-bit; this platform's are
/// 64-bit. Writing a platform long or unsigned long (size_t too) writes the
/// 32-bit int or uint field and throws CNotifierException when the value does
/// not fit, rather than cutting it. The 64-bit field is written and read as
/// unsigned long long (std::uint64_t is unsigned long here, a 32-bit field).
class QM_EXPORT CMessage {
 public:
  /// An empty message; with an event id; addressed to an entity with an event id.
  ///@{
  CMessage();
  explicit CMessage(int eventId);
  CMessage(const CEntityId& entity, int eventId);
  ///@}

  /// Header.
  ///@{
  int QueryEventId() const { return eventId_; }
  ObjectTypes QueryObjectType() const { return objectType_; }
  std::uint32_t QueryObjectId() const { return objectId_; }
  CEntityId QueryEntityId() const { return CEntityId(objectType_, objectId_, 0); }
  const std::u16string& QueryEventName() const { return eventName_; }
  void SetEventId(int eventId) { eventId_ = eventId; }
  void SetEntity(const CEntityId& entity);
  void SetEventName(std::u16string name) { eventName_ = std::move(name); }
  ///@}

  /// Writing fields.
  ///@{
  CMessage& operator<<(std::int32_t value);
  CMessage& operator<<(std::uint32_t value);
  CMessage& operator<<(long value);
  CMessage& operator<<(unsigned long value);
  CMessage& operator<<(std::int16_t value);
  CMessage& operator<<(std::uint16_t value);
  ///@}
  /// Exactly bool: a pointer (a wchar_t literal, say) must not become a bool
  /// field, so nothing converts to it.
  template <std::same_as<bool> B>
  CMessage& operator<<(B value) {
    return WriteBool(value);
  }
  ///@{
  /// Writes a field of the value's type (a string as UTF-8, a wide text as UTF-16).
  ///@{
  CMessage& operator<<(unsigned long long value);
  CMessage& operator<<(ObjectTypes value);
  CMessage& operator<<(std::string_view utf8);
  CMessage& operator<<(const std::string& utf8) { return *this << std::string_view(utf8); }
  CMessage& operator<<(const char* utf8);
  CMessage& operator<<(const std::u16string& text);
  CMessage& operator<<(std::u16string_view text);
  CMessage& operator<<(const char16_t* zeroTerminated);
  CMessage& operator<<(const unsigned short* zeroTerminated);
  CMessage& operator<<(const CMessage& nested);
  ///@}
  ///@}
  /// Writes `text` up to its first U+0000 as zero-terminated wide text: the
  /// field that `<< text.c_str()` writes for a string, without scanning a
  /// text free of U+0000 for its end code unit by code unit.
  CMessage& WriteZeroTerminated(std::u16string_view text);
  /// Raw bytes, read back with Extract.
  void Insert(const void* data, std::uint32_t size);
  /// Makes room for `bytes` more body bytes, so that writing up to that many
  /// does not reallocate; a writer that knows its size calls it first. Throws
  /// CNotifierException when the body would outgrow the byte form's 32-bit
  /// length.
  void Reserve(std::size_t bytes);

  /// Reading fields. Each throws CNotifierExtractException on a mismatch.
  /// The 32-bit integer is the commonest field of all: its common case (the
  /// tag of a 32-bit field and the whole payload present) is read inline.
  const CMessage& operator>>(std::int32_t& value) const {
    std::uint32_t bits = 0;
    if (!TryReadInt32Inline(bits)) return ReadInt32Checked(value);
    value = static_cast<std::int32_t>(bits);
    return *this;
  }
  /// Reads a 32-bit field; the common case inline.
  ///@{
  const CMessage& operator>>(std::uint32_t& value) const {
    if (!TryReadInt32Inline(value)) return ReadUInt32Checked(value);
    return *this;
  }
  ///@}
  /// A 32-bit field read as std::int32_t reads it.
  const CMessage& operator>>(long& value) const;
  /// A 32-bit field read as std::uint32_t reads it, or the 64-bit field (so
  /// that a std::uint64_t reads either).
  const CMessage& operator>>(unsigned long& value) const;
  /// Reads a 16-bit field.
  ///@{
  const CMessage& operator>>(std::int16_t& value) const;
  const CMessage& operator>>(std::uint16_t& value) const;
  ///@}
  /// Bools are the commonest field after the 32-bit integers: inline too.
  const CMessage& operator>>(bool& value) const {
    const std::size_t size = BodySize();
    if (readPos_ < size && size - readPos_ >= 2) {
      const std::uint8_t* field = body_->data() + readPos_;
      if (static_cast<FieldType>(field[0]) == FieldType::kBool && field[1] <= 1) {
        value = field[1] != 0;
        readPos_ += 2;
        return *this;
      }
    }
    return ReadBoolChecked(value);
  }
  /// The 64-bit field only.
  const CMessage& operator>>(unsigned long long& value) const;
  /// Reads a field of the value's type.
  ///@{
  const CMessage& operator>>(ObjectTypes& value) const;
  const CMessage& operator>>(std::string& utf8) const;
  const CMessage& operator>>(std::u16string& text) const;
  const CMessage& operator>>(CMessage& nested) const;
  ///@}
  /// Reads a wide text field (either form) without copying it: its code units
  /// as they lie in the body, little-endian, two bytes each and not
  /// necessarily aligned. Valid until the message is written to or destroyed.
  std::span<const std::uint8_t> ReadWideBytes() const;
  /// Reads a raw-bytes field of exactly `size` bytes into `data`.
  void Extract(void* data, std::uint32_t size) const;
  /// Reads a raw-bytes field of any size.
  void Extract(std::vector<std::uint8_t>& data) const;

  /// True when every field has been read.
  bool IsAtEndOfData() const { return readPos_ >= BodySize(); }
  /// The body bytes not read yet: a reader bounds what it reserves by them.
  std::size_t RemainingBytes() const { return readPos_ >= BodySize() ? 0 : BodySize() - readPos_; }
  /// The type of the next field; throws when none is left.
  FieldType PeekFieldType() const;
  /// Moves the read position back to the first field.
  void Rewind() const { readPos_ = 0; }
  /// The read position, for a reader of several fields that must leave the
  /// message as it was when one of them fails.
  std::size_t QueryReadPosition() const { return readPos_; }
  /// REQUIRES: `position` was returned by QueryReadPosition() of this message
  /// and no field has been written since.
  void RestoreReadPosition(std::size_t position) const { readPos_ = position; }
  /// Removes every field.
  void ClearBody();

  /// The body's fields from the start as "type value" items separated by ", ",
  /// e.g. `int 29, bool true, wstring "Xan_State"`, for tests and traces. A
  /// malformed rest of the body is shown as `<malformed>`.
  std::string DescribeFields() const;

  /// The byte form: explicit little-endian, no pointers; it travels between
  /// processes unchanged. Its lengths are 32 bits: Serialize throws
  /// CNotifierException for a body of more than 0xFFFFFFFF bytes or an event
  /// name of more than 0xFFFFFFFF code units, and so does any field write (or
  /// Reserve) that would grow the body beyond that, leaving the body as it
  /// was. Parse checks the header and every length against the bytes present
  /// and throws CNotifierExtractException when they do not fit; it never
  /// allocates more than the input holds.
  std::vector<std::uint8_t> Serialize() const;
  /// Parses the byte form (see Serialize).
  ///@{
  static CMessage Parse(std::span<const std::uint8_t> bytes);
  ///@}

  /// The body's bytes, for transports and tests.
  ///@{
  std::size_t BodySize() const { return body_ ? body_->size() : 0; }
  std::span<const std::uint8_t> BodyBytes() const;
  ///@}

 private:
  using Buffer = detail::ByteBuffer;

  /// The body, made this message's own (copied when shared) with capacity for
  /// at least `room` more bytes when it has to be created or copied.
  Buffer& MutableBody(std::size_t room = 0);
  /// Appends `size` uninitialised bytes to the body and returns where they
  /// start.
  std::uint8_t* AppendBytes(std::size_t size);
  void WriteTag(FieldType type);
  CMessage& WriteBool(bool value);
  /// Defined and used in Message.cc only.
  template <class T>
  void WriteFixed(FieldType type, T value);
  void WriteWide(FieldType type, const char16_t* text, std::size_t length);
  void WriteBlob(FieldType type, const std::uint8_t* data, std::size_t size);
  /// Checks the next field's tag and returns the position of its payload.
  std::size_t ExpectField(FieldType a, FieldType b = FieldType{}, FieldType c = FieldType{}) const;
  std::uint32_t ReadU32At(std::size_t pos) const;
  /// Returns the payload position of a length-prefixed field and its length in
  /// bytes, checked against the body.
  std::pair<std::size_t, std::size_t> BlobAt(std::size_t payloadPos, std::size_t unit) const;
  [[noreturn]] void Fail(const char* what) const;
  /// The common case of a 32-bit field of either signedness (or an object
  /// type): its tag and whole payload present. False, reading nothing,
  /// otherwise.
  bool TryReadInt32Inline(std::uint32_t& value) const {
    const std::size_t size = BodySize();
    if (readPos_ >= size || size - readPos_ < 5) return false;
    const std::uint8_t* field = body_->data() + readPos_;
    const auto tag = static_cast<FieldType>(field[0]);
    if (tag != FieldType::kInt32 && tag != FieldType::kUInt32 && tag != FieldType::kObjectType) {
      return false;
    }
    // Little-endian on the wire, whatever the host.
    value = static_cast<std::uint32_t>(field[1]) | static_cast<std::uint32_t>(field[2]) << 8 |
            static_cast<std::uint32_t>(field[3]) << 16 | static_cast<std::uint32_t>(field[4]) << 24;
    readPos_ += 5;
    return true;
  }
  /// The field reads with every check (and the failure's reason).
  const CMessage& ReadInt32Checked(std::int32_t& value) const;
  const CMessage& ReadUInt32Checked(std::uint32_t& value) const;
  const CMessage& ReadBoolChecked(bool& value) const;

  int eventId_ = 0;
  ObjectTypes objectType_ = eObjectTypeNone;
  std::uint32_t objectId_ = 0;
  std::u16string eventName_;
  detail::SharedBody body_;
  mutable std::size_t readPos_ = 0;
};

}  // namespace W4Notifier
