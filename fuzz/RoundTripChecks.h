#pragma once

// The checks of the fuzz targets: invariants, and round trips (a decoded
// object, written and read again, must equal its wire form, which is what the
// wire makes of its names and values).

#include <cstdio>
#include <cstdlib>
#include <string>

#include "QueueManager/AttributeName.h"
#include "QueueManager/AttributeValue.h"

namespace QueueManager::fuzzing {

// Aborts, so that libFuzzer keeps the input, when a check does not hold.
inline void Require(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

// Catalogue numbers sent by number stay; any other name travels as its text
// and is resolved again on arrival (a number outside the catalogue has no
// text and arrives as the empty name).
inline CQmAttributeName WireForm(const CQmAttributeName& name) {
  if (name.IsSentByNumber()) return name;
  return CQmAttributeName(name.DisplayName());
}

// Values travel as zero-terminated text.
inline CQmAttributeValue WireForm(const CQmAttributeValue& value) {
  return CQmAttributeValue(std::u16string(value.c_str()));
}

}  // namespace QueueManager::fuzzing
