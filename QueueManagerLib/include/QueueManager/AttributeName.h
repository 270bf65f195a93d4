#pragma once

// Attribute names: the standard key catalogue and names of attributes,
// standard (carried as their catalogue number) or custom (carried as text).

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <set>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "QueueManager/Export.h"
#include "QueueManager/Platform/IdString.h"
#include "QueueManager/Platform/Message.h"

namespace QueueManager {

/// The numbers of the standard attribute keys. Each enumerator is spelled as
/// its canonical key text ("Xan_State" is Xan_State = 38). Any other number may
/// be held too: numbers arrive from the server unchecked.
enum eAttributeName : std::int32_t {
  eNonStandardAttribute = -1,  ///< a custom name, or the empty name
#define QM_ATTRIBUTE(number, key, type, flags) key = number,
#include "QueueManager/AttributeCatalogue.inc"
#undef QM_ATTRIBUTE
};

/// The name of an attribute: a standard key, held as its catalogue number with
/// no text, or a custom name, held as number -1 and its text. Names compare,
/// order and hash without regard to letter case; every custom name orders
/// before every standard one. A plain value type: copies are independent and
/// distinct objects may be used from different threads.
class QM_EXPORT CQmAttributeName {
 public:
  /// What the value of a standard key holds.
  enum eW4AttributeType : std::int32_t {
    eTypeBool = 0,
    eTypeBoolList = 1,
    eTypeInteger = 2,
    eTypeUnsigned = 4,
    eTypeUnsignedList = 5,
    eTypeString = 6,
    eTypeStringList = 7,
    eTypeDateTime = 8,
    eTypeUnknown = 10,  ///< custom names and numbers outside the catalogue
  };

  /// The empty name (number -1, empty text).
  CQmAttributeName() = default;
  /// The given number, unchecked against the catalogue.
  CQmAttributeName(eAttributeName number) : number_(number) {}
  /// From text: a canonical key or an alias (any letter case) gives the
  /// standard name and its text is not kept; any other text gives a custom
  /// name in which spaces, full stops, colons and control codes are replaced
  /// by underscores. Resolving a standard key does not allocate.
  ///@{
  CQmAttributeName(const W4STD::w4idstring_arg& text);
  CQmAttributeName(const std::u16string& text);
  ///@}
  /// As above; a custom name takes over the string instead of copying it
  /// (`text` is left as it was when it names a standard key).
  ///@{
  CQmAttributeName(std::u16string&& text);
  CQmAttributeName(std::u16string_view text);
  ///@}
  /// Zero-terminated wide text; a null pointer gives the empty name.
  ///@{
  CQmAttributeName(const char16_t* text);
  CQmAttributeName(const unsigned short* text);
  ///@}
  /// UTF-8 text; a null pointer or invalid UTF-8 gives the empty name.
  ///@{
  CQmAttributeName(const std::string& utf8);
  CQmAttributeName(const char* utf8);
  ///@}

  /// Exchanges the names.
  ///@{
  void swap(CQmAttributeName& other) noexcept;
  ///@}

  /// The canonical key of a standard name, the text of a custom name, or the
  /// empty text (the empty name, a number outside the catalogue).
  ///@{
  const W4STD::w4idstring& idstring() const;
  const std::u16string& DisplayName() const { return idstring().str(); }
  ///@}
  /// The lower-case form of idstring().
  std::u16string key() const { return idstring().lower(); }
  /// idstring() as zero-terminated text.
  const char16_t* c_str() const { return idstring().c_str(); }
  /// True for the empty name.
  bool empty() const { return number_ == eNonStandardAttribute && text_.empty(); }

  /// The number as held: -1 for a custom or empty name.
  eAttributeName QueryW4AttributeName() const { return number_; }
  /// The type class of a catalogue number; eTypeUnknown otherwise.
  eW4AttributeType QueryW4AttributeType() const;
  /// True for a catalogue number reserved for the system.
  bool IsReserved() const;
  /// True for a catalogue number written into messages as its number (all
  /// standard keys but the few that travel as text).
  bool IsSentByNumber() const;

  /// Empties `keys`, then fills it with the canonical keys of the catalogue,
  /// without the reserved keys when `excludeReserved`, and without the
  /// extended keys (interaction-processor and voice-interface internals) unless
  /// `includeExtended`. Aliases are never listed.
  static void QueryW4Attributes(std::set<std::u16string>& keys, bool excludeReserved,
                                bool includeExtended);

  /// The wire form: int number, followed by the text as wide text when the
  /// number written is -1. Names outside the catalogue and the keys sent by
  /// text write -1. Read keeps any number other than -1 unchecked and resolves
  /// text as the text constructors do; on a malformed or truncated message it
  /// throws CNotifierExtractException and leaves both the name and the
  /// message's read position unchanged.
  ///@{
  W4Notifier::CMessage& Write(W4Notifier::CMessage& message) const;
  const W4Notifier::CMessage& Read(const W4Notifier::CMessage& message);
  ///@}

  /// The ×33 hash of the lower-case text for a custom name, the number
  /// otherwise: names that compare equal hash equally.
  std::uint32_t Hash() const;
  /// Comparison by catalogue number, custom names by their text without regard to letter case.
  ///@{

  friend bool operator==(const CQmAttributeName& a, const CQmAttributeName& b) {
    return a.Cmp(b) == 0;
  }
  friend bool operator!=(const CQmAttributeName& a, const CQmAttributeName& b) {
    return a.Cmp(b) != 0;
  }
  friend bool operator<(const CQmAttributeName& a, const CQmAttributeName& b) {
    return a.Cmp(b) < 0;
  }
  friend bool operator<=(const CQmAttributeName& a, const CQmAttributeName& b) {
    return a.Cmp(b) <= 0;
  }
  friend bool operator>(const CQmAttributeName& a, const CQmAttributeName& b) {
    return a.Cmp(b) > 0;
  }
  friend bool operator>=(const CQmAttributeName& a, const CQmAttributeName& b) {
    return a.Cmp(b) >= 0;
  }
  ///@}
  /// Against a number the text plays no part: a custom name is less than
  /// every catalogue number and equal to none.
  ///@{
  bool operator==(eAttributeName number) const { return Cmp(number) == 0; }
  bool operator!=(eAttributeName number) const { return Cmp(number) != 0; }
  bool operator<(eAttributeName number) const { return Cmp(number) < 0; }
  bool operator<=(eAttributeName number) const { return Cmp(number) <= 0; }
  bool operator>(eAttributeName number) const { return Cmp(number) > 0; }
  bool operator>=(eAttributeName number) const { return Cmp(number) >= 0; }
  ///@}

 private:
  /// Negative, zero or positive. Numbers are compared with < and >, never
  /// subtracted (numbers read from the wire may be anything).
  /// Inline: ordered containers of names call it for every step.
  int Cmp(const CQmAttributeName& other) const {
    if (number_ != other.number_) return number_ < other.number_ ? -1 : 1;
    if (number_ != eNonStandardAttribute) return 0;
    return W4Os::CompareNoCase(text_.str(), other.text_.str());
  }
  int Cmp(eAttributeName number) const {
    return number_ < number ? -1 : (number_ > number ? 1 : 0);
  }
  void Set(std::u16string_view text);

  eAttributeName number_ = eNonStandardAttribute;
  W4STD::w4idstring text_;  ///< custom names only
};

inline void swap(CQmAttributeName& a, CQmAttributeName& b) noexcept { a.swap(b); }

/// The canonical key of a catalogue number, "****" for any other number.
QM_EXPORT std::ostream& operator<<(std::ostream& out, eAttributeName number);
/// A standard name as its number above; a custom name as its text (UTF-8).
QM_EXPORT std::ostream& operator<<(std::ostream& out, const CQmAttributeName& name);
/// The text that the stream output above writes.
QM_EXPORT std::string ToTraceText(const CQmAttributeName& name);

}  // namespace QueueManager

template <>
struct std::hash<QueueManager::CQmAttributeName> {
  std::size_t operator()(const QueueManager::CQmAttributeName& name) const noexcept {
    return name.Hash();
  }
};

/// Formats a name as its stream output does.
/// @cond
template <>
struct fmt::formatter<QueueManager::CQmAttributeName> : fmt::formatter<std::string_view> {
  auto format(const QueueManager::CQmAttributeName& name, fmt::format_context& ctx) const
      -> decltype(ctx.out()) {
    return fmt::formatter<std::string_view>::format(QueueManager::ToTraceText(name), ctx);
  }
};
/// @endcond
