#include "core/storage/restore_staging.h"

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

RestoreStaging::RestoreStaging(const std::string& dbDir) : db_dir_(dbDir) {
  std::string pattern = dbDir + "restore-XXXXXX";
  if (mkdtemp(pattern.data()) != nullptr) path_ = pattern + "/";
}

RestoreStaging::~RestoreStaging() {
  if (!created()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

bool RestoreStaging::replaceLive(const std::string& name) {
  const std::string live = db_dir_ + name;
  std::remove((live + "-wal").c_str());
  std::remove((live + "-shm").c_str());
  return std::rename((path_ + name).c_str(), live.c_str()) == 0;
}
