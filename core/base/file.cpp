#include "core/base/file.h"

#include <utility>

namespace io {

const char* const StandardModes[3] = {"rb", "w+b", "a+b"};

size_t IFile::Write(const void* /*buffer*/, size_t /*n*/) { return 0; }

File::~File() { Close(); }

bool File::Open(const char* path, OpenMode mode) {
  // Copied before Close clears the stored path: reopening with Path().c_str() must work.
  std::string new_path = path != nullptr ? path : "";
  Close();
  if (path == nullptr || mode < kOpenRead || mode > kOpenAppend) return false;
  m_path = std::move(new_path);
  m_file = std::fopen(m_path.c_str(), StandardModes[mode]);
  m_open = m_file != nullptr;
  return m_open;
}

int64_t File::Read(void* buffer, size_t n) {
  if (m_file == nullptr || (buffer == nullptr && n != 0)) return -1;
  return static_cast<int64_t>(std::fread(buffer, 1, n, m_file));
}

size_t File::Write(const void* buffer, size_t n) {
  if (m_file == nullptr || (buffer == nullptr && n != 0)) return 0;
  return std::fwrite(buffer, 1, n, m_file);
}

void File::Close() {
  if (m_file != nullptr) {
    std::fflush(m_file);
    std::fclose(m_file);
    m_file = nullptr;
  }
  m_length = -1;
  m_open = false;
  m_path.clear();
}

int64_t File::Length() {
  if (m_length >= 0 || m_file == nullptr) return m_length;
  const off_t here = ftello(m_file);
  if (here < 0 || fseeko(m_file, 0, SEEK_END) != 0) return -1;
  const off_t end = ftello(m_file);
  // Going back matters more than the answer: a lost position would corrupt the next read.
  if (fseeko(m_file, here, SEEK_SET) != 0 || end < 0) return -1;
  m_length = end;
  return m_length;
}

int64_t File::Tell() {
  if (m_file == nullptr) return -1;
  return ftello(m_file);
}

int64_t File::Seek(int64_t offset, SeekSet origin) {
  if (m_file == nullptr || fseeko(m_file, offset, origin) != 0) return -1;
  return ftello(m_file);
}

}  // namespace io
