#pragma once

// The rules by which the emulated server computes attribute changes:
// comparisons, conditional settings and the wildcard match of key texts.

#include <cstdint>
#include <string_view>

#include "QueueManager/AttributeMap.h"
#include "RequestDecoder.h"

namespace QueueManager::Emulator {

// Comparison codes: 0 ==, 1 !=, 2 <, 3 <=, 4 >, 5 >=, 6 has element (the
// left value, a "|" list, holds the right one without regard to case). A
// condition's flag asks for a numeric comparison (decimal integers; a text
// that is no number never compares true); without it texts compare exactly,
// code unit by code unit. An unknown code is false.
bool Compare(const CQmAttributeValue& left, const CQmAttributeValue& right, std::int32_t code,
             bool numeric);
// Whether `setting` applies to `attributes`: set when the attribute is empty
// and setWhenEmpty is on, else when all (allConditions) or any of the
// conditions hold; a setting without conditions always applies.
bool Applies(const ConditionalSetting& setting, const CQmAttributeMap& attributes);
// Case-insensitive glob: "*" any run, "?" any one code unit.
bool GlobMatches(std::u16string_view pattern, std::u16string_view text);

}  // namespace QueueManager::Emulator
