// The byte form of a message and its field-by-field description.

#include <fmt/format.h>

#include "QueueManager/Platform/Message.h"
#include "QueueManager/Platform/Text.h"
#include "platform/notifier/ByteFormLimit.h"
#include "platform/notifier/ByteOrder.h"

namespace W4Notifier {
namespace {

using detail::LoadLittleEndian;
using detail::StoreLittleEndian;

constexpr std::uint8_t kMagic[4] = {'W', '4', 'M', 1};
constexpr std::size_t kFixedHeader = 4 + 4 + 4 + 4;  // magic, event, type, id

[[noreturn]] void Malformed(const char* what) {
  throw CNotifierExtractException(fmt::format("malformed message bytes: {}", what));
}

// Nested messages are described to this depth; deeper ones are elided, so a
// hostile message cannot drive the description into deep recursion.
constexpr int kMaxDescribeDepth = 16;

std::string Quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  out += '"';
  return out;
}

void DescribeInto(CMessage message, int depth, std::string& out);

void DescribeOne(CMessage& m, int depth, std::string& out) {
  const FieldType type = m.PeekFieldType();
  out += FieldTypeName(type);
  out += ' ';
  switch (type) {
    case FieldType::kInt32: {
      std::int32_t v;
      m >> v;
      out += std::to_string(v);
      break;
    }
    case FieldType::kUInt32: {
      std::uint32_t v;
      m >> v;
      out += std::to_string(v);
      break;
    }
    case FieldType::kObjectType: {
      ObjectTypes v;
      m >> v;
      out += std::to_string(static_cast<std::int32_t>(v));
      break;
    }
    case FieldType::kInt16: {
      std::int16_t v;
      m >> v;
      out += std::to_string(v);
      break;
    }
    case FieldType::kUInt16: {
      std::uint16_t v;
      m >> v;
      out += std::to_string(v);
      break;
    }
    case FieldType::kBool: {
      bool v;
      m >> v;
      out += v ? "true" : "false";
      break;
    }
    case FieldType::kUInt64: {
      std::uint64_t v;
      m >> v;
      out += std::to_string(v);
      break;
    }
    case FieldType::kNarrowString: {
      std::string v;
      m >> v;
      out += Quote(v);
      break;
    }
    case FieldType::kWideString:
    case FieldType::kWideText: {
      std::u16string v;
      m >> v;
      out += Quote(W4Os::WideToNarrowLossy(v));
      break;
    }
    case FieldType::kMessage: {
      CMessage nested;
      m >> nested;
      out +=
          fmt::format("event {} ({}, {}) {{", nested.QueryEventId(),
                      static_cast<std::int32_t>(nested.QueryObjectType()), nested.QueryObjectId());
      if (depth >= kMaxDescribeDepth) {
        out += "...";
      } else {
        DescribeInto(nested, depth + 1, out);
      }
      out += '}';
      break;
    }
    case FieldType::kBytes: {
      std::vector<std::uint8_t> v;
      m.Extract(v);
      out += fmt::format("[{} bytes]", v.size());
      break;
    }
  }
}

void DescribeInto(CMessage message, int depth, std::string& out) {
  message.Rewind();
  bool first = true;
  try {
    while (!message.IsAtEndOfData()) {
      if (!first) out += ", ";
      first = false;
      DescribeOne(message, depth, out);
    }
  } catch (const CNotifierExtractException&) {
    out += "<malformed>";
  }
}

}  // namespace

std::string CMessage::DescribeFields() const {
  std::string out;
  DescribeInto(*this, 0, out);
  return out;
}

std::vector<std::uint8_t> CMessage::Serialize() const {
  // Refused rather than truncated: a cut length makes bytes that Parse rejects.
  const std::size_t limit = detail::ByteFormLimit();
  if (BodySize() > limit) throw CNotifierException("message body too large for its byte form");
  if (eventName_.size() > limit) throw CNotifierException("event name too long for its byte form");
  const std::size_t nameBytes = eventName_.size() * 2;
  std::vector<std::uint8_t> out(kFixedHeader + 4 + nameBytes + 4 + BodySize());
  std::uint8_t* p = out.data();
  std::memcpy(p, kMagic, 4);
  StoreLittleEndian<std::int32_t>(p + 4, eventId_);
  StoreLittleEndian<std::int32_t>(p + 8, static_cast<std::int32_t>(objectType_));
  StoreLittleEndian<std::uint32_t>(p + 12, objectId_);
  p += kFixedHeader;
  StoreLittleEndian<std::uint32_t>(p, static_cast<std::uint32_t>(eventName_.size()));
  detail::StoreUtf16(p + 4, eventName_.data(), eventName_.size());
  p += 4 + nameBytes;
  StoreLittleEndian<std::uint32_t>(p, static_cast<std::uint32_t>(BodySize()));
  if (BodySize() != 0) std::memcpy(p + 4, body_->data(), BodySize());
  return out;
}

CMessage CMessage::Parse(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kFixedHeader + 8) Malformed("shorter than a header");
  if (std::memcmp(bytes.data(), kMagic, 4) != 0) Malformed("bad magic or version");
  CMessage message;
  const std::uint8_t* p = bytes.data();
  message.eventId_ = LoadLittleEndian<std::int32_t>(p + 4);
  message.objectType_ = static_cast<ObjectTypes>(LoadLittleEndian<std::int32_t>(p + 8));
  message.objectId_ = LoadLittleEndian<std::uint32_t>(p + 12);
  std::size_t pos = kFixedHeader;
  const std::size_t nameLength = LoadLittleEndian<std::uint32_t>(p + pos);
  pos += 4;
  if (nameLength > (bytes.size() - pos - 4) / 2) Malformed("event name exceeds the data");
  message.eventName_.resize(nameLength);
  detail::LoadUtf16(message.eventName_.data(), p + pos, nameLength);
  pos += nameLength * 2;
  const std::size_t bodyLength = LoadLittleEndian<std::uint32_t>(p + pos);
  pos += 4;
  if (bodyLength != bytes.size() - pos) Malformed("body length does not match the data");
  if (bodyLength != 0) {
    message.body_ = detail::SharedBody::Make(bodyLength);
    message.body_->Append(p + pos, bodyLength);
  }
  return message;
}

}  // namespace W4Notifier
