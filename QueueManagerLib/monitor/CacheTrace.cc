#include "monitor/CacheTrace.h"

#include <sstream>

#include <fmt/format.h>

namespace QueueManager {
namespace {

template <class Names>
std::string JoinNames(const Names& names) {
  std::string text = "{";
  bool first = true;
  for (const CQmAttributeName& name : names) {
    if (!first) text += ',';
    first = false;
    text += ToTraceText(name);
  }
  text += '}';
  return text;
}

}  // namespace

std::string ScopedName(const W4Notifier::CEntityId& entity) {
  return fmt::format("{}", entity.QueryScopedName());
}

std::string NamesText(const std::vector<CQmAttributeName>& names) { return JoinNames(names); }

std::string NamesText(const std::set<CQmAttributeName>& names) { return JoinNames(names); }

std::string MapText(const CQmAttributeMap& map) {
  std::string text = "{";
  bool first = true;
  for (const auto& [name, value] : map) {
    if (!first) text += ',';
    first = false;
    text += ToTraceText(name);
    text += '=';
    text += ToTraceText(value);
  }
  text += '}';
  return text;
}

std::string StatsText(const CQmQueueStats& stats) {
  std::ostringstream out;
  out << stats;
  return out.str();
}

std::string Stats2Text(const CQmQueueStats2& stats) {
  std::ostringstream out;
  out << stats;
  return out.str();
}

}  // namespace QueueManager
