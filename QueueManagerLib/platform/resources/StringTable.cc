#include "platform/resources/StringTable.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "QueueManager/Platform/Resources.h"
#include "QueueManager/Platform/Text.h"

namespace W4Clnt {
namespace {

struct CBuiltInString {
  std::uint32_t id;
  std::string_view text;
};

// The library's own neutral strings: interaction states, and the name shown
// for an object whose name is unknown.
constexpr std::array kBuiltInStrings{
    CBuiltInString{1000, "Alerting"},
    CBuiltInString{1001, "Connected"},
    CBuiltInString{1002, "Held"},
    CBuiltInString{1003, "Messaging"},
    CBuiltInString{1004, "Parked"},
    CBuiltInString{1005, "Proceeding"},
    CBuiltInString{1006, "System"},
    CBuiltInString{1007, "Wait Agent"},
    CBuiltInString{1008, "Disconnected (Local)"},
    CBuiltInString{1009, "Disconnected (Remote)"},
    CBuiltInString{1010, "Offering"},
    CBuiltInString{1011, "System"},
    CBuiltInString{13683, "Unknown Name"},
};

std::string_view FindBuiltIn(std::uint32_t id) {
  const auto found = std::find_if(kBuiltInStrings.begin(), kBuiltInStrings.end(),
                                  [id](const CBuiltInString& entry) { return entry.id == id; });
  return found == kBuiltInStrings.end() ? std::string_view() : found->text;
}

// The primary language of a language identifier: its low ten bits.
std::uint16_t PrimaryLanguage(std::uint16_t language) {
  return static_cast<std::uint16_t>(language & 0x03FFu);
}

bool IsValidUtf8(const std::string& text) {
  std::u16string wide;
  return W4Os::NarrowToWide(text, wide);
}

}  // namespace

CStringTable& CStringTable::Instance() {
  static CStringTable* const table = new CStringTable();
  return *table;
}

bool CStringTable::Register(std::uint16_t language, std::uint32_t id, std::string text) {
  if (text.empty() || !IsValidUtf8(text)) return false;
  CWriteLock lock(&mutex_);
  strings_.insert_or_assign(Key(language, id), std::move(text));
  return true;
}

bool CStringTable::Unregister(std::uint16_t language, std::uint32_t id) {
  CWriteLock lock(&mutex_);
  return strings_.erase(Key(language, id)) != 0;
}

void CStringTable::Clear() {
  CWriteLock lock(&mutex_);
  strings_.clear();
}

std::optional<std::string> CStringTable::FindRegistered(std::uint32_t id,
                                                        std::uint16_t language) const {
  const auto found = strings_.find(Key(language, id));
  if (found == strings_.end()) return std::nullopt;
  return found->second;
}

std::string CStringTable::Find(std::uint32_t id, std::uint16_t language) const {
  {
    CReadLock lock(&mutex_);
    const std::uint16_t candidates[] = {language, PrimaryLanguage(language), kNeutralLanguage};
    for (const std::uint16_t candidate : candidates) {
      std::optional<std::string> text = FindRegistered(id, candidate);
      if (text) return std::move(*text);
    }
  }
  return std::string(FindBuiltIn(id));
}

}  // namespace W4Clnt

std::string GetW4ClntString(std::uint32_t id, int /*flag*/, std::uint16_t language) {
  return W4Clnt::CStringTable::Instance().Find(id, language);
}

namespace W4Clnt {

bool RegisterString(std::uint16_t language, std::uint32_t id, std::string text) {
  return CStringTable::Instance().Register(language, id, std::move(text));
}

bool UnregisterString(std::uint16_t language, std::uint32_t id) {
  return CStringTable::Instance().Unregister(language, id);
}

void ClearRegisteredStrings() { CStringTable::Instance().Clear(); }

}  // namespace W4Clnt
