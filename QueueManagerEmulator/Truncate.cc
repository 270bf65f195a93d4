#include "Truncate.h"

#include <cstdint>
#include <string>
#include <vector>

namespace QueueManager::Emulator {
namespace {

using W4Notifier::CMessage;
using W4Notifier::FieldType;

template <class T>
void Copy(const CMessage& from, CMessage& to) {
  T value{};
  from >> value;
  to << value;
}

void CopyField(const CMessage& from, CMessage& to) {
  switch (from.PeekFieldType()) {
    case FieldType::kInt32:
      return Copy<std::int32_t>(from, to);
    case FieldType::kUInt32:
      return Copy<std::uint32_t>(from, to);
    case FieldType::kInt16:
      return Copy<std::int16_t>(from, to);
    case FieldType::kUInt16:
      return Copy<std::uint16_t>(from, to);
    case FieldType::kBool:
      return Copy<bool>(from, to);
    case FieldType::kUInt64:
      return Copy<unsigned long long>(from, to);
    case FieldType::kNarrowString:
      return Copy<std::string>(from, to);
    case FieldType::kWideString:
    case FieldType::kWideText:
      return Copy<std::u16string>(from, to);
    case FieldType::kObjectType:
      return Copy<W4Notifier::ObjectTypes>(from, to);
    case FieldType::kMessage:
      return Copy<CMessage>(from, to);
    case FieldType::kBytes: {
      std::vector<std::uint8_t> bytes;
      from.Extract(bytes);
      to.Insert(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
      return;
    }
  }
}

}  // namespace

CMessage WithoutLastField(const CMessage& message) {
  std::size_t fields = 0;
  message.Rewind();
  for (CMessage scratch; !message.IsAtEndOfData(); ++fields) CopyField(message, scratch);
  CMessage out(message.QueryEntityId(), message.QueryEventId());
  message.Rewind();
  for (std::size_t i = 0; i + 1 < fields; ++i) CopyField(message, out);
  message.Rewind();
  return out;
}

}  // namespace QueueManager::Emulator
