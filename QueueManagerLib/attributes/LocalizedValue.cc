// Display text from templates: "%<id>%" tokens name strings of the client
// resource library, and "%<n>%" placeholders take list arguments.

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "QueueManager/AttributeValue.h"
#include "QueueManager/Platform/Resources.h"
#include "QueueManager/Platform/Text.h"
#include "QueueManager/Platform/Trace.h"
#include "attributes/NumberText.h"

namespace QueueManager {
namespace {

constexpr std::u16string_view kUnknownNameToken = u"%0UNKNOWNNAME0%";
constexpr std::uint32_t kUnknownNameId = 13683;
constexpr int kResourceFlag = 1;

// A localized text may name itself, directly or through other texts, and then
// expands without end. Expansion therefore stops after this many
// replacements, or before one that would make the text longer than the
// length limit; the tokens left are kept as they are.
constexpr int kMaxExpansions = 256;
constexpr std::size_t kMaxLocalizedLength = 65536;

// A run of ASCII digits (the C locale's iswdigit) and its value, saturated
// above every 32-bit number so that a long run cannot wrap into a small one.
struct CDigitRun {
  std::uint64_t number = 0;
  std::size_t end = 0;  // the position after the last digit
};

CDigitRun ReadDigitRun(std::u16string_view text, std::size_t pos) {
  constexpr std::uint64_t kSaturated = std::uint64_t{1} << 33;
  CDigitRun run;
  for (; pos < text.size() && detail::IsDecimalDigit(text[pos]); ++pos) {
    run.number =
        std::min(run.number * 10 + static_cast<std::uint64_t>(text[pos] - u'0'), kSaturated);
  }
  run.end = pos;
  return run;
}

// What the "%" at `start` opens: a token closed by a "%" at `close`, with
// the identifier it names (none when its digits overflow an identifier), or
// no token, and then the scan goes on at `resume`.
struct CResourceToken {
  bool closed = false;
  std::size_t close = 0;
  std::optional<std::uint32_t> id;
  std::size_t resume = 0;
};

CResourceToken ScanResourceToken(std::u16string_view text, std::size_t start) {
  CResourceToken token;
  if (text.compare(start, kUnknownNameToken.size(), kUnknownNameToken) == 0) {
    token.closed = true;
    token.close = start + kUnknownNameToken.size() - 1;
    token.id = kUnknownNameId;
    return token;
  }
  const CDigitRun run = ReadDigitRun(text, start + 1);
  // Without digits there is no token; a "%" right after may open one.
  if (run.end == start + 1) {
    token.resume = start + 1;
    return token;
  }
  if (run.end == text.size() || text[run.end] != u'%') {
    token.resume = run.end + 1;
    return token;
  }
  token.closed = true;
  token.close = run.end;
  if (run.number <= std::numeric_limits<std::uint32_t>::max())
    token.id = static_cast<std::uint32_t>(run.number);
  return token;
}

// The wide text of string `id`; empty when the library knows none.
std::u16string LocalizedString(std::uint32_t id, std::uint16_t language) {
  std::u16string wide;
  if (!W4Os::NarrowToWide(GetW4ClntString(id, kResourceFlag, language), wide)) wide.clear();
  return wide;
}

// Shows the start of the text only: it may be up to the length limit long.
void TraceExpansionLimit(std::u16string_view text) {
  constexpr std::size_t kShown = 100;
  QM_TRACE(W4Trace::QueueManagerTopic(), W4Trace::kLevelWarning,
           "QueueManager::CQmAttributeValue::QueryLocalizedValue",
           "expansion stopped at its limit; tokens left in \"{}{}\"",
           W4Os::Utf8(text.substr(0, kShown)), text.size() > kShown ? "..." : "");
}

// Pass 1: replaces resource tokens, the arguments included. Inserted text is
// scanned again from its second character on, so strings may name others.
void ExpandResourceTokens(std::u16string& text, std::uint16_t language) {
  int expansions = 0;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = text.find(u'%', pos);
    if (start == std::u16string::npos) return;
    const CResourceToken token = ScanResourceToken(text, start);
    if (!token.closed) {
      pos = token.resume;
      continue;
    }
    const std::u16string localized = token.id ? LocalizedString(*token.id, language) : u"";
    if (localized.empty()) {
      pos = token.close;  // the closing "%" may open the next token
      continue;
    }
    const std::size_t tokenLength = token.close + 1 - start;
    if (expansions == kMaxExpansions ||
        text.size() - tokenLength + localized.size() > kMaxLocalizedLength) {
      TraceExpansionLimit(text);
      return;
    }
    text.replace(start, tokenLength, localized);
    ++expansions;
    pos = start + 1;
  }
}

// The elements after the first separator. A separator that ends the text
// after an argument adds no empty argument; a text whose first separator is
// its last character has one empty argument.
std::vector<std::u16string> SplitArguments(std::u16string_view rest) {
  std::vector<std::u16string> arguments;
  std::size_t pos = 0;
  do {
    std::size_t end = rest.find(CQmAttributeValue::chMultiValueSeparator, pos);
    if (end == std::u16string_view::npos) end = rest.size();
    arguments.emplace_back(rest.substr(pos, end - pos));
    pos = end + 1;
  } while (pos < rest.size());
  return arguments;
}

// Pass 2: the text before the first separator, with "%<n>" and the one
// character after it replaced by argument n. Arguments are not scanned.
void SubstituteArguments(std::u16string& text) {
  const std::size_t first = text.find(CQmAttributeValue::chMultiValueSeparator);
  if (first == std::u16string::npos) return;
  const std::vector<std::u16string> arguments =
      SplitArguments(std::u16string_view(text).substr(first + 1));
  text.resize(first);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t start = text.find(u'%', pos);
    if (start == std::u16string::npos) return;
    const CDigitRun run = ReadDigitRun(text, start + 1);
    if (run.number < 1 || run.number > arguments.size()) {
      pos = run.end + 1;
      continue;
    }
    const std::u16string& argument = arguments[run.number - 1];
    const std::size_t end = std::min(run.end + 1, text.size());
    text.replace(start, end - start, argument);
    pos = start + argument.size();
  }
}

}  // namespace

std::u16string CQmAttributeValue::QueryLocalizedValue(std::uint16_t language) const {
  std::u16string text = text_;
  ExpandResourceTokens(text, language);
  SubstituteArguments(text);
  return text;
}

}  // namespace QueueManager
