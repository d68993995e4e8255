#pragma once
// HX_EchoDebugger: the processing module's diagnostic recorder. Init opens four files named from
// the time of the call, D/T_echo.pcm, D/T_nearend.pcm, D/T_farend.pcm and D/T_echo.log (T in
// seconds since 1970); WriteData appends raw PCM to one of the three streams; Log writes a line,
// prefixed by the local time "hh:mm:ss:mmm ", to the log file while logging is enabled.
//
// Thread safety: Log takes the debugger's mutex (and formats into a buffer of its own call, so
// that debuggers on different threads never share one). WriteData does not lock: each stream is
// written by one thread. Init, Clear and SetEnabled are not safe against concurrent use.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "core/base/file.h"

class HX_EchoDebugger {
 public:
  enum DataType : int { kEcho = 0, kNearEnd = 1, kFarEnd = 2, kLog = 3 };
  static constexpr size_t kLineBytes = 1024;

  HX_EchoDebugger() = default;
  // Drops any files, stores directory (a "/" is appended unless it is empty or ends in "/" or
  // "\\") and opens the four files; one that cannot be opened stays absent. Always true.
  bool Init(const std::string& directory);
  // Closes the files, forgets the directory and disables logging.
  void Clear();
  void SetEnabled(bool enabled) { enabled_.store(enabled); }
  bool IsEnabled() const { return enabled_.load(); }
  void WriteData(DataType type, const void* data, unsigned long bytes);
  // The source file and line are accepted for the caller's convenience and not written.
  void Log(const char* file, int line, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // "hh:mm:ss:mmm " of the local time; answers its length.
  static int GetCurrentTimeStr(char* buffer);

  const std::string& GetDirectory() const { return directory_; }
  // The path of a file as opened by the last Init; empty when absent.
  std::string GetPath(DataType type) const;

 private:
  std::atomic<bool> enabled_{false};
  std::string directory_;
  std::shared_ptr<io::File> files_[4];
  std::mutex log_mutex_;
};
