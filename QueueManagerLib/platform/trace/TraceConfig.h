#pragma once

// The text form of the QM_TRACE setting and its parsing, kept apart from the
// environment so that it can be tested.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace W4Trace {

// Topic levels parsed from a QM_TRACE value. A value type; not synchronised.
struct CTraceConfig {
  // The level of every topic not named in `topics` ("81").
  std::optional<int> allTopics;
  // Levels of named topics ("QueueManager:81").
  std::map<std::string, int, std::less<>> topics;
  // Items that could not be read, as written.
  std::vector<std::string> rejected;

  // The level the setting gives a topic: its own, else the common one, else off.
  int LevelFor(std::string_view topic) const;
  // True when the setting lets any trace through.
  bool EnablesAny() const;
};

// Reads a comma-separated list of items, each either a level ("81") or a
// topic name and a level ("QueueManager:81"). Levels are decimal 0..100;
// blanks around names and levels are ignored; a later item overrides an
// earlier one of the same topic (or the earlier common level); a topic's own
// level wins over the common level whatever their order; empty items are
// skipped; anything else is listed in `rejected`.
CTraceConfig ParseTraceConfig(std::string_view text);

}  // namespace W4Trace
