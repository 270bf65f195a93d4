// The cache's load protocol on its own: which answer serves which load.

#include <gtest/gtest.h>

#include <vector>

#include "monitor/LoadBook.h"

namespace QueueManager {
namespace {

using W4Notifier::CEntityId;
using Ticket = LoadBook::Ticket;

const CEntityId kQueue(W4Notifier::eUserQueue, 1u);
constexpr MonitorId kMonitor = 5;

// Activates kMonitor: `attached` whether it was attached (and live) before.
Ticket Activate(LoadBook& book, bool adding, bool attached) {
  const LoadBook::Activation activation =
      book.Activate(kMonitor, kQueue, adding, [&] { return !attached; });
  return Ticket{kMonitor, activation.load, activation.adding, true};
}

TEST(LoadBookTest, OnlyTheLatestLoadEndsTheWait) {
  LoadBook book;
  const Ticket first = Activate(book, false, false);
  const Ticket second = Activate(book, false, true);
  EXPECT_FALSE(book.Serves(first));
  book.Failed(first);  // superseded: the monitor is left to the later load
  book.Answered(first);
  EXPECT_FALSE(book.IsLive(kMonitor));
  EXPECT_TRUE(book.Serves(second));
  book.Answered(second);
  EXPECT_TRUE(book.IsLive(kMonitor));
  EXPECT_FALSE(book.AnyPending());
}

TEST(LoadBookTest, AFailureLeavesALiveMonitorLiveAndAnotherPendingForARetry) {
  const struct {
    bool attached;  // live before it asked
    bool live;      // after the failure
  } cases[] = {{true, true}, {false, false}};
  for (const auto& c : cases) {
    LoadBook book;
    const Ticket ticket = Activate(book, true, c.attached);
    EXPECT_EQ(ticket.adding, c.attached);
    EXPECT_EQ(book.IsLive(kMonitor), c.attached);
    book.Failed(ticket);
    EXPECT_EQ(book.IsLive(kMonitor), c.live);
    EXPECT_EQ(book.FailedMonitors(), c.live ? std::vector<MonitorId>{} : std::vector{kMonitor});
    const auto retry = book.Retry(kMonitor);
    ASSERT_EQ(retry.has_value(), !c.live);
    if (retry) {
      EXPECT_TRUE(book.Serves(Ticket{kMonitor, retry->second, false, true}));
    }
  }
}

TEST(LoadBookTest, MoreNamesAskedForDuringDeliveryKeepTheDeliveredLoad) {
  LoadBook book;
  const Ticket contents = Activate(book, false, false);
  // Before delivery starts, more names are no substitute for the contents.
  const LoadBook::Activation early = book.Activate(kMonitor, kQueue, true, [] { return false; });
  EXPECT_TRUE(early.allNames);
  EXPECT_FALSE(early.adding);
  EXPECT_FALSE(book.Serves(contents));
  const Ticket delivered{kMonitor, early.load, false, true};
  book.Delivering(delivered);
  const Ticket more = Activate(book, true, true);
  EXPECT_TRUE(more.adding);
  EXPECT_TRUE(book.AnswersCurrentLoad(delivered));
  book.Answered(delivered);
  EXPECT_TRUE(book.IsLive(kMonitor));
  EXPECT_TRUE(book.Serves(more));
}

TEST(LoadBookTest, AnAnswerIsLookedAtThenTaken) {
  LoadBook book;
  LoadBook::Request reload;
  reload.reload = true;
  LoadBook::Request load;
  load.requester = kMonitor;
  book.Sent(7, reload);
  book.Sent(8, load);
  ASSERT_TRUE(book.Look(7));
  EXPECT_TRUE(book.ReloadInFlight());
  EXPECT_TRUE(book.Take(7));
  EXPECT_FALSE(book.Take(7));
  EXPECT_FALSE(book.ReloadInFlight());
  EXPECT_EQ(book.Take(8)->requester, kMonitor);
  EXPECT_FALSE(book.AnyRequest());
}

}  // namespace
}  // namespace QueueManager
