// The operating system layer: date and time, text, threads and events.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "QueueManager/Platform/DateTime.h"
#include "QueueManager/Platform/IdString.h"
#include "QueueManager/Platform/Sync.h"
#include "QueueManager/Platform/Text.h"
#include "QueueManager/Platform/Thread.h"
#include "platform/os/ScopedTimeZone.h"

namespace W4Os {
namespace {

using Fields = CW4DateTime::CalendarFields;

std::int64_t Seconds(const std::optional<CW4DateTime>& time) {
  std::int64_t seconds = -1;
  EXPECT_TRUE(time && time->QuerySeconds(seconds));
  return seconds;
}

Fields Utc(const CW4DateTime& time) {
  Fields fields;
  EXPECT_TRUE(time.QueryUtcFields(fields));
  return fields;
}

Fields Local(const CW4DateTime& time) {
  Fields fields;
  EXPECT_TRUE(time.QueryLocalFields(fields));
  return fields;
}

// The default is not set and orders first; Now() follows the system clock.
TEST(CW4DateTime, DefaultIsNotSetAndUtcFieldsGiveTheirInstants) {
  const CW4DateTime unset;
  Fields fields;
  std::int64_t seconds = 0;
  std::uint64_t intervals = 0;
  EXPECT_FALSE(unset.IsSet());
  EXPECT_FALSE(unset.QuerySeconds(seconds) || unset.QueryUtcFields(fields) ||
               unset.QueryLocalFields(fields) || unset.ToFileTime(intervals));
  EXPECT_EQ(unset, CW4DateTime());
  EXPECT_LT(unset, *CW4DateTime::FromSeconds(0));
  const auto early = *CW4DateTime::FromUtcFields({2020, 1, 1, 0, 0, 0});
  const auto late = *CW4DateTime::FromUtcFields({2020, 1, 1, 0, 0, 1});
  EXPECT_LT(early, late);
  EXPECT_NE(early, late);
  EXPECT_EQ(early, *CW4DateTime::FromSeconds(Seconds(early)));
  const auto before = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  const std::int64_t now = Seconds(CW4DateTime::Now()) - 11644473600;
  EXPECT_GE(now, before);
  EXPECT_LE(now, std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));

  // UTC fields give the instants they name, and round-trip across the range.
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({1601, 1, 1, 0, 0, 0})), 0);
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({1970, 1, 1, 0, 0, 0})), 11644473600);
  // 2007-01-02 03:04:05 UTC is Unix time 1167707045.
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({2007, 1, 2, 3, 4, 5})), 11644473600 + 1167707045);
  EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields({9999, 12, 31, 23, 59, 59})), 265046774399);

  const Fields samples[] = {{1601, 1, 1, 0, 0, 0},    {1601, 12, 31, 23, 59, 59},
                            {1700, 2, 28, 12, 0, 0},  {1900, 3, 1, 0, 0, 1},
                            {2000, 2, 29, 6, 30, 15}, {2024, 12, 31, 23, 59, 59},
                            {2100, 3, 1, 0, 0, 0},    {9999, 12, 31, 23, 59, 59}};
  for (const Fields& sample : samples) {
    const auto time = CW4DateTime::FromUtcFields(sample);
    ASSERT_TRUE(time) << sample.year << "-" << sample.month << "-" << sample.day;
    EXPECT_EQ(Utc(*time), sample) << sample.year << "-" << sample.month << "-" << sample.day;
  }
  // Consecutive days stay consecutive over leap days and century years.
  for (std::int64_t day = 0; day < 3 * 146097; day += 37) {
    const auto time = CW4DateTime::FromSeconds(day * 86400);
    ASSERT_TRUE(time);
    EXPECT_EQ(Seconds(CW4DateTime::FromUtcFields(Utc(*time))), day * 86400);
  }
}

TEST(CW4DateTime, RejectsInvalidFieldsSecondsAndFileTimes) {
  EXPECT_TRUE(CW4DateTime::FromUtcFields({2000, 2, 29, 0, 0, 0}));
  const Fields invalid[] = {
      {1900, 2, 29, 0, 0, 0}, {2100, 2, 29, 0, 0, 0}, {2001, 2, 29, 0, 0, 0},
      {2000, 4, 31, 0, 0, 0}, {2000, 0, 1, 0, 0, 0},  {2000, 13, 1, 0, 0, 0},
      {2000, 1, 0, 0, 0, 0},  {2000, 1, 1, 24, 0, 0}, {2000, 1, 1, 0, 60, 0},
      {2000, 1, 1, 0, 0, 60}, {2000, 1, 1, -1, 0, 0}, {1600, 12, 31, 23, 59, 59},
      {10000, 1, 1, 0, 0, 0},
  };
  for (const Fields& fields : invalid) {
    EXPECT_FALSE(CW4DateTime::FromUtcFields(fields))
        << fields.year << "-" << fields.month << "-" << fields.day << " " << fields.hour << ":"
        << fields.minute << ":" << fields.second;
    EXPECT_FALSE(CW4DateTime::FromLocalFields(fields));
  }

  // Seconds and file times have limits too.
  EXPECT_FALSE(CW4DateTime::FromSeconds(-1));
  EXPECT_FALSE(CW4DateTime::FromSeconds(265046774400));  // 10000-01-01
  EXPECT_TRUE(CW4DateTime::FromSeconds(265046774399));

  // Truncated to whole seconds.
  EXPECT_EQ(Seconds(CW4DateTime::FromFileTime(25'999'999)), 2);
  EXPECT_FALSE(CW4DateTime::FromFileTime(0x8000000000000000ull));  // negative as signed
  EXPECT_FALSE(CW4DateTime::FromFileTime(0xFFFFFFFFFFFFFFFFull));
  EXPECT_FALSE(CW4DateTime::FromFileTime(0x7FFFFFFFFFFFFFFFull));  // past 9999

  std::uint64_t intervals = 0;
  ASSERT_TRUE(CW4DateTime::FromSeconds(265046774399)->ToFileTime(intervals));
  EXPECT_EQ(intervals, 2650467743990000000ull);
  EXPECT_EQ(Seconds(CW4DateTime::FromFileTime(intervals)), 265046774399);
}

// Local fields to the UTC fields of the instant they give; none: no instant.

TEST(CW4DateTime, LocalFieldsApplyTheZoneOffsetOfTheirDay) {
  const char* const cet = testing::kCentralEurope;
  const std::tuple<const char*, Fields, std::optional<Fields>> cases[] = {
      {"UTC0", {2007, 1, 2, 3, 4, 5}, Fields{2007, 1, 2, 3, 4, 5}},
      {cet, {2021, 1, 15, 12, 0, 0}, Fields{2021, 1, 15, 11, 0, 0}},  // winter
      {cet, {2021, 7, 15, 12, 0, 0}, Fields{2021, 7, 15, 10, 0, 0}},  // summer
      // 2021-03-28: 02:00 CET jumps to 03:00 CEST; the skipped 02:30 takes
      // the offset before the change.
      {cet, {2021, 3, 28, 2, 30, 0}, Fields{2021, 3, 28, 1, 30, 0}},
      {cet, {2021, 3, 28, 1, 59, 59}, Fields{2021, 3, 28, 0, 59, 59}},
      {cet, {2021, 3, 28, 3, 0, 0}, Fields{2021, 3, 28, 1, 0, 0}},
      // 2021-10-31: 03:00 CEST goes back to 02:00 CET; the repeated 02:30
      // gives the earlier instant.
      {cet, {2021, 10, 31, 2, 30, 0}, Fields{2021, 10, 31, 0, 30, 0}},
      {cet, {2021, 10, 31, 3, 0, 0}, Fields{2021, 10, 31, 2, 0, 0}},
      // 1601-01-01 00:30 CET is before the first instant.
      {cet, {1601, 1, 1, 0, 30, 0}, std::nullopt},
      {cet, {1601, 1, 1, 1, 0, 0}, Fields{1601, 1, 1, 0, 0, 0}},
      {cet, {9999, 12, 31, 23, 59, 59}, Fields{9999, 12, 31, 22, 59, 59}},
  };
  for (const auto& [timeZone, local, utc] : cases) {
    const testing::ScopedTimeZone zone(timeZone);
    const auto time = CW4DateTime::FromLocalFields(local);
    SCOPED_TRACE(::testing::Message() << timeZone << " " << local.year << "-" << local.month << "-"
                                      << local.day << " " << local.hour);
    ASSERT_EQ(time.has_value(), utc.has_value());
    if (time) {
      EXPECT_EQ(Utc(*time), *utc);
    }
  }

  // The local fields of an instant follow the current zone.
  testing::ScopedTimeZone zone(testing::kCentralEurope);
  const auto summer = *CW4DateTime::FromUtcFields({2021, 7, 15, 10, 0, 0});
  EXPECT_EQ(Local(summer), (Fields{2021, 7, 15, 12, 0, 0}));
  // The skipped hour shows as the hour after the change.
  EXPECT_EQ(Local(*CW4DateTime::FromUtcFields({2021, 3, 28, 1, 30, 0})),
            (Fields{2021, 3, 28, 3, 30, 0}));
  // The last instant shows as year 10000 locally, which the fields still carry.
  EXPECT_EQ(Local(*CW4DateTime::FromSeconds(265046774399)), (Fields{10000, 1, 1, 0, 59, 59}));
  testing::ScopedTimeZone::Use("EST5");  // picked up without restarting
  EXPECT_EQ(Local(summer), (Fields{2021, 7, 15, 5, 0, 0}));
}

TEST(Utf8Conversion, RoundTripsEveryPlaneAndRejectsInvalidText) {
  // One character of each encoded length, including a supplementary-plane
  // emoji (surrogate pair) and the last code point.
  const std::string narrow = "A\u00E9\u20AC\U0001F600\U0010FFFF";
  const std::u16string wide = u"A\u00E9\u20AC\U0001F600\U0010FFFF";

  std::u16string toWide;
  ASSERT_TRUE(NarrowToWide(narrow, toWide));
  EXPECT_EQ(toWide, wide);
  std::string toNarrow;
  ASSERT_TRUE(WideToNarrow(wide, toNarrow));
  EXPECT_EQ(toNarrow, narrow);
  // An embedded U+0000 is kept; the empty text converts.
  ASSERT_TRUE(NarrowToWide(std::string_view("a\0b", 3), toWide));
  EXPECT_EQ(toWide, std::u16string(u"a\0b", 3));
  ASSERT_TRUE(NarrowToWide("", toWide));
  EXPECT_TRUE(toWide.empty());

  // Each kind of invalid UTF-8 is rejected, the boundaries of each range accepted.
  const char* const invalid[] = {
      "\x80",              // continuation byte without a lead
      "\xC0\xAF",          // overlong two-byte form of '/'
      "\xE0\x80\xAF",      // overlong three-byte form
      "\xF0\x8F\xBF\xBF",  // overlong four-byte form
      "\xED\xA0\x80",      // high surrogate D800 encoded in UTF-8
      "\xED\xBF\xBF",      // low surrogate DFFF encoded in UTF-8
      "\xF4\x90\x80\x80",  // U+110000
      "\xF5\x80\x80\x80",  // lead byte beyond U+10FFFF
      "\xE2\x82",          // truncated euro sign
      "ok\xC3",            // truncated at the end after valid text
      "\xC3\x28",          // lead byte followed by ASCII
      "\xFF",              // never valid
  };
  for (const char* text : invalid) {
    std::u16string out = u"stale";
    EXPECT_FALSE(NarrowToWide(text, out)) << "input " << ::testing::PrintToString(text);
    EXPECT_TRUE(out.empty());
  }
  // The boundaries of each range are valid.
  for (const char* text :
       {"\x7F", "\xC2\x80", "\xDF\xBF", "\xE0\xA0\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
        "\xEF\xBF\xBF", "\xF0\x90\x80\x80", "\xF4\x8F\xBF\xBF"}) {
    std::u16string out;
    EXPECT_TRUE(NarrowToWide(text, out)) << ::testing::PrintToString(text);
  }
}

TEST(Utf16Conversion, RejectsUnpairedSurrogatesOrReplacesIllFormedParts) {
  const std::u16string invalid[] = {
      std::u16string(1, char16_t{0xD800}),                // lone high at the end
      std::u16string{char16_t{0xDC00}, u'a'},             // lone low
      std::u16string{char16_t{0xD800}, u'a'},             // high followed by non-low
      std::u16string{char16_t{0xDC00}, char16_t{0xD800}}  // pair in the wrong order
  };
  for (const auto& text : invalid) {
    std::string out = "stale";
    EXPECT_FALSE(WideToNarrow(text, out));
    EXPECT_TRUE(out.empty());
  }
  // The lossy forms replace each maximal ill-formed part instead.
  // A truncated three-byte sequence counts once; a stray byte once each.
  EXPECT_EQ(NarrowToWideLossy("a\xE2\x82z"), u"a\uFFFDz");
  EXPECT_EQ(NarrowToWideLossy("\x80\x80"), u"\uFFFD\uFFFD");
  EXPECT_EQ(NarrowToWideLossy("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(NarrowToWideLossy("\xC3\xA9"), u"\u00E9");

  const std::u16string lone{u'x', char16_t{0xD800}, u'y'};
  EXPECT_EQ(WideToNarrowLossy(lone), "x\xEF\xBF\xBDy");
  EXPECT_EQ(WideToNarrowLossy(u"\U0001F600"), "\xF0\x9F\x98\x80");

  // WideLength counts code units; the formatter prints UTF-8.
  EXPECT_EQ(WideLength(nullptr), 0u);
  EXPECT_EQ(WideLength(u"\U0001F600z"), 3u);
  EXPECT_EQ(fmt::format("<{}>", Utf8(u"Gr\u00FC\u00DFe")),
            "<Gr\xC3\xBC\xC3\x9F"
            "e>");
  EXPECT_EQ(fmt::format("{:>4}", Utf8(u"ab")), "  ab");
}

// ---- case mapping ----

// The generator check (ctest os_case_table_current) compares the whole table
// with the Unicode data; these are the cases that a wrong range or offset in
// the lookup would break.
TEST(CaseMapping, MapsOneToOneMappingsAndComparesByThem) {
  const std::tuple<char16_t, char16_t, char16_t> cases[] = {
      {u'A', u'a', u'A'},       {u'z', u'z', u'Z'},       {u'@', u'@', u'@'},
      {u'[', u'[', u'['},       {u'`', u'`', u'`'},       {u'{', u'{', u'{'},
      {0x00C0, 0x00E0, 0x00C0}, {0x00DE, 0x00FE, 0x00DE}, {0x00D7, 0x00D7, 0x00D7},
      {0x00F7, 0x00F7, 0x00F7}, {0x00DF, 0x00DF, 0x00DF}, {0x00FF, 0x00FF, 0x0178},
      {0x0178, 0x00FF, 0x0178}, {0x00B5, 0x00B5, 0x039C}, {0x0391, 0x03B1, 0x0391},
      {0x03A3, 0x03C3, 0x03A3}, {0x03C2, 0x03C2, 0x03A3}, {0x0401, 0x0451, 0x0401},
      {0x044F, 0x044F, 0x042F}, {0x0130, 0x0130, 0x0130}, {0xD83D, 0xD83D, 0xD83D},
      {0x4E2D, 0x4E2D, 0x4E2D}, {0xFF21, 0xFF41, 0xFF21}, {0xFFFF, 0xFFFF, 0xFFFF},
  };
  for (const auto& [unit, lower, upper] : cases) {
    EXPECT_EQ(ToLower(unit), lower) << std::hex << int{unit};
    EXPECT_EQ(ToUpper(unit), upper) << std::hex << int{unit};
  }

  // CompareNoCase orders by the lower-case forms, as wcscmp would.
  EXPECT_EQ(CompareNoCase(u"Xan_State", u"xan_state"), 0);
  EXPECT_LT(CompareNoCase(u"abc", u"ABD"), 0);
  EXPECT_GT(CompareNoCase(u"b", u"A"), 0);
  EXPECT_LT(CompareNoCase(u"ab", u"ABC"), 0);  // a shorter prefix first
  EXPECT_GT(CompareNoCase(u"ABC", u"ab"), 0);
  // '_' (0x5F) lies between the upper- and lower-case letters: comparing the
  // lower-case forms puts it before 'a', comparing the upper-case forms would
  // put it after 'A'.
  EXPECT_LT(CompareNoCase(u"_", u"A"), 0);
  EXPECT_TRUE(EqualsNoCase(u"\u0391\u0410", u"\u03B1\u0430"));
  EXPECT_FALSE(EqualsNoCase(u"a", u"ab"));
  // CompareExact and ToLowerInPlace are case-sensitive and map every unit.
  EXPECT_EQ(CompareExact(u"a", u"a"), 0);
  EXPECT_EQ(CompareExact(u"A", u"a"), -1);
  EXPECT_EQ(CompareExact(u"ab", u"a"), 1);
  std::u16string text = u"\u00C0BC-\u0416";
  ToLowerInPlace(text);
  EXPECT_EQ(text, u"\u00E0bc-\u0436");
}

}  // namespace
}  // namespace W4Os

// ---- identifier strings ----

namespace W4STD {
namespace {

// Stands for a library function taking identifier text in any form.
std::u16string Accept(const w4idstring_arg& arg) { return arg.get().str(); }
const w4idstring* AddressOf(const w4idstring_arg& arg) { return &arg.get(); }

TEST(W4IdString, KeepsTheTextAndComparesOrdersAndHashesWithoutCase) {
  const w4idstring mixed(u"Xan_CallId");
  EXPECT_EQ(mixed.str(), u"Xan_CallId");  // the text as given is kept
  EXPECT_EQ(mixed.lower(), u"xan_callid");
  EXPECT_EQ(mixed, w4idstring(u"XAN_CALLID"));
  EXPECT_NE(mixed, w4idstring(u"Xan_CallIdKey"));
  EXPECT_EQ(w4idstring(u"\u00C9T\u00C9"), w4idstring(u"\u00E9t\u00E9"));
  // Ordered by the lower-case form.
  EXPECT_LT(w4idstring(u"apple"), w4idstring(u"BANANA"));
  EXPECT_GT(w4idstring(u"Banana"), w4idstring(u"apple"));
  EXPECT_LT(w4idstring(u"AB"), w4idstring(u"abc"));
  EXPECT_LE(w4idstring(u"ab"), w4idstring(u"AB"));
  EXPECT_GE(w4idstring(u"ab"), w4idstring(u"AB"));
  // '_' orders before letters because the lower-case forms are compared.
  EXPECT_LT(w4idstring(u"x_"), w4idstring(u"XA"));

  std::map<w4idstring, int> byName;
  byName[w4idstring(u"Key")] = 1;
  byName[w4idstring(u"KEY")] = 2;
  ASSERT_EQ(byName.size(), 1u);
  EXPECT_EQ(byName.begin()->second, 2);
  // The hash is times 33 over the lower-case form.
  EXPECT_EQ(w4idstring().hash(), 0u);
  EXPECT_EQ(w4idstring(u"ab").hash(), 97u * 33u + 98u);
  EXPECT_EQ(w4idstring(u"AB").hash(), 97u * 33u + 98u);
  // Wraps modulo 2^32: eight 'z' overflow 32 bits.
  std::uint32_t expected = 0;
  for (int i = 0; i < 8; ++i) expected = expected * 33u + u'z';
  EXPECT_EQ(w4idstring(u"ZZZZzzzz").hash(), expected);

  std::unordered_set<w4idstring> names{w4idstring(u"Queue"), w4idstring(u"QUEUE")};
  EXPECT_EQ(names.size(), 1u);

  // It builds from every text form and writes UTF-8.
  const unsigned short units[] = {u'Q', 0x00E9, 0};
  const std::string narrow = "Q\xC3\xA9";
  for (const std::u16string& text :
       {Accept(units), Accept(narrow.c_str()), Accept(narrow), Accept(std::string_view(narrow)),
        Accept(u"Q\u00E9"), Accept(std::u16string(u"Q\u00E9"))}) {
    EXPECT_EQ(text, u"Q\u00E9");
  }
  EXPECT_EQ(w4idstring(std::u16string_view(u"abc").substr(1)).str(), u"bc");
  EXPECT_TRUE(w4idstring(static_cast<const char16_t*>(nullptr)).empty());
  EXPECT_TRUE(w4idstring(static_cast<const unsigned short*>(nullptr)).empty());
  EXPECT_TRUE(w4idstring(static_cast<const char*>(nullptr)).empty());
  EXPECT_TRUE(w4idstring("bad\xC0\xAF").empty());  // failed conversion

  const w4idstring id(u"N\u00E4me");
  EXPECT_EQ(AddressOf(id), &id);  // no copy of an identifier string
  std::ostringstream out;
  out << id;
  EXPECT_EQ(out.str(), "N\xC3\xA4me");
  EXPECT_EQ(id.narrow(), "N\xC3\xA4me");
  EXPECT_EQ(fmt::format("[{}]", id), "[N\xC3\xA4me]");
}

}  // namespace
}  // namespace W4STD

namespace W4Os {
namespace {

// A manual-reset event stays signalled until reset; an auto-reset one
// releases one wait per Set.
TEST(CEvent, ManualResetStaysSignalledAndAutoResetReleasesOneWaitPerSet) {
  CEvent manual(/*manualReset=*/true);
  EXPECT_FALSE(manual.Wait(0));
  manual.Set();
  EXPECT_TRUE(manual.Wait(0));
  EXPECT_TRUE(manual.Wait(0));
  manual.Reset();
  EXPECT_FALSE(manual.Wait(0));
  EXPECT_TRUE(CEvent(/*manualReset=*/true, /*initiallySignalled=*/true).Wait(0));
  CEvent automatic(/*manualReset=*/false, /*initiallySignalled=*/true);
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));
  automatic.Set();
  automatic.Set();  // setting a signalled event changes nothing
  EXPECT_TRUE(automatic.Wait(0));
  EXPECT_FALSE(automatic.Wait(0));

  // Blocked waiters: a manual-reset Set releases all of them; an auto-reset Set releases one, and
  // the event is reset again by the time it is through.
  for (const bool manualReset : {true, false}) {
    CEvent event(manualReset);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
      waiters.emplace_back([&] {
        if (event.Wait(60'000)) ++woken;
      });
    }
    if (!manualReset) {
      event.Set();
      while (woken.load() == 0) std::this_thread::yield();
      EXPECT_FALSE(event.Wait(0)) << "still set after releasing a waiter";
    }
    while (woken.load() < 3) {
      event.Set();
      std::this_thread::yield();
    }
    for (auto& waiter : waiters) waiter.join();
    EXPECT_EQ(woken.load(), 3) << "manual reset " << manualReset;
  }
}

// Records which thread ran it and can be held inside the method.
class Worker {
 public:
  void Run() {
    runningOn_ = CurrentThreadId();
    ran_ = true;
    if (holdInside_) release_.Wait();
  }

  std::atomic<bool> ran_{false};
  std::atomic<std::thread::id> runningOn_{};
  bool holdInside_ = false;
  CEvent release_{/*manualReset=*/true};
};

TEST(CWorkerThread, StartReturnsOnlyOnceTheThreadRunsAndAWorkerMayDropItsHandle) {
  // The worker records its kernel thread number before it signals that it
  // runs; without the handshake Start could return before it was written
  // (and ThreadSanitizer would report the unordered read).
  std::atomic<std::uint64_t> seenInBody{0};
  CWorkerThread thread =
      CWorkerThread::StartFunction([&] { seenInBody = CurrentOsThreadId(); }, /*suspended=*/true);
  const std::uint64_t recorded = thread.OsId();
  EXPECT_NE(recorded, 0u);
  EXPECT_NE(recorded, CurrentOsThreadId());
  thread.Join();
  EXPECT_EQ(seenInBody.load(), recorded);

  // A worker may drop its own handle: the destructor running on the worker
  // itself must not try to join it.
  // The events are shared: the worker may still be inside Set() when the
  // test has already seen it and returned.
  std::optional<CWorkerThread> handle;
  auto handleStored = std::make_shared<CEvent>(/*manualReset=*/true);
  auto done = std::make_shared<CEvent>(/*manualReset=*/true);
  handle = CWorkerThread::StartFunction([&handle, handleStored, done] {
    handleStored->Wait();
    handle.reset();
    done->Set();
  });
  handleStored->Set();
  EXPECT_TRUE(done->Wait(10'000));
}

TEST(CWorkerThread, SuspendedThreadRunsOnlyOnceResumedAndIsJoinedOnDestruction) {
  Worker resumed;
  CWorkerThread thread = CWorkerThread::Start(&resumed, &Worker::Run, /*suspended=*/true);
  EXPECT_FALSE(resumed.ran_);
  thread.Resume();
  thread.Join();
  EXPECT_TRUE(resumed.ran_);

  Worker joined;  // Join resumes it
  CWorkerThread::Start(&joined, &Worker::Run, /*suspended=*/true).Join();
  EXPECT_TRUE(joined.ran_);

  Worker suspended;  // the destructor resumes and joins it
  { CWorkerThread handle = CWorkerThread::Start(&suspended, &Worker::Run, /*suspended=*/true); }
  EXPECT_TRUE(suspended.ran_);

  Worker held;
  held.holdInside_ = true;
  std::atomic<bool> destroyed{false};
  std::thread releaser([&] {
    while (!held.ran_) std::this_thread::yield();
    EXPECT_FALSE(destroyed);  // the destructor is still waiting for the method
    held.release_.Set();
  });
  { CWorkerThread handle = CWorkerThread::Start(&held, &Worker::Run); }
  destroyed = true;
  releaser.join();
}

// The method runs on a new thread; a handle moves, and assigning over a live
// handle ends its thread first.
TEST(CWorkerThread, RunsTheMethodOnANewThreadAndMovesOwnership) {
  Worker first, second;
  CWorkerThread a = CWorkerThread::Start(&first, &Worker::Run, /*suspended=*/true);
  CWorkerThread b = std::move(a);
  EXPECT_FALSE(a.Joinable());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_TRUE(b.Joinable());
  b = CWorkerThread::Start(&second, &Worker::Run);
  EXPECT_TRUE(first.ran_);
  const std::thread::id id = b.Id();
  b.Join();
  EXPECT_TRUE(second.ran_);
  EXPECT_EQ(second.runningOn_.load(), id);
  EXPECT_NE(id, CurrentThreadId());
  EXPECT_FALSE(b.Joinable());
  b.Join();  // a second Join has no effect
}

}  // namespace
}  // namespace W4Os
