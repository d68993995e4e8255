#include "core/media/audio/echo/echo_debugger.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <ctime>

bool HX_EchoDebugger::Init(const std::string& directory) {
  Clear();
  directory_ = directory;
  if (!directory_.empty() && directory_.back() != '/' && directory_.back() != '\\')
    directory_ += "/";
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%llu", static_cast<unsigned long long>(std::time(nullptr)));
  static const char* const kNames[4] = {"echo", "nearend", "farend", "echo"};
  for (int k = 0; k < 4; ++k) {
    auto file = std::make_shared<io::File>();
    const std::string path = directory_ + stamp + "_" + kNames[k] + (k < 3 ? ".pcm" : ".log");
    if (file->Open(path.c_str(), io::kOpenWrite)) files_[k] = std::move(file);
  }
  return true;
}

void HX_EchoDebugger::Clear() {
  for (auto& f : files_) f.reset();
  directory_.clear();
  enabled_.store(false);
}

std::string HX_EchoDebugger::GetPath(DataType type) const {
  const auto& f = files_[type];
  return f ? f->Path() : std::string();
}

void HX_EchoDebugger::WriteData(DataType type, const void* data, unsigned long bytes) {
  if (type < kEcho || type > kLog || data == nullptr) return;
  if (const auto& f = files_[type]) f->Write(data, bytes);
}

int HX_EchoDebugger::GetCurrentTimeStr(char* buffer) {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm local{};
  const time_t seconds = tv.tv_sec;
  localtime_r(&seconds, &local);
  return std::snprintf(buffer, 16, "%02d:%02d:%02d:%03d ", local.tm_hour, local.tm_min,
                       local.tm_sec, int(tv.tv_usec / 1000));
}

void HX_EchoDebugger::Log(const char*, int, const char* format, ...) {
  if (!enabled_.load()) return;
  std::lock_guard<std::mutex> lock(log_mutex_);
  char line[kLineBytes];
  int n = GetCurrentTimeStr(line);
  va_list args;
  va_start(args, format);
  const int m = std::vsnprintf(line + n, sizeof line - n - 1, format, args);
  va_end(args);
  if (m > 0) n += std::min<int>(m, int(sizeof line) - n - 2);
  line[n++] = '\n';
  if (const auto& f = files_[kLog]) f->Write(line, size_t(n));
}
