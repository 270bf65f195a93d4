#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "QueueManager/Platform/Resources.h"

namespace {

TEST(ResourcesConcurrencyTest, LookupsDuringRegistrationSeeWholeTexts) {
  std::atomic<bool> stop{false};
  std::atomic<int> badTexts{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      while (!stop.load()) {
        const std::string text = GetW4ClntString(1002, 1, 0x0407);
        if (text != "Held" && text != "Gehalten") badTexts.fetch_add(1);
      }
    });
  }
  for (int round = 0; round < 2000; ++round) {
    ASSERT_TRUE(W4Clnt::RegisterString(0x0407, 1002, "Gehalten"));
    ASSERT_TRUE(W4Clnt::UnregisterString(0x0407, 1002));
  }
  stop.store(true);
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(badTexts.load(), 0);
}

}  // namespace
