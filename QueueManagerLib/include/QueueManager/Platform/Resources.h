#pragma once

// The client resource library: localized texts by numeric identifier and
// language.
//
// Lookup order for (id, language):
//   1. a string registered for exactly `language`;
//   2. a string registered for the primary language of `language` (its low
//      ten bits, sublanguage neutral: 0x0409 English (US) falls back to 0x0009);
//   3. a string registered for the neutral language 0;
//   4. the library's built-in neutral table (ids 1000 to 1011 and 13683).
// The first text found is returned; none found gives an empty string.

#include <cstdint>
#include <string>

#include "QueueManager/Export.h"

/// Returns the UTF-8 text of string `id` in `language` (see the lookup order
/// above), or an empty string when no string is known. `flag` selects among
/// resource sources; there is a single source here, so every flag gives the
/// same text. Thread-safe.
QM_EXPORT std::string GetW4ClntString(std::uint32_t id, int flag, std::uint16_t language);

namespace W4Clnt {

inline constexpr std::uint16_t kNeutralLanguage = 0;

/// Registers (or replaces) the text of string `id` in `language`. Returns false
/// and registers nothing when `text` is empty (an empty text means "unknown"
/// to callers) or is not valid UTF-8. Thread-safe.
QM_EXPORT bool RegisterString(std::uint16_t language, std::uint32_t id, std::string text);

/// Removes a registered string; false when none was registered. The built-in
/// table is not affected. Thread-safe.
QM_EXPORT bool UnregisterString(std::uint16_t language, std::uint32_t id);

/// Removes every registered string, leaving the built-in table. Thread-safe.
QM_EXPORT void ClearRegisteredStrings();

}  // namespace W4Clnt
