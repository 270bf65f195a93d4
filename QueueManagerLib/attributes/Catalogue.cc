// The standard key catalogue: the records, the index by number and the
// case-insensitive resolution table, all built at compile time from
// AttributeCatalogue.inc and checked there.

#include "attributes/Catalogue.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <vector>

namespace QueueManager::Catalogue {
namespace {

constexpr KeyInfo kKeys[] = {
#define QM_ATTRIBUTE(number, key, type, flags) \
  KeyInfo{key, u"" #key, CQmAttributeName::eType##type, static_cast<std::uint8_t>(flags)},
#include "QueueManager/AttributeCatalogue.inc"
#undef QM_ATTRIBUTE
};

constexpr AliasInfo kAliases[] = {
#define QM_ATTRIBUTE(number, key, type, flags)
#define QM_ATTRIBUTE_ALIAS(text, key) AliasInfo{text, key},
#include "QueueManager/AttributeCatalogue.inc"
#undef QM_ATTRIBUTE_ALIAS
#undef QM_ATTRIBUTE
};

constexpr std::size_t kKeyCount = std::size(kKeys);
constexpr std::size_t kAliasCount = std::size(kAliases);
constexpr std::size_t kEntryCount = kKeyCount + kAliasCount;
static_assert(kKeyCount == 298 && kAliasCount == 35);

// ---- Checks of the catalogue -------------------------------------------------

constexpr bool IsAscii(std::u16string_view text) {
  for (const char16_t c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Numbers ascend strictly within 0..kMaxNumber and every text is ASCII (the
// resolution table is folded with the ASCII rule at compile time, and text
// whose lower-case form is not ASCII is rejected without a lookup).
constexpr bool KeysAreWellFormed() {
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    if (kKeys[i].number < 0 || kKeys[i].number > kMaxNumber) return false;
    if (i > 0 && kKeys[i - 1].number >= kKeys[i].number) return false;
    if (kKeys[i].key.empty() || !IsAscii(kKeys[i].key)) return false;
  }
  for (const AliasInfo& alias : kAliases) {
    if (alias.text.empty() || !IsAscii(alias.text)) return false;
  }
  return true;
}
static_assert(KeysAreWellFormed());

// ---- Index by number ----------------------------------------------------------

constexpr auto kRowByNumber = [] {
  std::array<std::int16_t, kMaxNumber + 1> rows{};
  rows.fill(-1);
  for (std::size_t i = 0; i < kKeyCount; ++i) rows[kKeys[i].number] = static_cast<std::int16_t>(i);
  return rows;
}();

// ---- Resolution table -----------------------------------------------------------
//
// Text is folded to lower case and hashed in one pass, four UTF-16 code units
// at a time: each group is one 64-bit word, folded with a few bit operations
// when its units are ASCII (the common case) and mixed into the hash with a
// rotate and an exclusive or; one multiply at the end spreads the result.
// The table is open-addressing with linear probing at a load below one fifth.
// A slot holds 24 bits of the hash and the text length, so a probe compares
// text only when both match; the folded texts are stored as the same words and
// compared word by word.

constexpr std::u16string_view EntryText(std::size_t entry) {
  return entry < kKeyCount ? kKeys[entry].key : kAliases[entry - kKeyCount].text;
}

constexpr eAttributeName EntryNumber(std::size_t entry) {
  return entry < kKeyCount ? kKeys[entry].number : kAliases[entry - kKeyCount].number;
}

constexpr std::size_t MaxEntryLength() {
  std::size_t longest = 0;
  for (std::size_t i = 0; i < kEntryCount; ++i) longest = std::max(longest, EntryText(i).size());
  return longest;
}
static_assert(MaxEntryLength() == kMaxKeyLength, "update kMaxKeyLength in Catalogue.h");
static_assert(kMaxKeyLength < 256, "the length must fit the slot's length byte");

constexpr std::size_t kUnitsPerWord = 4;
constexpr std::size_t kMaxWords = (kMaxKeyLength + kUnitsPerWord - 1) / kUnitsPerWord;
constexpr std::uint64_t kNonAsciiBits = 0xFF80'FF80'FF80'FF80;
constexpr std::uint64_t kLaneBit7 = 0x0080'0080'0080'0080;
constexpr std::uint64_t kHashMultiplier = 0x9E37'79B9'7F4A'7C15;

constexpr std::size_t WordCount(std::size_t length) {
  return (length + kUnitsPerWord - 1) / kUnitsPerWord;
}

// Units first..first+3 of `text` as one word, unit i in bits 16*i; units past
// the end are zero.
constexpr std::uint64_t WordFromUnits(std::u16string_view text, std::size_t first) {
  const std::size_t count = std::min(kUnitsPerWord, text.size() - first);
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) word |= std::uint64_t{text[first + i]} << (16 * i);
  return word;
}

constexpr bool kLoadWords = std::endian::native == std::endian::little;

// The four units from `first` on as one word: at run time a single load.
// REQUIRES: first + kUnitsPerWord <= text.size().
constexpr std::uint64_t FullWordAt(std::u16string_view text, std::size_t first) {
  if (std::is_constant_evaluated() || !kLoadWords) return WordFromUnits(text, first);
  std::uint64_t word;
  std::memcpy(&word, text.data() + first, sizeof word);
  return word;
}

// The last `count` units (1 to 3) as one word. At run time a text of four
// units or more is read with one load of its last four units, shifted down
// past the units that the full words hold.
constexpr std::uint64_t TailWordAt(std::u16string_view text, std::size_t count) {
  if (std::is_constant_evaluated() || !kLoadWords || text.size() < kUnitsPerWord) {
    return WordFromUnits(text, text.size() - count);
  }
  return FullWordAt(text, text.size() - kUnitsPerWord) >> (16 * (kUnitsPerWord - count));
}

// Folds a word that holds a non-ASCII unit with the full case mapping (some
// units fold to ASCII, such as U+212A KELVIN SIGN to 'k'). False when a folded
// unit is not ASCII: no catalogue text holds one.
bool FoldMixedWord(std::uint64_t& word) {
  std::uint64_t folded = 0;
  for (std::size_t i = 0; i < kUnitsPerWord; ++i) {
    const char16_t lower = W4Os::ToLower(static_cast<char16_t>(word >> (16 * i)));
    if (lower >= 0x80) return false;
    folded |= std::uint64_t{lower} << (16 * i);
  }
  word = folded;
  return true;
}

// Folds four units at once. ASCII units take the bit-parallel path: a lane in
// 'A'..'Z' gets 0x20 added, and the additions cannot carry out of a lane that
// holds less than 0x80.
constexpr bool FoldWord(std::uint64_t& word) {
  if ((word & kNonAsciiBits) != 0) return FoldMixedWord(word);
  const std::uint64_t atLeastA = word + 0x003F'003F'003F'003F;  // bit 7 set: lane >= 'A'
  const std::uint64_t aboveZ = word + 0x0025'0025'0025'0025;    // bit 7 set: lane > 'Z'
  word |= (atLeastA & ~aboveZ & kLaneBit7) >> 2;
  return true;
}

constexpr std::uint64_t MixWord(std::uint64_t hash, std::uint64_t word) {
  return std::rotl(hash, 23) ^ word;
}

// The lower-case form of a text as words, and its hash.
struct FoldedText {
  std::array<std::uint64_t, kMaxWords> words;  // the first WordCount(length) are set
  std::size_t length;
  std::uint64_t hash;
};

// Folds and hashes `text` in one pass. False when the lower-case form holds a
// non-ASCII unit.
// REQUIRES: text.size() <= kMaxKeyLength.
constexpr bool Fold(std::u16string_view text, FoldedText& out) {
  const std::size_t fullWords = text.size() / kUnitsPerWord;
  const std::size_t tailUnits = text.size() % kUnitsPerWord;
  std::uint64_t hash = text.size();
  for (std::size_t i = 0; i < fullWords; ++i) {
    std::uint64_t word = FullWordAt(text, i * kUnitsPerWord);
    if (!FoldWord(word)) return false;
    out.words[i] = word;
    hash = MixWord(hash, word);
  }
  if (tailUnits != 0) {
    std::uint64_t word = TailWordAt(text, tailUnits);
    if (!FoldWord(word)) return false;
    out.words[fullWords] = word;
    hash = MixWord(hash, word);
  }
  out.length = text.size();
  out.hash = hash * kHashMultiplier;
  return true;
}

constexpr unsigned kSlotBits = 11;
constexpr std::size_t kSlotMask = (std::size_t{1} << kSlotBits) - 1;
static_assert(kEntryCount * 5 < (1u << kSlotBits), "keep the load factor below one fifth");

// The top bits of the final multiply depend on every bit of the text.
constexpr std::size_t FirstSlot(const FoldedText& text) { return text.hash >> (64 - kSlotBits); }

// 24 other bits of the hash above the length byte.
constexpr std::uint32_t TagOf(const FoldedText& text) {
  return static_cast<std::uint32_t>(text.hash >> 16) << 8 | static_cast<std::uint32_t>(text.length);
}

struct Slot {
  std::uint32_t tag = 0;
  std::int16_t number = -1;  // -1: empty
  std::uint16_t offset = 0;  // of the text's first word in ResolutionTable::words
};

constexpr std::size_t FoldedWords() {
  std::size_t words = 0;
  for (std::size_t i = 0; i < kEntryCount; ++i) words += WordCount(EntryText(i).size());
  return words;
}

struct ResolutionTable {
  std::array<Slot, kSlotMask + 1> slots{};
  std::array<std::uint64_t, FoldedWords()> words{};
  std::size_t longestProbe = 0;
  bool duplicate = false;  // two entries with the same lower-case text
};

// REQUIRES: the tags match, hence so do the lengths.
constexpr bool SameText(const ResolutionTable& table, const Slot& slot, const FoldedText& text) {
  for (std::size_t i = 0; i < WordCount(text.length); ++i) {
    if (table.words[slot.offset + i] != text.words[i]) return false;
  }
  return true;
}

constexpr void Insert(ResolutionTable& table, std::size_t entry, std::uint16_t offset) {
  FoldedText text{};
  Fold(EntryText(entry), text);  // catalogue texts are ASCII
  for (std::size_t i = 0; i < WordCount(text.length); ++i) table.words[offset + i] = text.words[i];
  std::size_t probe = 1;
  std::size_t index = FirstSlot(text);
  for (; table.slots[index].number >= 0; index = (index + 1) & kSlotMask, ++probe) {
    const Slot& taken = table.slots[index];
    if (taken.tag == TagOf(text) && SameText(table, taken, text)) table.duplicate = true;
  }
  table.slots[index] = Slot{TagOf(text), static_cast<std::int16_t>(EntryNumber(entry)), offset};
  table.longestProbe = std::max(table.longestProbe, probe);
}

constexpr ResolutionTable BuildResolutionTable() {
  ResolutionTable table;
  std::uint16_t offset = 0;
  for (std::size_t entry = 0; entry < kEntryCount; ++entry) {
    Insert(table, entry, offset);
    offset = static_cast<std::uint16_t>(offset + WordCount(EntryText(entry).size()));
  }
  return table;
}

constexpr ResolutionTable kResolution = BuildResolutionTable();
static_assert(!kResolution.duplicate, "two catalogue texts differ only in letter case");
static_assert(kResolution.longestProbe <= 4, "choose another hash");

// The lower-case form of one code unit, as Fold makes it.
char16_t FoldedUnit(char16_t unit) {
  if (unit < 0x80) return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit + 0x20) : unit;
  return W4Os::ToLower(unit);
}

// For each folded ASCII first unit, the lengths of the entries that begin
// with it, as bits.
static_assert(kMaxKeyLength < 64, "lengths are bits of a 64-bit word");
constexpr std::array<std::uint64_t, 0x80> BuildFirstUnitLengths() {
  std::array<std::uint64_t, 0x80> lengths{};
  for (std::size_t entry = 0; entry < kEntryCount; ++entry) {
    char16_t first = EntryText(entry).front();  // catalogue texts are ASCII
    if (first >= u'A' && first <= u'Z') first = static_cast<char16_t>(first + 0x20);
    lengths[first] |= std::uint64_t{1} << EntryText(entry).size();
  }
  return lengths;
}
constexpr std::array<std::uint64_t, 0x80> kFirstUnitLengths = BuildFirstUnitLengths();

eAttributeName Lookup(const FoldedText& text) {
  const std::uint32_t tag = TagOf(text);
  for (std::size_t index = FirstSlot(text);; index = (index + 1) & kSlotMask) {
    const Slot& slot = kResolution.slots[index];
    if (slot.number < 0) return eNonStandardAttribute;
    if (slot.tag == tag && SameText(kResolution, slot, text)) {
      return static_cast<eAttributeName>(slot.number);
    }
  }
}

}  // namespace

std::span<const KeyInfo> AllKeys() { return kKeys; }

std::span<const AliasInfo> AllAliases() { return kAliases; }

const KeyInfo* FindKey(std::int32_t number) {
  // One unsigned comparison rejects negative numbers and numbers too large.
  if (static_cast<std::uint32_t>(number) > static_cast<std::uint32_t>(kMaxNumber)) return nullptr;
  const std::int16_t row = kRowByNumber[static_cast<std::size_t>(number)];
  return row < 0 ? nullptr : &kKeys[row];
}

eAttributeName Resolve(std::u16string_view text) {
  if (text.empty() || text.size() > kMaxKeyLength) return eNonStandardAttribute;
  // Most custom names share no first letter and length with any entry: they
  // are told apart before the text is folded and hashed.
  const char16_t first = FoldedUnit(text.front());
  if (first >= kFirstUnitLengths.size() || (kFirstUnitLengths[first] >> text.size() & 1) == 0) {
    return eNonStandardAttribute;
  }
  FoldedText folded;
  return Fold(text, folded) ? Lookup(folded) : eNonStandardAttribute;
}

const W4STD::w4idstring& KeyIdString(const KeyInfo& key) {
  // Never destroyed, so that names stay usable from static destructors.
  static const std::vector<W4STD::w4idstring>* const idStrings = [] {
    auto* strings = new std::vector<W4STD::w4idstring>();
    strings->reserve(kKeyCount);
    for (const KeyInfo& each : kKeys) strings->emplace_back(each.key);
    return strings;
  }();
  return (*idStrings)[static_cast<std::size_t>(&key - kKeys)];
}

const W4STD::w4idstring& EmptyIdString() {
  static const W4STD::w4idstring* const empty = new W4STD::w4idstring();
  return *empty;
}

}  // namespace QueueManager::Catalogue
