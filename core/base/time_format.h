#pragma once
// Conversions between system-clock time points, 100-nanosecond ticks since 1601 and the fixed
// text formats of the core. All functions are reentrant.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

namespace tu {

// A time point of the system clock in microseconds since 1970.
using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

// strftime patterns; the comment names the clock each one is written in.
inline constexpr char c_NEUTRAL_TIME_FMT[] = "%Y/%m/%d %H.%M.%S GMT";  // UTC
inline constexpr char c_RUS_TIMEFORMAT[] = "%d.%m.%Y %H:%M:%S";        // UTC
inline constexpr char c_GLOBAL_TIME_FMT[] = "%Y %m/%d %H:%M:%S GMT";   // UTC
inline constexpr char c_LOCAL_TIME_FMT[] = "%Y %m/%d %H:%M:%S";        // local
inline constexpr char c_LF_FORMAT[] = "%d/%m/%Y:%H:%M:%S %z";          // local
inline constexpr char c_ISO8601_Z_TIME_FMT[] = "%Y-%m-%dT%H:%M:%SZ";   // UTC

// Microseconds since 1970 as 100-nanosecond ticks since 1601: us * 10 + 116444736000000000,
// held at the int64 limits for time points too far away to be represented.
int64_t UnixSecondsToWindowsTicks(TimePoint time);

// The reverse: (ticks - 116444736000000000) / 10 microseconds, and the time point 0 for ticks <= 0.
TimePoint WindowsTickToUnixSeconds(int64_t ticks);

// Formats the whole seconds of `time` (local time or UTC) with strftime into `buffer` of `size`
// bytes. Returns the number of characters written; 0 for a null format or buffer, a failed
// conversion, or a text that does not fit.
size_t TimeToString(TimePoint time, const char* format, char* buffer, size_t size, bool local);

// The same as a string; empty on failure.
std::string TimeToString(TimePoint time, const char* format, bool local);

// TimeToString with the patterns above and their clocks.
size_t TimeToNStr(TimePoint time, char* buffer, size_t size);
size_t TimeToRuStr(TimePoint time, char* buffer, size_t size);
size_t TimeToGStr(TimePoint time, char* buffer, size_t size);
size_t TimeToLStr(TimePoint time, char* buffer, size_t size);
size_t TimeToLFStr(TimePoint time, char* buffer, size_t size);
size_t TimeToStr_ISO8601_Z(TimePoint time, char* buffer, size_t size);

// Reads year, month, day, hour, minute and second from `text` with the scanf `format`, which
// must end in "%n", and returns the seconds since 1970 of those fields read as UTC. Returns 0 for
// a null argument, fewer than 6 fields, or characters left after the parsed part.
time_t TimeStringToUnixTime(const char* text, const char* format);

// TimeStringToUnixTime with "%4d-%2d-%2dT%2d:%2d:%2dZ%n" and "%4d/%2d/%2d %2d.%2d.%2d GMT%n".
time_t ISO8601_ZStrToTimeT(const char* text);
time_t NStrToTimeT(const char* text);

}  // namespace tu
