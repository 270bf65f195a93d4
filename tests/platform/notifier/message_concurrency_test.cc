#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "QueueManager/Platform/Message.h"

namespace W4Notifier {
namespace {

// Copies of one message go to several threads. Some read theirs and drop it,
// others read theirs and then write to it, while this thread writes to the
// original. Whoever writes last owns the body alone and writes in place: the
// other owners' reads and releases must happen before that write (a race
// under ThreadSanitizer otherwise), and no write may show through another
// copy.
TEST(MessageConcurrencyTest, CopiesReadWrittenAndDroppedOnOtherThreadsStayIndependent) {
  for (int round = 0; round < 300; ++round) {
    CMessage original;
    original << std::int32_t{round} << std::u16string(u"shared text");
    const std::string shared = "int " + std::to_string(round) + ", wstring \"shared text\"";
    std::vector<CMessage> copies(4, original);
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < copies.size(); ++t) {
      threads.emplace_back([&copies, &shared, t] {
        CMessage mine = std::move(copies[t]);
        EXPECT_EQ(mine.DescribeFields(), shared);
        if (t % 2 == 0) return;  // dropped here, maybe as the next-to-last owner
        for (std::int32_t i = 0; i < 3; ++i) mine << static_cast<std::int32_t>(t);
        const std::string own = ", int " + std::to_string(t);
        EXPECT_EQ(mine.DescribeFields(), shared + own + own + own);
      });
    }
    original << true;
    EXPECT_EQ(original.DescribeFields(), shared + ", bool true");
    for (std::thread& thread : threads) thread.join();
  }
}

}  // namespace
}  // namespace W4Notifier
