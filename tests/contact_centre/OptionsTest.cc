// The demo's command line: what it accepts and what it refuses.

#include <gmock/gmock.h>

#include <tuple>

#include "Options.h"

namespace ContactCentre {
namespace {

TEST(ContactCentreOptions, AcceptsTheDocumentedOptionsAndRefusesTheRest) {
  // The options read, or a part of the error (empty when accepted).
  const std::tuple<std::vector<std::string>, double, std::uint32_t, bool, bool, const char*>
      cases[] = {
          {{}, 20, 1, false, false, ""},
          {{"--duration", "3", "--seed", "7", "--quiet"}, 3, 7, true, false, ""},
          {{"--duration", "0.5"}, 0.5, 1, false, false, ""},
          {{"--seed", "4294967295"}, 20, 4294967295U, false, false, ""},
          {{"--help"}, 20, 1, false, true, ""},
          {{"--bogus"}, 20, 1, false, false, "unknown option '--bogus'"},
          {{"--duration"}, 20, 1, false, false, "--duration needs a value"},
          {{"--duration", "0"}, 20, 1, false, false, "--duration wants"},
          {{"--duration", "-2"}, 20, 1, false, false, "--duration wants"},
          {{"--duration", "nan"}, 20, 1, false, false, "--duration wants"},
          {{"--duration", "3601"}, 20, 1, false, false, "--duration wants"},
          {{"--duration", "3s"}, 20, 1, false, false, "--duration wants"},
          {{"--seed", "4294967296"}, 20, 1, false, false, "--seed wants"},
          {{"--seed", "-1"}, 20, 1, false, false, "--seed wants"},
          {{"--seed", ""}, 20, 1, false, false, "--seed wants"},
          {{"--quiet", "extra"}, 20, 1, true, false, "unknown option 'extra'"},
      };
  for (const auto& [arguments, duration, seed, quiet, help, error] : cases) {
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const ParsedOptions parsed = ParseOptions(arguments);
    if (*error == '\0') {
      EXPECT_EQ(parsed.error, "");
      EXPECT_EQ(parsed.options.durationSeconds, duration);
      EXPECT_EQ(parsed.options.seed, seed);
      EXPECT_EQ(parsed.options.quiet, quiet);
      EXPECT_EQ(parsed.options.help, help);
    } else {
      EXPECT_THAT(parsed.error, ::testing::HasSubstr(error));
    }
  }
}

TEST(ContactCentreOptions, NatsTakesAUrlList) {
  EXPECT_EQ(ParseOptions({"--nats", "nats://127.0.0.1:4222,nats://h:2", "--quiet"}).options.natsUrl,
            "nats://127.0.0.1:4222,nats://h:2");
  EXPECT_EQ(ParseOptions({}).options.natsUrl, "");
  EXPECT_THAT(ParseOptions({"--nats"}).error, ::testing::HasSubstr("--nats needs a value"));
  for (const char* none : {"", " , "})
    EXPECT_THAT(ParseOptions({"--nats", none}).error, ::testing::HasSubstr("--nats wants a URL"));
  EXPECT_TRUE(ParseOptions({"--remote-emulator", "--nats", "nats://h:1"}).options.remoteEmulator);
  EXPECT_THAT(ParseOptions({"--remote-emulator"}).error,
              ::testing::HasSubstr("--remote-emulator needs --nats URL"));
}

}  // namespace
}  // namespace ContactCentre
