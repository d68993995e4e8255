#include "core/base/ios_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <vector>

namespace {

std::atomic<bool> g_has_sink{false};

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

hx::LogSink& Sink() {
  static hx::LogSink sink;
  return sink;
}

}  // namespace

void ios_log(const char* format, ...) {
  // Without a sink the call costs one atomic load: the core logs on hot paths.
  if (!g_has_sink.load(std::memory_order_acquire) || format == nullptr) return;

  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string line;
  if (needed > 0) {
    std::vector<char> buffer(static_cast<size_t>(needed) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    line.assign(buffer.data(), static_cast<size_t>(needed));
  }
  va_end(args);

  std::lock_guard<std::mutex> lock(SinkMutex());
  if (Sink()) Sink()(line);
}

namespace hx {

void SetLogSink(LogSink sink) {
  std::lock_guard<std::mutex> lock(SinkMutex());
  Sink() = std::move(sink);
  g_has_sink.store(static_cast<bool>(Sink()), std::memory_order_release);
}

}  // namespace hx
