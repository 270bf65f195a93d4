#pragma once

// Date-time text of attribute values: YYYY[MM[DD[hh[mm[ss]]]]] followed by
// "Z" for UTC or by nothing for the machine's local time; always written as
// the 15 characters YYYYMMDDhhmmssZ in UTC. Free functions: thread-safe as
// far as the C library's local time rules are (DateTime.h).

#include <string>
#include <string_view>

#include "QueueManager/Platform/DateTime.h"

namespace QueueManager::detail {

// Parses `text` into `result`; false when the text is not a date-time, which
// leaves `result` not set. The empty text is valid and gives "not set".
// Omitted month, day, hour, minute and second count as 0, so a date needs at
// least its month and day. Nothing may follow the "Z".
bool ParseDateTimeText(std::u16string_view text, W4Os::CW4DateTime& result);

// YYYYMMDDhhmmssZ in UTC, or the empty text for a date-time that is not set.
std::u16string DateTimeText(const W4Os::CW4DateTime& value);

}  // namespace QueueManager::detail
