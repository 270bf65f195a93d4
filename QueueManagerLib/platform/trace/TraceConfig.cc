#include "platform/trace/TraceConfig.h"

#include <charconv>

#include "QueueManager/Platform/Trace.h"

namespace W4Trace {
namespace {

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t\r\n";
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

std::optional<int> ParseLevel(std::string_view text) {
  text = Trim(text);
  int level = 0;
  const char* const end = text.data() + text.size();
  const auto [next, error] = std::from_chars(text.data(), end, level);
  if (text.empty() || error != std::errc() || next != end) return std::nullopt;
  if (level < kLevelOff || level > kLevelMax) return std::nullopt;
  return level;
}

// Applies one item; false when it cannot be read.
bool ApplyItem(std::string_view item, CTraceConfig& config) {
  const std::size_t colon = item.rfind(':');
  if (colon == std::string_view::npos) {
    const std::optional<int> level = ParseLevel(item);
    if (level) config.allTopics = *level;
    return level.has_value();
  }
  const std::string_view name = Trim(item.substr(0, colon));
  const std::optional<int> level = ParseLevel(item.substr(colon + 1));
  if (name.empty() || !level) return false;
  config.topics.insert_or_assign(std::string(name), *level);
  return true;
}

}  // namespace

int CTraceConfig::LevelFor(std::string_view topic) const {
  const auto found = topics.find(topic);
  if (found != topics.end()) return found->second;
  return allTopics.value_or(kLevelOff);
}

bool CTraceConfig::EnablesAny() const {
  if (allTopics.value_or(kLevelOff) > kLevelOff) return true;
  for (const auto& [name, level] : topics) {
    if (level > kLevelOff) return true;
  }
  return false;
}

CTraceConfig ParseTraceConfig(std::string_view text) {
  CTraceConfig config;
  while (!text.empty()) {
    const std::size_t comma = text.find(',');
    const std::string_view item = Trim(text.substr(0, comma));
    text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
    if (!item.empty() && !ApplyItem(item, config)) config.rejected.emplace_back(item);
  }
  return config;
}

}  // namespace W4Trace
