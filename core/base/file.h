#pragma once
// A plain file behind a small file interface. A file object is used by one thread at a time;
// its owner locks it when several threads share it.

#include <cstdint>
#include <cstdio>
#include <string>

namespace io {

enum OpenMode : int {
  kOpenRead = 0,    // "rb"
  kOpenWrite = 1,   // "w+b": created or truncated, reading allowed
  kOpenAppend = 2,  // "a+b": appending, reading allowed
};

// The standard mode string of each OpenMode.
extern const char* const StandardModes[3];

enum SeekSet : int {
  kSeekSet = SEEK_SET,
  kSeekCurrent = SEEK_CUR,
  kSeekEnd = SEEK_END,
};

class IFile {
 public:
  IFile() = default;
  IFile(const IFile&) = delete;
  IFile& operator=(const IFile&) = delete;

  // Opens `path` in `mode`; true when the file is open.
  virtual bool Open(const char* path, OpenMode mode) = 0;
  // Reads up to `n` bytes; the number read, or -1 when the file is not open.
  virtual int64_t Read(void* buffer, size_t n) = 0;
  // Writes up to `n` bytes; the number written. A file that cannot write writes nothing.
  virtual size_t Write(const void* buffer, size_t n);
  virtual void Close() = 0;
  // The length in bytes, or -1 when unknown.
  virtual int64_t Length() = 0;
  // The position, or -1.
  virtual int64_t Tell() = 0;
  // Moves to `offset` from `origin`; the new position, or -1.
  virtual int64_t Seek(int64_t offset, SeekSet origin) = 0;
  virtual ~IFile() = default;

  bool IsOpen() const { return m_open; }
  const std::string& Path() const { return m_path; }

 protected:
  bool m_open = false;
  std::string m_path;
};

class File : public IFile {
 public:
  File() = default;
  ~File() override;

  // Closes any open file first and keeps the path; false for a null path or an unknown mode.
  bool Open(const char* path, OpenMode mode) override;
  // Null `buffer` with n > 0 reads nothing (-1).
  int64_t Read(void* buffer, size_t n) override;
  // 0 when the file is not open or `buffer` is null.
  size_t Write(const void* buffer, size_t n) override;
  // Flushes and closes; forgets the stream, the path and the cached length.
  void Close() override;
  // Measured once by seeking to the end and back, then cached until Close: writes after the
  // first call do not change the reported length.
  int64_t Length() override;
  int64_t Tell() override;
  int64_t Seek(int64_t offset, SeekSet origin) override;

 private:
  FILE* m_file = nullptr;
  int64_t m_length = -1;
};

}  // namespace io
