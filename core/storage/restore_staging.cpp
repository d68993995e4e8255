#include "core/storage/restore_staging.h"

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

constexpr char kPrefix[] = "restore-";
constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;
constexpr size_t kUniquePartLength = 6;  // what mkdtemp puts in place of "XXXXXX"

}  // namespace

RestoreStaging::RestoreStaging(const std::string& dbDir) : db_dir_(dbDir) {
  std::string pattern = dbDir + kPrefix + "XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern + "/";
}

RestoreStaging::~RestoreStaging() {
  if (!created()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int RestoreStaging::removeStale(const std::string& dbDir) {
  int removed = 0;
  std::error_code error;
  std::filesystem::directory_iterator it(dbDir.empty() ? "." : dbDir, error);
  if (error) return 0;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) break;
    const std::string name = it->path().filename().string();
    if (name.size() != kPrefixLength + kUniquePartLength || name.compare(0, kPrefixLength, kPrefix) != 0) {
      continue;
    }
    std::error_code kind_error;
    if (!it->is_directory(kind_error) || it->is_symlink(kind_error)) continue;
    std::error_code ignored;
    if (std::filesystem::remove_all(it->path(), ignored) != static_cast<std::uintmax_t>(-1)) ++removed;
  }
  return removed;
}

bool RestoreStaging::replaceLive(const std::string& name) {
  const std::string live = db_dir_ + name;
  std::remove((live + "-wal").c_str());
  std::remove((live + "-shm").c_str());
  return std::rename((path_ + name).c_str(), live.c_str()) == 0;
}
