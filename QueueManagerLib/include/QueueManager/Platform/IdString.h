#pragma once

// Identifier strings: wide text that compares, orders and hashes without
// regard to letter case (attribute keys, scoped names).

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/Text.h"

namespace W4STD {

/// Wide identifier text compared by its lower-case form (every code unit
/// mapped through W4Os::ToLower). The text as given is kept and returned; the
/// lower-case form is derived from it when needed. A value type: distinct
/// objects may be used from different threads, one object is not synchronised.
class QM_EXPORT w4idstring {
 public:
  /// The empty text, or a wide text.
  ///@{
  w4idstring() = default;
  w4idstring(std::u16string text) : text_(std::move(text)) {}
  w4idstring(std::u16string_view text) : text_(text) {}
  ///@}
  /// Zero-terminated wide text; a null pointer gives the empty text.
  ///@{
  w4idstring(const char16_t* text);
  w4idstring(const unsigned short* text);
  ///@}
  /// UTF-8 text; invalid UTF-8 or a null pointer gives the empty text.
  ///@{
  explicit w4idstring(std::string_view utf8);
  explicit w4idstring(const char* utf8);
  ///@}

  /// The text, its lower-case form, and the string operations on it.
  ///@{
  const std::u16string& str() const { return text_; }
  const char16_t* c_str() const { return text_.c_str(); }
  std::u16string lower() const { return W4Os::ToLowerCopy(text_); }
  bool empty() const { return text_.empty(); }
  std::size_t size() const { return text_.size(); }
  ///@}
  /// The text as UTF-8, with U+FFFD for unpaired surrogates.
  std::string narrow() const { return W4Os::WideToNarrowLossy(text_); }

  /// h = h * 33 + c over the lower-case code units, modulo 2^32, from h = 0.
  std::uint32_t hash() const;

  /// Comparison without regard to letter case.
  ///@{
  friend bool operator==(const w4idstring& a, const w4idstring& b) {
    return W4Os::EqualsNoCase(a.text_, b.text_);
  }
  friend std::weak_ordering operator<=>(const w4idstring& a, const w4idstring& b) {
    return W4Os::CompareNoCase(a.text_, b.text_) <=> 0;
  }
  ///@}

 private:
  std::u16string text_;
};

/// Writes the text as UTF-8.
QM_EXPORT std::ostream& operator<<(std::ostream& out, const w4idstring& text);

/// Argument adaptor: lets functions taking `const w4idstring_arg&` accept
/// narrow (UTF-8) or wide text of any common form, or a w4idstring without
/// copying it. Not thread-safe; lives as a function argument only (a
/// w4idstring it refers to must outlive it), hence neither copyable nor
/// movable.
class QM_EXPORT w4idstring_arg {
 public:
  /// Refers to a w4idstring, or holds one made from text (UTF-8 or wide).
  ///@{
  w4idstring_arg(const char* utf8) : owned_(utf8) {}
  w4idstring_arg(const std::string& utf8) : owned_(std::string_view(utf8)) {}
  w4idstring_arg(std::string_view utf8) : owned_(utf8) {}
  w4idstring_arg(const char16_t* text) : owned_(text) {}
  w4idstring_arg(const unsigned short* text) : owned_(text) {}
  w4idstring_arg(const std::u16string& text) : owned_(text) {}
  w4idstring_arg(std::u16string_view text) : owned_(text) {}
  w4idstring_arg(const w4idstring& text) : referenced_(&text) {}
  ///@}
  w4idstring_arg(const w4idstring_arg&) = delete;
  w4idstring_arg& operator=(const w4idstring_arg&) = delete;

  /// The text referred to or held.
  ///@{
  const w4idstring& get() const { return referenced_ != nullptr ? *referenced_ : owned_; }
  operator const w4idstring&() const { return get(); }
  ///@}

 private:
  w4idstring owned_;
  const w4idstring* referenced_ = nullptr;
};

}  // namespace W4STD

template <>
struct std::hash<W4STD::w4idstring> {
  std::size_t operator()(const W4STD::w4idstring& text) const noexcept { return text.hash(); }
};

/// Prints the text as UTF-8 (lossy).
/// @cond
template <>
struct fmt::formatter<W4STD::w4idstring> : fmt::formatter<W4Os::Utf8> {
  template <typename FormatContext>
  auto format(const W4STD::w4idstring& text, FormatContext& ctx) const -> decltype(ctx.out()) {
    return fmt::formatter<W4Os::Utf8>::format(W4Os::Utf8(text.str()), ctx);
  }
};
/// @endcond
