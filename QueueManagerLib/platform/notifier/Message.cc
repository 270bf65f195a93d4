#include "QueueManager/Platform/Message.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fmt/format.h>

#include "QueueManager/Platform/Text.h"
#include "platform/notifier/ByteFormLimit.h"
#include "platform/notifier/ByteOrder.h"

namespace W4Notifier {
namespace {

using detail::LoadLittleEndian;
using detail::StoreLittleEndian;

constexpr std::size_t kTagSize = 1;
constexpr std::size_t kLengthSize = 4;
constexpr std::size_t kInitialBodyCapacity = 128;

std::atomic<std::size_t> byteFormLimit{detail::kByteFormMaxLength};

[[noreturn]] void ThrowBodyTooLarge() {
  throw CNotifierException("message body too large for its byte form");
}

std::size_t FixedPayloadSize(FieldType type) {
  switch (type) {
    case FieldType::kInt32:
    case FieldType::kUInt32:
    case FieldType::kObjectType:
      return 4;
    case FieldType::kInt16:
    case FieldType::kUInt16:
      return 2;
    case FieldType::kBool:
      return 1;
    case FieldType::kUInt64:
      return 8;
    default:
      return 0;
  }
}

// The length of `text` up to its first U+0000, found several code units at
// a time (a wide text is written far more often than it holds a zero).
std::size_t LengthBeforeZero(std::u16string_view text) {
  std::size_t at = 0;
#if defined(__SSE2__)
  // Eight code units per step, each 16-bit lane compared with zero; the
  // last step overlaps the one before so that no tail is left.
  if (text.size() >= 8) {
    const auto firstZeroFrom = [&text](std::size_t from) -> std::size_t {
      const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + from));
      const auto lanes =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi16(units, _mm_setzero_si128())));
      return lanes == 0 ? text.size()
                        : from + static_cast<std::size_t>(std::countr_zero(lanes)) / 2;
    };
    for (; text.size() - at > 8; at += 8) {
      const std::size_t zero = firstZeroFrom(at);
      if (zero != text.size()) return zero;
    }
    return firstZeroFrom(text.size() - 8);
  }
#else
  // Four code units at a time: the test below is non-zero exactly when some
  // 16-bit lane of `word` is zero.
  constexpr std::uint64_t kLaneOnes = 0x0001000100010001u;
  constexpr std::uint64_t kLaneTops = 0x8000800080008000u;
  for (; text.size() - at >= 4; at += 4) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + at, sizeof word);
    if (((word - kLaneOnes) & ~word & kLaneTops) != 0) break;
  }
#endif
  const std::size_t zero = text.find(u'\0', at);
  return zero == std::u16string_view::npos ? text.size() : zero;
}

bool IsKnownTag(std::uint8_t tag) {
  return tag >= static_cast<std::uint8_t>(FieldType::kInt32) &&
         tag <= static_cast<std::uint8_t>(FieldType::kBytes);
}

}  // namespace

std::size_t detail::ByteFormLimit() { return byteFormLimit.load(std::memory_order_relaxed); }

detail::ScopedByteFormLimit::ScopedByteFormLimit(std::size_t limit)
    : previous_(byteFormLimit.exchange(limit, std::memory_order_relaxed)) {}

detail::ScopedByteFormLimit::~ScopedByteFormLimit() {
  byteFormLimit.store(previous_, std::memory_order_relaxed);
}

std::string_view FieldTypeName(FieldType type) {
  switch (type) {
    case FieldType::kInt32:
      return "int";
    case FieldType::kUInt32:
      return "uint";
    case FieldType::kInt16:
      return "short";
    case FieldType::kUInt16:
      return "ushort";
    case FieldType::kBool:
      return "bool";
    case FieldType::kUInt64:
      return "uint64";
    case FieldType::kNarrowString:
      return "string";
    case FieldType::kWideString:
      return "wstring";
    case FieldType::kWideText:
      return "wtext";
    case FieldType::kObjectType:
      return "objtype";
    case FieldType::kMessage:
      return "message";
    case FieldType::kBytes:
      return "bytes";
  }
  return "unknown";
}

CMessage::CMessage() = default;

CMessage::CMessage(int eventId) : eventId_(eventId) {}

CMessage::CMessage(const CEntityId& entity, int eventId) : eventId_(eventId) { SetEntity(entity); }

void CMessage::SetEntity(const CEntityId& entity) {
  objectType_ = entity.QueryObjectType();
  objectId_ = entity.QueryObjectId();
}

CMessage::Buffer& CMessage::MutableBody(std::size_t room) {
  if (body_.IsSoleOwner()) return *body_;
  // A new body, or a private copy of a shared one, starts with room for a
  // typical request, so that small messages grow without reallocating.
  const std::size_t used = BodySize();
  auto owned = detail::SharedBody::Make(std::max(kInitialBodyCapacity, used + room));
  if (used != 0) owned->Append(body_->data(), used);
  body_ = std::move(owned);
  return *body_;
}

std::span<const std::uint8_t> CMessage::BodyBytes() const {
  if (!body_) return {};
  return {body_->data(), body_->size()};
}

void CMessage::ClearBody() {
  body_.reset();
  readPos_ = 0;
}

// ---- writing ----

void detail::ByteBuffer::GrowCapacity(std::size_t count) {
  const std::size_t limit = ByteFormLimit();
  if (size_ > limit || count > limit - size_) ThrowBodyTooLarge();
  Reallocate(std::max(size_ + count, capacity_ * 2));
}

void detail::ByteBuffer::Reallocate(std::size_t capacity) {
  // Never beyond the limit, so that a write that fits the capacity fits the
  // byte form (a body copied from a larger one keeps its size).
  capacity = std::min(capacity, std::max(ByteFormLimit(), size_));
  if (capacity <= capacity_) return;
  auto grown = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  if (size_ != 0) std::memcpy(grown.get(), data_, size_);
  heap_ = std::move(grown);
  data_ = heap_.get();
  capacity_ = capacity;
}

detail::SharedBody detail::SharedBody::Make(std::size_t capacity) {
  // Within the limit, as ByteBuffer's capacity always is.
  capacity = std::min(capacity, ByteFormLimit());
  void* const block = ::operator new(sizeof(Node) + capacity);
  SharedBody body;
  body.node_ = new (block) Node(static_cast<std::uint8_t*>(block) + sizeof(Node), capacity);
  return body;
}

// Every write appends to a body that this message owns alone (copies share it
// until one of them writes). Growing without zero-filling and a Reserve() by
// writers that know their size keep a field write to a capacity check and a
// few stores.

void CMessage::Reserve(std::size_t bytes) {
  const std::size_t limit = detail::ByteFormLimit();
  if (BodySize() > limit || bytes > limit - BodySize()) ThrowBodyTooLarge();
  Buffer& body = MutableBody(bytes);
  body.reserve(body.size() + bytes);
}

// Inline here, so that every field writer below reaches the owned-body check
// and the capacity check without a call.
inline std::uint8_t* CMessage::AppendBytes(std::size_t size) {
  if (body_.IsSoleOwner()) [[likely]] {
    return body_->Grow(size);
  }
  return MutableBody().Grow(size);
}

// A tag and a fixed-size little-endian value: two stores into reserved room.
template <class T>
inline void CMessage::WriteFixed(FieldType type, T value) {
  std::uint8_t* out = AppendBytes(kTagSize + sizeof(T));
  out[0] = static_cast<std::uint8_t>(type);
  StoreLittleEndian<T>(out + kTagSize, value);
}

// The body's limit bounds every field's length too (Grow refuses a field that
// would cross it), so the 32-bit length prefixes below cannot truncate.

void CMessage::WriteWide(FieldType type, const char16_t* text, std::size_t length) {
  std::uint8_t* out = AppendBytes(kTagSize + kLengthSize + length * 2);
  out[0] = static_cast<std::uint8_t>(type);
  StoreLittleEndian<std::uint32_t>(out + kTagSize, static_cast<std::uint32_t>(length));
  detail::StoreUtf16(out + kTagSize + kLengthSize, text, length);
}

void CMessage::WriteBlob(FieldType type, const std::uint8_t* data, std::size_t size) {
  std::uint8_t* out = AppendBytes(kTagSize + kLengthSize + size);
  out[0] = static_cast<std::uint8_t>(type);
  StoreLittleEndian<std::uint32_t>(out + kTagSize, static_cast<std::uint32_t>(size));
  if (size != 0) std::memcpy(out + kTagSize + kLengthSize, data, size);
}

CMessage& CMessage::operator<<(std::int32_t value) {
  WriteFixed(FieldType::kInt32, value);
  return *this;
}

CMessage& CMessage::operator<<(std::uint32_t value) {
  WriteFixed(FieldType::kUInt32, value);
  return *this;
}

CMessage& CMessage::operator<<(long value) {
  if (value < std::numeric_limits<std::int32_t>::min() ||
      value > std::numeric_limits<std::int32_t>::max()) {
    throw CNotifierException(fmt::format("long {} does not fit a 32-bit int field", value));
  }
  WriteFixed(FieldType::kInt32, static_cast<std::int32_t>(value));
  return *this;
}

CMessage& CMessage::operator<<(unsigned long value) {
  if (value > std::numeric_limits<std::uint32_t>::max()) {
    throw CNotifierException(
        fmt::format("unsigned long {} does not fit a 32-bit uint field", value));
  }
  WriteFixed(FieldType::kUInt32, static_cast<std::uint32_t>(value));
  return *this;
}

CMessage& CMessage::operator<<(std::int16_t value) {
  WriteFixed(FieldType::kInt16, value);
  return *this;
}

CMessage& CMessage::operator<<(std::uint16_t value) {
  WriteFixed(FieldType::kUInt16, value);
  return *this;
}

CMessage& CMessage::WriteBool(bool value) {
  WriteFixed(FieldType::kBool, static_cast<std::uint8_t>(value ? 1 : 0));
  return *this;
}

static_assert(sizeof(unsigned long long) == 8,
              "the 64-bit field is written from unsigned long long");

CMessage& CMessage::operator<<(unsigned long long value) {
  WriteFixed(FieldType::kUInt64, static_cast<std::uint64_t>(value));
  return *this;
}

CMessage& CMessage::operator<<(ObjectTypes value) {
  WriteFixed(FieldType::kObjectType, static_cast<std::int32_t>(value));
  return *this;
}

CMessage& CMessage::operator<<(std::string_view utf8) {
  WriteBlob(FieldType::kNarrowString, reinterpret_cast<const std::uint8_t*>(utf8.data()),
            utf8.size());
  return *this;
}

CMessage& CMessage::operator<<(const char* utf8) {
  return *this << std::string_view(utf8 == nullptr ? "" : utf8);
}

CMessage& CMessage::operator<<(const std::u16string& text) {
  WriteWide(FieldType::kWideString, text.data(), text.size());
  return *this;
}

CMessage& CMessage::operator<<(std::u16string_view text) {
  WriteWide(FieldType::kWideString, text.data(), text.size());
  return *this;
}

CMessage& CMessage::operator<<(const char16_t* zeroTerminated) {
  const std::size_t length = W4Os::WideLength(zeroTerminated);
  WriteWide(FieldType::kWideText, zeroTerminated, length);
  return *this;
}

CMessage& CMessage::WriteZeroTerminated(std::u16string_view text) {
  WriteWide(FieldType::kWideText, text.data(), LengthBeforeZero(text));
  return *this;
}

CMessage& CMessage::operator<<(const unsigned short* zeroTerminated) {
  static_assert(sizeof(unsigned short) == sizeof(char16_t));
  return *this << reinterpret_cast<const char16_t*>(zeroTerminated);
}

CMessage& CMessage::operator<<(const CMessage& nested) {
  const std::vector<std::uint8_t> bytes = nested.Serialize();
  WriteBlob(FieldType::kMessage, bytes.data(), bytes.size());
  return *this;
}

void CMessage::Insert(const void* data, std::uint32_t size) {
  WriteBlob(FieldType::kBytes, static_cast<const std::uint8_t*>(data), size);
}

// ---- reading ----

void CMessage::Fail(const char* what) const {
  throw CNotifierExtractException(
      fmt::format("cannot read message field at offset {}: {}", readPos_, what));
}

std::size_t CMessage::ExpectField(FieldType a, FieldType b, FieldType c) const {
  const std::size_t size = BodySize();
  if (readPos_ >= size) Fail("no field left");
  const auto tag = static_cast<FieldType>((*body_)[readPos_]);
  if (tag != a && (b == FieldType{} || tag != b) && (c == FieldType{} || tag != c)) {
    if (!IsKnownTag(static_cast<std::uint8_t>(tag))) Fail("unknown field type");
    throw CNotifierExtractException(fmt::format("message field at offset {} is {}, not {}",
                                                readPos_, FieldTypeName(tag), FieldTypeName(a)));
  }
  const std::size_t payload = readPos_ + kTagSize;
  const std::size_t fixed = FixedPayloadSize(tag);
  const std::size_t need = fixed != 0 ? fixed : kLengthSize;
  if (size - payload < need) Fail("field truncated");
  return payload;
}

std::uint32_t CMessage::ReadU32At(std::size_t pos) const {
  return LoadLittleEndian<std::uint32_t>(body_->data() + pos);
}

std::pair<std::size_t, std::size_t> CMessage::BlobAt(std::size_t payloadPos,
                                                     std::size_t unit) const {
  const std::size_t count = ReadU32At(payloadPos);
  const std::size_t start = payloadPos + kLengthSize;
  const std::size_t available = BodySize() - start;
  if (count > available / unit) Fail("field length exceeds the data");
  return {start, count * unit};
}

template <class T>
static T ReadFixedValue(const std::uint8_t* p) {
  return LoadLittleEndian<T>(p);
}

// The inline reader in the header counts on these sizes.
static_assert(kTagSize + sizeof(std::int32_t) == 5);

const CMessage& CMessage::ReadInt32Checked(std::int32_t& value) const {
  const std::size_t p = ExpectField(FieldType::kInt32, FieldType::kUInt32, FieldType::kObjectType);
  value = ReadFixedValue<std::int32_t>(body_->data() + p);
  readPos_ = p + 4;
  return *this;
}

const CMessage& CMessage::ReadUInt32Checked(std::uint32_t& value) const {
  const std::size_t p = ExpectField(FieldType::kUInt32, FieldType::kInt32, FieldType::kObjectType);
  value = ReadFixedValue<std::uint32_t>(body_->data() + p);
  readPos_ = p + 4;
  return *this;
}

const CMessage& CMessage::operator>>(ObjectTypes& value) const {
  const std::size_t p = ExpectField(FieldType::kObjectType, FieldType::kInt32, FieldType::kUInt32);
  value = static_cast<ObjectTypes>(ReadFixedValue<std::int32_t>(body_->data() + p));
  readPos_ = p + 4;
  return *this;
}

const CMessage& CMessage::operator>>(std::int16_t& value) const {
  const std::size_t p = ExpectField(FieldType::kInt16);
  value = ReadFixedValue<std::int16_t>(body_->data() + p);
  readPos_ = p + 2;
  return *this;
}

const CMessage& CMessage::operator>>(std::uint16_t& value) const {
  const std::size_t p = ExpectField(FieldType::kUInt16);
  value = ReadFixedValue<std::uint16_t>(body_->data() + p);
  readPos_ = p + 2;
  return *this;
}

const CMessage& CMessage::ReadBoolChecked(bool& value) const {
  const std::size_t p = ExpectField(FieldType::kBool);
  const std::uint8_t byte = (*body_)[p];
  if (byte > 1) Fail("malformed bool");
  value = byte != 0;
  readPos_ = p + 1;
  return *this;
}

const CMessage& CMessage::operator>>(unsigned long long& value) const {
  const std::size_t p = ExpectField(FieldType::kUInt64);
  value = ReadFixedValue<std::uint64_t>(body_->data() + p);
  readPos_ = p + 8;
  return *this;
}

const CMessage& CMessage::operator>>(long& value) const {
  std::int32_t field = 0;
  *this >> field;
  value = field;
  return *this;
}

const CMessage& CMessage::operator>>(unsigned long& value) const {
  if (!IsAtEndOfData() && static_cast<FieldType>((*body_)[readPos_]) == FieldType::kUInt64) {
    unsigned long long wide = 0;
    *this >> wide;
    value = wide;
    return *this;
  }
  std::uint32_t field = 0;
  *this >> field;
  value = field;
  return *this;
}

const CMessage& CMessage::operator>>(std::string& utf8) const {
  const auto [start, bytes] = BlobAt(ExpectField(FieldType::kNarrowString), 1);
  utf8.assign(reinterpret_cast<const char*>(body_->data() + start), bytes);
  readPos_ = start + bytes;
  return *this;
}

const CMessage& CMessage::operator>>(std::u16string& text) const {
  const std::span<const std::uint8_t> units = ReadWideBytes();
  detail::AssignUtf16(text, units.data(), units.size() / 2);
  return *this;
}

std::span<const std::uint8_t> CMessage::ReadWideBytes() const {
  // The common case, checked inline: a wide text whose units are all present.
  const std::size_t size = BodySize();
  if (readPos_ < size && size - readPos_ >= kTagSize + kLengthSize) {
    const std::uint8_t* field = body_->data() + readPos_;
    const auto tag = static_cast<FieldType>(field[0]);
    const std::size_t units = ReadU32At(readPos_ + kTagSize);
    const std::size_t start = readPos_ + kTagSize + kLengthSize;
    if ((tag == FieldType::kWideString || tag == FieldType::kWideText) &&
        units <= (size - start) / 2) {
      readPos_ = start + units * 2;
      return {body_->data() + start, units * 2};
    }
  }
  const auto [start, bytes] = BlobAt(ExpectField(FieldType::kWideString, FieldType::kWideText), 2);
  readPos_ = start + bytes;
  return {body_->data() + start, bytes};
}

const CMessage& CMessage::operator>>(CMessage& nested) const {
  const auto [start, bytes] = BlobAt(ExpectField(FieldType::kMessage), 1);
  nested = Parse(std::span<const std::uint8_t>(body_->data() + start, bytes));
  readPos_ = start + bytes;
  return *this;
}

void CMessage::Extract(void* data, std::uint32_t size) const {
  const auto [start, bytes] = BlobAt(ExpectField(FieldType::kBytes), 1);
  if (bytes != size) Fail("raw byte field of another length");
  if (bytes != 0) std::memcpy(data, body_->data() + start, bytes);
  readPos_ = start + bytes;
}

void CMessage::Extract(std::vector<std::uint8_t>& data) const {
  const auto [start, bytes] = BlobAt(ExpectField(FieldType::kBytes), 1);
  data.assign(body_->data() + start, body_->data() + start + bytes);
  readPos_ = start + bytes;
}

FieldType CMessage::PeekFieldType() const {
  if (IsAtEndOfData()) Fail("no field left");
  const std::uint8_t tag = (*body_)[readPos_];
  if (!IsKnownTag(tag)) Fail("unknown field type");
  return static_cast<FieldType>(tag);
}

}  // namespace W4Notifier
