#include "Console.h"

#include <utility>

#include <fmt/format.h>

namespace ContactCentre {
namespace {

// Enough to fill a usual terminal under the board.
constexpr std::size_t kRecentEvents = 18;
constexpr const char* kHome = "\x1b[H";
constexpr const char* kClearScreen = "\x1b[2J";
constexpr const char* kClearLineEnd = "\x1b[K";
constexpr const char* kClearBelow = "\x1b[J";

}  // namespace

std::string FormatEvent(double seconds, std::uint32_t id, const Label& label,
                        std::string_view text) {
  return fmt::format("{:6.1f}s  #{:<4} {:<6}  {:<8} {:<6}  {}", seconds, id, label.medium,
                     label.queue, label.agent, text);
}

Console::Console(eMode mode, std::FILE* out)
    : mode_(mode), out_(out), start_(std::chrono::steady_clock::now()) {}

double Console::Elapsed() const {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

void Console::SetLabel(std::uint32_t id, Label label) {
  W4Os::MutexLock lock(&mutex_);
  labels_[id] = std::move(label);
}

Label Console::LabelOf(std::uint32_t id) const {
  W4Os::MutexLock lock(&mutex_);
  const auto found = labels_.find(id);
  return found == labels_.end() ? Label{} : found->second;
}

void Console::Event(std::uint32_t id, std::string_view text) {
  Emit(FormatEvent(Elapsed(), id, LabelOf(id), text));
}

void Console::Note(std::string_view text) { Emit(fmt::format("{:6.1f}s  {}", Elapsed(), text)); }

void Console::Emit(std::string line) {
  if (mode_ == eMode::kQuiet) return;
  W4Os::MutexLock lock(&mutex_);
  if (mode_ == eMode::kLines) {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
    return;
  }
  recent_.push_back(std::move(line));
  if (recent_.size() > kRecentEvents) recent_.pop_front();
}

void Console::ShowBoard(const std::vector<std::string>& lines) {
  if (mode_ == eMode::kQuiet) return;
  const double now = Elapsed();
  W4Os::MutexLock lock(&mutex_);
  board_ = lines;
  if (mode_ != eMode::kLines || board_ == boardPrinted_) return;
  // The header, then only the queues whose line changed.
  for (std::size_t row = 0; row < board_.size(); ++row) {
    const bool changed = row >= boardPrinted_.size() || board_[row] != boardPrinted_[row];
    if (row == 0 || changed) std::fprintf(out_, "%6.1fs  | %s\n", now, board_[row].c_str());
  }
  boardPrinted_ = board_;
  std::fflush(out_);
}

void Console::Redraw(std::string_view title) {
  if (mode_ != eMode::kLive) return;
  W4Os::MutexLock lock(&mutex_);
  std::string screen = painted_ ? kHome : fmt::format("{}{}", kClearScreen, kHome);
  painted_ = true;
  const auto addLine = [&screen](std::string_view line) {
    screen += fmt::format("{}{}\n", line, kClearLineEnd);
  };
  addLine(title);
  addLine("");
  for (const std::string& line : board_) addLine(line);
  addLine("");
  for (const std::string& line : recent_) addLine(line);
  screen += kClearBelow;
  std::fputs(screen.c_str(), out_);
  std::fflush(out_);
}

void Console::Final(std::string_view text) {
  W4Os::MutexLock lock(&mutex_);
  std::fprintf(out_, "%.*s\n", static_cast<int>(text.size()), text.data());
  std::fflush(out_);
}

}  // namespace ContactCentre
