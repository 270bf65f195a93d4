// Attribute names: resolution of text against the catalogue, catalogue
// queries, the message form and the text form for traces.

#include "QueueManager/AttributeName.h"

#include <array>
#include <ostream>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "attributes/Catalogue.h"

namespace QueueManager {
namespace {

// Code units that a custom name may not hold: they would be mistaken for the
// separators of scoped names and of trace and file formats.
bool IsReplacedInCustomText(char16_t c) { return c <= 0x1F || c == u' ' || c == u'.' || c == u':'; }

// Replaces each such unit of `text` with '_'. Names are decoded by the
// thousand and seldom hold one, so eight units are tested at a time.
void ReplaceUnitsNotAllowedInCustomText(std::u16string& text) {
#if defined(__SSE2__)
  if (text.size() >= 8) {
    const auto replaceEight = [&text](std::size_t at) {
      auto* units = reinterpret_cast<__m128i*>(text.data() + at);
      const __m128i v = _mm_loadu_si128(units);
      // A unit saturates to zero when it is 0x1F or below.
      const __m128i replaced = _mm_or_si128(
          _mm_or_si128(
              _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(0x1F)), _mm_setzero_si128()),
              _mm_cmpeq_epi16(v, _mm_set1_epi16(u' '))),
          _mm_or_si128(_mm_cmpeq_epi16(v, _mm_set1_epi16(u'.')),
                       _mm_cmpeq_epi16(v, _mm_set1_epi16(u':'))));
      if (_mm_movemask_epi8(replaced) == 0) return;
      _mm_storeu_si128(units, _mm_or_si128(_mm_andnot_si128(replaced, v),
                                           _mm_and_si128(replaced, _mm_set1_epi16(u'_'))));
    };
    for (std::size_t at = 0; at + 8 < text.size(); at += 8) replaceEight(at);
    // The last eight units, overlapping units done before: '_' stays '_'.
    replaceEight(text.size() - 8);
    return;
  }
#endif
  for (char16_t& c : text) {
    if (IsReplacedInCustomText(c)) c = u'_';
  }
}

std::u16string CustomText(std::u16string_view text) {
  std::u16string custom(text);
  ReplaceUnitsNotAllowedInCustomText(custom);
  return custom;
}

// Wide text made from another text form. Text short enough to be a standard
// key is kept on the stack, so that resolving a standard key given in such a
// form does not allocate; longer text goes to the heap. Not copyable: the
// view refers into the object.
class ScratchText {
 public:
  ScratchText() = default;
  ScratchText(const ScratchText&) = delete;
  ScratchText& operator=(const ScratchText&) = delete;

  // Strict UTF-8: invalid input gives the empty text.
  void AssignUtf8(std::string_view utf8) {
    if (utf8.size() <= local_.size() && IsAscii(utf8)) {
      for (std::size_t i = 0; i < utf8.size(); ++i) local_[i] = static_cast<char16_t>(utf8[i]);
      localLength_ = utf8.size();
      return;
    }
    W4Os::NarrowToWide(utf8, heap_);  // leaves heap_ empty on failure
    onHeap_ = true;
  }

  // Zero-terminated 16-bit units.
  void AssignUnits(const unsigned short* text) {
    std::size_t length = 0;
    for (; length < local_.size() && text[length] != 0; ++length) {
      local_[length] = static_cast<char16_t>(text[length]);
    }
    localLength_ = length;
    if (length < local_.size() || text[length] == 0) return;
    heap_.assign(local_.begin(), local_.end());
    for (const unsigned short* rest = text + length; *rest != 0; ++rest) {
      heap_.push_back(static_cast<char16_t>(*rest));
    }
    onHeap_ = true;
  }

  std::u16string_view View() const {
    return onHeap_ ? std::u16string_view(heap_) : std::u16string_view(local_.data(), localLength_);
  }

 private:
  static bool IsAscii(std::string_view text) {
    unsigned char seen = 0;
    for (const char c : text) seen |= static_cast<unsigned char>(c);
    return seen < 0x80;
  }

  std::array<char16_t, Catalogue::kMaxKeyLength> local_{};
  std::size_t localLength_ = 0;
  std::u16string heap_;
  bool onHeap_ = false;
};

std::ostream& WriteAscii(std::ostream& out, std::u16string_view key) {
  for (const char16_t c : key) out.put(static_cast<char>(c));  // catalogue keys are ASCII
  return out;
}

}  // namespace

CQmAttributeName::CQmAttributeName(const W4STD::w4idstring_arg& text) { Set(text.get().str()); }

CQmAttributeName::CQmAttributeName(const std::u16string& text) { Set(text); }

CQmAttributeName::CQmAttributeName(std::u16string_view text) { Set(text); }

CQmAttributeName::CQmAttributeName(std::u16string&& text) {
  const eAttributeName number = Catalogue::Resolve(text);
  if (number != eNonStandardAttribute) {
    number_ = number;
    return;
  }
  ReplaceUnitsNotAllowedInCustomText(text);
  text_ = W4STD::w4idstring(std::move(text));
}

CQmAttributeName::CQmAttributeName(const char16_t* text) {
  if (text != nullptr) Set(text);
}

CQmAttributeName::CQmAttributeName(const unsigned short* text) {
  if (text == nullptr) return;
  ScratchText wide;
  wide.AssignUnits(text);
  Set(wide.View());
}

CQmAttributeName::CQmAttributeName(const std::string& utf8) {
  ScratchText wide;
  wide.AssignUtf8(utf8);
  Set(wide.View());
}

CQmAttributeName::CQmAttributeName(const char* utf8) {
  if (utf8 == nullptr) return;
  ScratchText wide;
  wide.AssignUtf8(utf8);
  Set(wide.View());
}

// The lookup uses the text as given, so aliases that hold spaces resolve; only
// text that stays custom has its separators replaced.
void CQmAttributeName::Set(std::u16string_view text) {
  const eAttributeName number = Catalogue::Resolve(text);
  if (number != eNonStandardAttribute) {
    number_ = number;
    text_ = W4STD::w4idstring();
    return;
  }
  text_ = W4STD::w4idstring(CustomText(text));
  number_ = eNonStandardAttribute;
}

void CQmAttributeName::swap(CQmAttributeName& other) noexcept {
  std::swap(number_, other.number_);
  std::swap(text_, other.text_);
}

const W4STD::w4idstring& CQmAttributeName::idstring() const {
  if (number_ == eNonStandardAttribute) return text_;
  const Catalogue::KeyInfo* key = Catalogue::FindKey(number_);
  return key != nullptr ? Catalogue::KeyIdString(*key) : Catalogue::EmptyIdString();
}

CQmAttributeName::eW4AttributeType CQmAttributeName::QueryW4AttributeType() const {
  const Catalogue::KeyInfo* key = Catalogue::FindKey(number_);
  return key != nullptr ? key->type : eTypeUnknown;
}

bool CQmAttributeName::IsReserved() const {
  const Catalogue::KeyInfo* key = Catalogue::FindKey(number_);
  return key != nullptr && key->IsReserved();
}

bool CQmAttributeName::IsSentByNumber() const {
  const Catalogue::KeyInfo* key = Catalogue::FindKey(number_);
  return key != nullptr && !key->IsSentByText();
}

void CQmAttributeName::QueryW4Attributes(std::set<std::u16string>& keys, bool excludeReserved,
                                         bool includeExtended) {
  keys.clear();
  for (const Catalogue::KeyInfo& key : Catalogue::AllKeys()) {
    if (excludeReserved && key.IsReserved()) continue;
    if (!includeExtended && key.IsExtended()) continue;
    keys.emplace(key.key);
  }
}

std::uint32_t CQmAttributeName::Hash() const {
  return number_ != eNonStandardAttribute ? static_cast<std::uint32_t>(number_) : text_.hash();
}

W4Notifier::CMessage& CQmAttributeName::Write(W4Notifier::CMessage& message) const {
  // One catalogue lookup for a standard name and none for a custom one: maps
  // write a name per entry. The text goes as zero-terminated text, ending at
  // a U+0000 it may hold.
  std::u16string_view text = text_.str();
  if (number_ != eNonStandardAttribute) {
    const Catalogue::KeyInfo* key = Catalogue::FindKey(number_);
    if (key != nullptr && !key->IsSentByText())
      return message << static_cast<std::int32_t>(number_);
    text = key != nullptr ? key->key : std::u16string_view();
  }
  message << static_cast<std::int32_t>(eNonStandardAttribute);
  return message.WriteZeroTerminated(text);
}

const W4Notifier::CMessage& CQmAttributeName::Read(const W4Notifier::CMessage& message) {
  // A failure must leave both the name and the message's read position as
  // they were: the number may have been read when the text is missing.
  const std::size_t start = message.QueryReadPosition();
  std::int32_t number = eNonStandardAttribute;
  message >> number;
  CQmAttributeName name(static_cast<eAttributeName>(number));
  if (number == eNonStandardAttribute) {
    std::u16string text;
    try {
      message >> text;
    } catch (...) {
      message.RestoreReadPosition(start);
      throw;
    }
    name.Set(text);
  }
  swap(name);
  return message;
}

std::ostream& operator<<(std::ostream& out, eAttributeName number) {
  const Catalogue::KeyInfo* key = Catalogue::FindKey(number);
  return key != nullptr ? WriteAscii(out, key->key) : out << "****";
}

std::ostream& operator<<(std::ostream& out, const CQmAttributeName& name) {
  if (name.QueryW4AttributeName() != eNonStandardAttribute) {
    return out << name.QueryW4AttributeName();
  }
  return out << W4Os::WideToNarrowLossy(name.DisplayName());
}

std::string ToTraceText(const CQmAttributeName& name) {
  const eAttributeName number = name.QueryW4AttributeName();
  if (number == eNonStandardAttribute) return W4Os::WideToNarrowLossy(name.DisplayName());
  const Catalogue::KeyInfo* key = Catalogue::FindKey(number);
  if (key == nullptr) return "****";
  return std::string(key->key.begin(), key->key.end());
}

}  // namespace QueueManager
