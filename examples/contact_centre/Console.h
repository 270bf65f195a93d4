#pragma once

// The demo's screen: event lines, the queue board and announcements.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/ThreadAnnotations.h"

namespace ContactCentre {

// What an event line shows about an interaction besides its id.
struct Label {
  std::string medium;
  std::string queue;
  std::string agent;
};

// One event line: "  4.3s  #12   call    Sales    alice   offered".
std::string FormatEvent(double seconds, std::uint32_t id, const Label& label,
                        std::string_view text);

// Thread-safe: monitor callbacks print from delivery threads while the
// scenario prints from the main thread; each line is written whole. Does not
// own `out`.
//
// kLive repaints the board and the latest events in place (ANSI cursor moves)
// on Redraw; kLines prints every event as it comes and, as timestamped
// lines, the board's header and the queues whose line changed; kQuiet prints only Final lines.
class Console {
 public:
  enum class eMode { kLive, kLines, kQuiet };

  Console(eMode mode, std::FILE* out);

  double Elapsed() const;
  void SetLabel(std::uint32_t id, Label label);
  Label LabelOf(std::uint32_t id) const;
  void Event(std::uint32_t id, std::string_view text);
  void Note(std::string_view text);
  // The board's latest lines (kLines prints them when they changed).
  void ShowBoard(const std::vector<std::string>& lines);
  // kLive: repaints `title`, the board and the latest events.
  void Redraw(std::string_view title);
  // Printed in every mode.
  void Final(std::string_view text);

 private:
  void Emit(std::string line);

  const eMode mode_;
  std::FILE* const out_;
  const std::chrono::steady_clock::time_point start_;
  // Guards everything below; a leaf lock, held only to format and write.
  mutable W4Os::Mutex mutex_;
  std::map<std::uint32_t, Label> labels_ QM_GUARDED_BY(mutex_);
  std::deque<std::string> recent_ QM_GUARDED_BY(mutex_);
  std::vector<std::string> board_ QM_GUARDED_BY(mutex_);
  std::vector<std::string> boardPrinted_ QM_GUARDED_BY(mutex_);
  bool painted_ QM_GUARDED_BY(mutex_) = false;
};

}  // namespace ContactCentre
