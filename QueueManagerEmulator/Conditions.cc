#include "Conditions.h"

#include <vector>

#include "QueueManager/Platform/Text.h"

namespace QueueManager::Emulator {
namespace {

bool HasElement(const CQmAttributeValue& list, const CQmAttributeValue& element) {
  std::vector<std::u16string> elements;
  list.QueryVector(elements);
  for (const std::u16string& each : elements) {
    if (W4Os::EqualsNoCase(each, element.QueryString())) return true;
  }
  return false;
}

template <class T>
bool Ordered(const T& a, const T& b, std::int32_t code) {
  switch (code) {
    case 0:
      return a == b;
    case 1:
      return a != b;
    case 2:
      return a < b;
    case 3:
      return a <= b;
    case 4:
      return a > b;
    case 5:
      return a >= b;
    default:
      return false;
  }
}

bool Holds(const Condition& condition, const CQmAttributeMap& attributes) {
  const CQmAttributeValue& left = attributes.Query(condition.name);
  const CQmAttributeValue right = condition.other.empty() ? CQmAttributeValue(condition.value)
                                                          : attributes.Query(condition.other);
  return Compare(left, right, condition.comparison, condition.flag);
}

}  // namespace

bool Compare(const CQmAttributeValue& left, const CQmAttributeValue& right, std::int32_t code,
             bool numeric) {
  if (code == 6) return HasElement(left, right);
  if (!numeric) return Ordered(left.QueryString(), right.QueryString(), code);
  long a = 0;
  long b = 0;
  if (!left.Query(a) || !right.Query(b)) return false;
  return Ordered(a, b, code);
}

bool Applies(const ConditionalSetting& setting, const CQmAttributeMap& attributes) {
  if (setting.setWhenEmpty && attributes.Query(setting.name).QueryString().empty()) return true;
  if (setting.conditions.empty()) return true;
  for (const Condition& condition : setting.conditions) {
    const bool holds = Holds(condition, attributes);
    if (holds != setting.allConditions) return holds;
  }
  return setting.allConditions;
}

bool GlobMatches(std::u16string_view pattern, std::u16string_view text) {
  // Iterative, with one backtrack point: linear in practice, never recursive.
  std::size_t p = 0;
  std::size_t t = 0;
  std::size_t star = std::u16string_view::npos;
  std::size_t resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() &&
               (pattern[p] == u'?' || W4Os::ToLower(pattern[p]) == W4Os::ToLower(text[t]))) {
      ++p;
      ++t;
    } else if (star != std::u16string_view::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

}  // namespace QueueManager::Emulator
