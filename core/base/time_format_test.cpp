#include "core/base/time_format.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "testing/test_support.h"

namespace {

using std::chrono::microseconds;
using tu::TimePoint;

constexpr int64_t kTicksAt1970 = 116444736000000000LL;
// 2020-01-02 03:04:05 UTC and a fraction of a second.
constexpr int64_t kMomentSeconds = 1577934245;
const TimePoint kMoment{microseconds{kMomentSeconds * 1000000LL + 678901}};

// Sets the process's time zone for one test and restores the previous one after it.
class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_old_ = old != nullptr;
    if (had_old_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (had_old_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_old_ = false;
  std::string old_;
};

TEST(TimeFormat, ConvertsBetweenTimePointsAndTicksSince1601) {
  EXPECT_EQ(tu::UnixSecondsToWindowsTicks(TimePoint{}), kTicksAt1970);
  EXPECT_EQ(tu::UnixSecondsToWindowsTicks(kMoment),
            kTicksAt1970 + (kMomentSeconds * 1000000LL + 678901) * 10);
  EXPECT_EQ(tu::UnixSecondsToWindowsTicks(TimePoint{microseconds{-1}}), kTicksAt1970 - 10);
  // Too far away for 100-ns ticks: held at the limits instead of wrapping.
  EXPECT_EQ(tu::UnixSecondsToWindowsTicks(TimePoint::max()), INT64_MAX);
  EXPECT_EQ(tu::UnixSecondsToWindowsTicks(TimePoint::min()), INT64_MIN);

  EXPECT_EQ(tu::WindowsTickToUnixSeconds(tu::UnixSecondsToWindowsTicks(kMoment)), kMoment);
  EXPECT_EQ(tu::WindowsTickToUnixSeconds(kTicksAt1970 + 19), TimePoint{microseconds{1}});
  EXPECT_EQ(tu::WindowsTickToUnixSeconds(0), TimePoint{});
  EXPECT_EQ(tu::WindowsTickToUnixSeconds(-5), TimePoint{});
  // Before 1970 the division truncates toward zero.
  EXPECT_EQ(tu::WindowsTickToUnixSeconds(kTicksAt1970 - 19), TimePoint{microseconds{-1}});
}

TEST(TimeFormat, WritesTheUtcFormats) {
  TimeZone zone("XYZ-3");  // UTC formats must not follow the local zone
  char buffer[64];
  struct Case {
    size_t (*format)(TimePoint, char*, size_t);
    const char* text;
  };
  const Case cases[] = {
      {tu::TimeToNStr, "2020/01/02 03.04.05 GMT"},
      {tu::TimeToRuStr, "02.01.2020 03:04:05"},
      {tu::TimeToGStr, "2020 01/02 03:04:05 GMT"},
      {tu::TimeToStr_ISO8601_Z, "2020-01-02T03:04:05Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.format(kMoment, buffer, sizeof(buffer)), std::strlen(c.text));
    EXPECT_STREQ(buffer, c.text);
  }
  // A moment just before 1970 belongs to the last second of 1969.
  ASSERT_GT(tu::TimeToStr_ISO8601_Z(TimePoint{microseconds{-1}}, buffer, sizeof(buffer)), 0u);
  EXPECT_STREQ(buffer, "1969-12-31T23:59:59Z");
}

TEST(TimeFormat, WritesTheLocalFormatsInTheProcessZone) {
  char buffer[64];
  {
    TimeZone zone("XYZ-3");
    ASSERT_GT(tu::TimeToLStr(kMoment, buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, "2020 01/02 06:04:05");
    ASSERT_GT(tu::TimeToLFStr(kMoment, buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, "02/01/2020:06:04:05 +0300");
  }
  {
    TimeZone zone("EST5EDT,M3.2.0,M11.1.0");
    const TimePoint summer{std::chrono::seconds{1593572400}};  // 2020-07-01 03:00:00 UTC
    ASSERT_GT(tu::TimeToLFStr(summer, buffer, sizeof(buffer)), 0u);
    EXPECT_STREQ(buffer, "30/06/2020:23:00:00 -0400");
  }
}

TEST(TimeFormat, FailsWhenTheTextDoesNotFit) {
  char buffer[32];
  const size_t iso_length = std::strlen("2020-01-02T03:04:05Z");
  EXPECT_EQ(tu::TimeToStr_ISO8601_Z(kMoment, buffer, iso_length), 0u);  // no room for the zero
  EXPECT_EQ(tu::TimeToStr_ISO8601_Z(kMoment, buffer, iso_length + 1), iso_length);
  EXPECT_EQ(tu::TimeToString(kMoment, nullptr, buffer, sizeof(buffer), false), 0u);
  EXPECT_EQ(tu::TimeToString(kMoment, "%Y", nullptr, 16, false), 0u);
}

TEST(TimeFormat, FormatsIntoStrings) {
  EXPECT_EQ(tu::TimeToString(kMoment, tu::c_ISO8601_Z_TIME_FMT, false), "2020-01-02T03:04:05Z");
  // The text may be up to the format's length plus 47 characters long.
  std::string years_format;
  std::string years;
  for (int i = 0; i < 16; ++i) years_format += "%Y", years += "2020";
  EXPECT_EQ(tu::TimeToString(kMoment, years_format.c_str(), false), years);  // 64 of 32 + 47
  for (int i = 16; i < 25; ++i) years_format += "%Y";
  EXPECT_EQ(tu::TimeToString(kMoment, years_format.c_str(), false), "");  // 100 of 50 + 47
  EXPECT_EQ(tu::TimeToString(kMoment, nullptr, false), "");
}

TEST(TimeFormat, ParsesTheFixedFormatsAsUtc) {
  TimeZone zone("XYZ-3");
  struct Case {
    time_t (*parse)(const char*);
    const char* text;
    time_t seconds;
  };
  const Case cases[] = {
      {tu::NStrToTimeT, "2020/01/02 03.04.05 GMT", kMomentSeconds},
      {tu::NStrToTimeT, "2020/01/02 03.04.05 GMT ", 0},  // characters left over
      {tu::NStrToTimeT, "2020/01/02 03.04 GMT", 0},      // a field missing
      {tu::NStrToTimeT, "2020/01/02 03.04.05", 0},       // the closing text missing
      {tu::NStrToTimeT, "", 0},
      {tu::NStrToTimeT, nullptr, 0},
      {tu::ISO8601_ZStrToTimeT, "2020-01-02T03:04:05Z", kMomentSeconds},
      {tu::ISO8601_ZStrToTimeT, "1969-12-31T23:59:59Z", -1},
      {tu::ISO8601_ZStrToTimeT, "2020-01-02T03:04:05", 0},
      {tu::ISO8601_ZStrToTimeT, "2020-01-02T03:04:05Zx", 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.parse(c.text), c.seconds) << (c.text ? c.text : "(null)");
  }
  // A format without a closing %n cannot prove that the whole text was read.
  EXPECT_EQ(tu::TimeStringToUnixTime("2020-01-02 03:04:05", "%d-%d-%d %d:%d:%d"), 0);
  EXPECT_EQ(tu::TimeStringToUnixTime("2020-01-02 03:04:05", nullptr), 0);
}

// In a zone whose standard offset has changed, the date's own offset must not leak in.
TEST(TimeFormat, ParsesUtcInZonesWithAHistory) {
  if (!std::ifstream("/usr/share/zoneinfo/Europe/Moscow")) {
    if (hx::testing::RunningUnderCi()) FAIL() << "tzdata is not installed";
    GTEST_SKIP() << "tzdata is not installed";
  }
  TimeZone zone("Europe/Moscow");  // standard time was UTC+4 in 2012 and is UTC+3 today
  EXPECT_EQ(tu::NStrToTimeT("2012/06/01 00.00.00 GMT"), 1338508800);
  EXPECT_EQ(tu::NStrToTimeT("2020/01/02 03.04.05 GMT"), kMomentSeconds);
}

}  // namespace
