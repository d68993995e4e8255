#include "core/base/time_format.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tu {

namespace {

// 100-nanosecond ticks from 1601-01-01 to 1970-01-01.
constexpr int64_t kTicksFrom1601To1970 = 116444736000000000LL;

}  // namespace

int64_t UnixSecondsToWindowsTicks(TimePoint time) {
  const int64_t micros = time.time_since_epoch().count();
  int64_t ticks = 0;
  if (__builtin_mul_overflow(micros, int64_t{10}, &ticks) ||
      __builtin_add_overflow(ticks, kTicksFrom1601To1970, &ticks)) {
    return micros < 0 ? INT64_MIN : INT64_MAX;
  }
  return ticks;
}

TimePoint WindowsTickToUnixSeconds(int64_t ticks) {
  if (ticks <= 0) return TimePoint{};
  return TimePoint{std::chrono::microseconds{(ticks - kTicksFrom1601To1970) / 10}};
}

size_t TimeToString(TimePoint time, const char* format, char* buffer, size_t size, bool local) {
  if (format == nullptr || buffer == nullptr || size == 0) return 0;
  // Whole seconds, rounded down so that a moment before 1970 falls in the right second.
  const time_t seconds = std::chrono::floor<std::chrono::seconds>(time).time_since_epoch().count();
  struct tm fields {};
  const struct tm* converted = local ? localtime_r(&seconds, &fields) : gmtime_r(&seconds, &fields);
  if (converted == nullptr) return 0;
  return strftime(buffer, size, format, &fields);
}

std::string TimeToString(TimePoint time, const char* format, bool local) {
  if (format == nullptr) return std::string();
  std::string text(std::strlen(format) + 48, '\0');
  text.resize(TimeToString(time, format, text.data(), text.size(), local));
  return text;
}

size_t TimeToNStr(TimePoint time, char* buffer, size_t size) {
  return TimeToString(time, c_NEUTRAL_TIME_FMT, buffer, size, false);
}

size_t TimeToRuStr(TimePoint time, char* buffer, size_t size) {
  return TimeToString(time, c_RUS_TIMEFORMAT, buffer, size, false);
}

size_t TimeToGStr(TimePoint time, char* buffer, size_t size) {
  return TimeToString(time, c_GLOBAL_TIME_FMT, buffer, size, false);
}

size_t TimeToLStr(TimePoint time, char* buffer, size_t size) {
  return TimeToString(time, c_LOCAL_TIME_FMT, buffer, size, true);
}

size_t TimeToLFStr(TimePoint time, char* buffer, size_t size) {
  return TimeToString(time, c_LF_FORMAT, buffer, size, true);
}

size_t TimeToStr_ISO8601_Z(TimePoint time, char* buffer, size_t size) {
  return TimeToString(time, c_ISO8601_Z_TIME_FMT, buffer, size, false);
}

time_t TimeStringToUnixTime(const char* text, const char* format) {
  if (text == nullptr || format == nullptr) return 0;
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int parsed = -1;  // stays -1 unless the format's closing %n is reached
  const int fields =
      std::sscanf(text, format, &year, &month, &day, &hour, &minute, &second, &parsed);
  if (fields < 6 || parsed < 0 || text[parsed] != '\0') return 0;

  struct tm utc {};
  utc.tm_year = year - 1900;
  utc.tm_mon = month - 1;
  utc.tm_mday = day;
  utc.tm_hour = hour;
  utc.tm_min = minute;
  utc.tm_sec = second;
  // timegm reads the fields as UTC directly. Local time through mktime minus `timezone` gives the
  // same only where the zone's standard offset on that date equals today's.
  errno = 0;
  const time_t result = timegm(&utc);
  return result == static_cast<time_t>(-1) && errno == EOVERFLOW ? 0 : result;
}

time_t ISO8601_ZStrToTimeT(const char* text) {
  return TimeStringToUnixTime(text, "%4d-%2d-%2dT%2d:%2d:%2dZ%n");
}

time_t NStrToTimeT(const char* text) {
  return TimeStringToUnixTime(text, "%4d/%2d/%2d %2d.%2d.%2d GMT%n");
}

}  // namespace tu
