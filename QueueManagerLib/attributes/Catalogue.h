#pragma once

// The standard attribute key catalogue as the library uses it internally:
// one constant record per key (from QueueManager/AttributeCatalogue.inc), a
// bounds-checked index by number, and the resolution of text to a number.
//
// Everything here is thread-safe: the records and the resolution table are
// compile-time constants; the identifier strings of the keys are built once,
// on first use, under a function-local static.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "QueueManager/AttributeName.h"
#include "QueueManager/Platform/IdString.h"

namespace QueueManager::Catalogue {

// Flags of a key, as AttributeCatalogue.inc spells them.
inline constexpr std::uint8_t kReserved = 1;    // reserved for the system
inline constexpr std::uint8_t kSentByText = 2;  // written into messages as text
inline constexpr std::uint8_t kExtended = 4;    // listed only on request

// The highest number in the catalogue; every key lies in 0..kMaxNumber.
inline constexpr std::int32_t kMaxNumber = 721;
// The length of the longest canonical key or alias: longer text is never a
// standard key.
inline constexpr std::size_t kMaxKeyLength = 36;

// One standard key: its number, canonical text, type class and flags.
struct KeyInfo {
  eAttributeName number;
  std::u16string_view key;
  CQmAttributeName::eW4AttributeType type;
  std::uint8_t flags;

  constexpr bool IsReserved() const { return (flags & kReserved) != 0; }
  constexpr bool IsSentByText() const { return (flags & kSentByText) != 0; }
  constexpr bool IsExtended() const { return (flags & kExtended) != 0; }
};

// A further text that resolves to a standard key.
struct AliasInfo {
  std::u16string_view text;
  eAttributeName number;
};

// Every standard key, in ascending number order.
std::span<const KeyInfo> AllKeys();
// Every alias, in catalogue order.
std::span<const AliasInfo> AllAliases();

// The key with `number`, or null when the number is not in the catalogue
// (any 32-bit value may be passed: numbers come from the wire unchecked).
const KeyInfo* FindKey(std::int32_t number);

// The standard number of a canonical key or alias, letter case ignored, or
// eNonStandardAttribute. One hash lookup; never allocates.
eAttributeName Resolve(std::u16string_view text);

// The canonical key of `key` as an identifier string, built once per process.
// REQUIRES: `key` is an element of AllKeys().
const W4STD::w4idstring& KeyIdString(const KeyInfo& key);

// The empty identifier string, for names that have no text.
const W4STD::w4idstring& EmptyIdString();

}  // namespace QueueManager::Catalogue
