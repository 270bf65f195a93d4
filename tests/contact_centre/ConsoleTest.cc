// The screen: which lines each mode writes, and the board's columns.

#include <gmock/gmock.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "Board.h"
#include "Console.h"

namespace ContactCentre {
namespace {

using ::testing::ElementsAre;
using ::testing::EndsWith;
using ::testing::IsEmpty;

// A console writing to memory; Lines() gives what it wrote.
class CapturedConsole {
 public:
  explicit CapturedConsole(Console::eMode mode)
      : out_(open_memstream(&buffer_, &size_)), console_(mode, out_) {}
  ~CapturedConsole() {
    std::fclose(out_);
    std::free(buffer_);
  }
  Console& operator*() { return console_; }
  std::vector<std::string> Lines() {
    std::fflush(out_);
    std::vector<std::string> lines;
    std::istringstream text(std::string(buffer_, size_));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }

 private:
  char* buffer_ = nullptr;
  std::size_t size_ = 0;
  std::FILE* out_;
  Console console_;
};

TEST(ContactCentreConsole, LinesModePrintsTheHeaderAndOnlyTheQueuesThatChanged) {
  CapturedConsole console(Console::eMode::kLines);
  (*console).ShowBoard({"header", "Sales 0", "alice 0"});
  (*console).ShowBoard({"header", "Sales 0", "alice 0"});  // unchanged: nothing
  (*console).ShowBoard({"header", "Sales 1", "alice 0"});
  std::vector<std::string> lines = console.Lines();
  ASSERT_EQ(lines.size(), 5U);
  EXPECT_THAT(lines[0], EndsWith("s  | header"));
  EXPECT_THAT(lines[2], EndsWith("s  | alice 0"));
  EXPECT_THAT(lines[3], EndsWith("s  | header"));
  EXPECT_THAT(lines[4], EndsWith("s  | Sales 1"));
}

TEST(ContactCentreConsole, QuietModeWritesOnlyTheFinalLines) {
  CapturedConsole console(Console::eMode::kQuiet);
  (*console).SetLabel(3, {"call", "Sales", "alice"});
  (*console).Event(3, "answered");
  (*console).Note("renegotiated");
  (*console).ShowBoard({"header"});
  (*console).Redraw("title");
  (*console).Final("check passed");
  EXPECT_THAT(console.Lines(), ElementsAre("check passed"));
}

TEST(ContactCentreConsole, LiveModeRepaintsInPlaceOnlyOnRedraw) {
  CapturedConsole console(Console::eMode::kLive);
  (*console).Event(3, "answered");
  EXPECT_THAT(console.Lines(), IsEmpty());
  (*console).ShowBoard({"header"});
  (*console).Redraw("title");
  (*console).Redraw("title");
  const std::vector<std::string> lines = console.Lines();
  ASSERT_EQ(lines.size(), 11U);
  EXPECT_EQ(lines[0], "\x1b[2J\x1b[Htitle\x1b[K");  // the screen is cleared once
  EXPECT_EQ(lines[2], "header\x1b[K");
  EXPECT_THAT(lines[4], EndsWith("answered\x1b[K"));
  EXPECT_EQ(lines[5], "\x1b[J\x1b[Htitle\x1b[K");  // then only the cursor goes home
  EXPECT_EQ(lines[10], "\x1b[J");                  // and what was below goes
}

TEST(ContactCentreConsole, EventsAndBoardLinesKeepTheirColumns) {
  const std::string short_ = FormatEvent(1.25, 7, {"call", "Sales", "bob"}, "answered");
  const std::string long_ = FormatEvent(123.5, 1234, {"e-mail", "Support", "carol"}, "answered");
  EXPECT_EQ(short_, "   1.2s  #7    call    Sales    bob     answered");
  EXPECT_EQ(short_.find("answered"), long_.find("answered"));

  QueueManager::CQmQueueStats::Counters counters{1, 2, 3, 4, 5, 6};
  const std::vector<std::string> board =
      FormatBoard({{"Sales", "workgroup", QueueManager::CQmQueueStats(counters)},
                   {"alice", "agent", QueueManager::CQmQueueStats()}});
  ASSERT_EQ(board.size(), 3U);
  EXPECT_EQ(board[0].size(), board[1].size());
  EXPECT_EQ(board[1].size(), board[2].size());
  // active: alerting, connected, held and messaging; total: all six counts.
  EXPECT_THAT(board[1], EndsWith("     1     2     4     5     3     6      12     21"));
}

}  // namespace
}  // namespace ContactCentre
