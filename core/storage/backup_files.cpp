#include "core/storage/backup_files.h"

#include <fstream>
#include <limits>

namespace hx::backup {

void ensureLastSlash(std::string& path) {
  if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
}

std::string joinPath(const std::string& dir, const std::string& name) {
  std::string path = dir;
  ensureLastSlash(path);  // an empty folder stays empty: the name alone, not one under "/"
  return path + name;
}

int64_t getFileSize(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return -1;
  const std::streamoff size = file.tellg();
  return size < 0 ? -1 : static_cast<int64_t>(size);
}

void split(const std::string& text, std::vector<std::string>& fields) {
  size_t start = 0;
  while (start < text.size()) {
    const size_t space = text.find(' ', start);
    if (space == std::string::npos) {
      fields.push_back(text.substr(start));
      return;
    }
    fields.push_back(text.substr(start, space - start));
    start = space + 1;
  }
}

bool getUInt(const std::string& text, uint64_t& out) {
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = value;
  return true;
}

bool getUInt(const std::string& text, uint32_t& out) {
  uint64_t value = 0;
  if (!getUInt(text, value) || value > std::numeric_limits<uint32_t>::max()) return false;
  out = static_cast<uint32_t>(value);
  return true;
}

}  // namespace hx::backup
