// The client resource library: built-in and registered strings, also looked
// up while they are registered.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "QueueManager/Platform/Resources.h"

namespace {

constexpr int kFlag = 1;
constexpr std::uint16_t kEnglishUs = 0x0409;
constexpr std::uint16_t kEnglish = 0x0009;
constexpr std::uint16_t kGerman = 0x0407;

class ResourcesTest : public ::testing::Test {
 protected:
  void TearDown() override { W4Clnt::ClearRegisteredStrings(); }
};

TEST_F(ResourcesTest, BuiltInTableAnswersEveryLanguageUnderWhatIsRegistered) {
  EXPECT_EQ(GetW4ClntString(1000, kFlag, 0), "Alerting");
  EXPECT_EQ(GetW4ClntString(1007, kFlag, kGerman), "Wait Agent");
  EXPECT_EQ(GetW4ClntString(1009, kFlag, kEnglishUs), "Disconnected (Remote)");
  for (const std::uint32_t unknown : {0u, 999u, 1012u}) {
    EXPECT_EQ(GetW4ClntString(unknown, kFlag, kEnglishUs), "") << unknown;
  }

  // Lookup goes to the exact language, then the primary one, then the neutral one, then the
  // built-in table.
  ASSERT_TRUE(W4Clnt::RegisterString(W4Clnt::kNeutralLanguage, 1001, "Neutral connected"));
  EXPECT_EQ(GetW4ClntString(1001, kFlag, kEnglishUs), "Neutral connected");
  ASSERT_TRUE(W4Clnt::RegisterString(kEnglish, 1001, "English connected"));
  EXPECT_EQ(GetW4ClntString(1001, kFlag, kEnglishUs), "English connected");
  ASSERT_TRUE(W4Clnt::RegisterString(kEnglishUs, 1001, "US connected"));
  EXPECT_EQ(GetW4ClntString(1001, kFlag, kEnglishUs), "US connected");
  EXPECT_EQ(GetW4ClntString(1001, kFlag, kGerman), "Neutral connected");

  EXPECT_TRUE(W4Clnt::UnregisterString(kEnglishUs, 1001));
  EXPECT_EQ(GetW4ClntString(1001, kFlag, kEnglishUs), "English connected");
  W4Clnt::ClearRegisteredStrings();
  EXPECT_EQ(GetW4ClntString(1001, kFlag, kEnglishUs), "Connected");
  // Registered text is returned as given and replaceable.
  const std::string german = "Verbunden \xe2\x80\x93 gr\xc3\xbc\x6e";
  ASSERT_TRUE(W4Clnt::RegisterString(kGerman, 5000, german));
  EXPECT_EQ(GetW4ClntString(5000, kFlag, kGerman), german);
  EXPECT_EQ(GetW4ClntString(5000, kFlag, kEnglishUs), "") << "no neutral text for 5000";
  ASSERT_TRUE(W4Clnt::RegisterString(kGerman, 5000, "neu"));
  EXPECT_EQ(GetW4ClntString(5000, kFlag, kGerman), "neu");
  // Texts that would mislead are rejected.
  EXPECT_FALSE(W4Clnt::RegisterString(kGerman, 1000, "")) << "empty means unknown";
  EXPECT_FALSE(W4Clnt::RegisterString(kGerman, 1000, "bad \xff byte"));
  EXPECT_EQ(GetW4ClntString(1000, kFlag, kGerman), "Alerting");
  EXPECT_FALSE(W4Clnt::UnregisterString(kGerman, 1000));
  EXPECT_FALSE(W4Clnt::UnregisterString(0, 1000)) << "built-in strings cannot be removed";
  EXPECT_EQ(GetW4ClntString(1000, kFlag, 0), "Alerting");
}

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
