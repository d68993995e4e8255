#pragma once
// The core's one diagnostic call. Its output is discarded unless a sink is installed
// (tests install one to check a line that the code promises to log).

#include <functional>
#include <string>

// Formats like printf and hands the line to the installed sink, if any. Thread-safe.
void ios_log(const char* format, ...) __attribute__((format(printf, 1, 2)));

namespace hx {

using LogSink = std::function<void(const std::string& line)>;

// Installs the sink that receives every formatted line; an empty sink discards them again.
// The sink may be called from any thread, never concurrently with itself.
void SetLogSink(LogSink sink);

}  // namespace hx
