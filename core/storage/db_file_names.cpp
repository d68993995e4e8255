// File names of databases: storage names, their encoded file-system form and the migration of
// files that older clients stored under clear names.

#include <unistd.h>

#include "core/storage/db_base.h"
#include "core/security/md5.h"

namespace {

// The last dot and the one before it, or npos when the name has fewer than two dots.
size_t SuffixDot(const std::string& name) {
  const size_t last = name.rfind('.');
  if (last == std::string::npos || last == 0) return std::string::npos;
  return name.rfind('.', last - 1);
}

// Asked without opening the file: opening a FIFO someone put in its place would block for ever.
bool CanReadFile(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

}  // namespace

std::string HXDBBase::GetStorageName() const { return GetStorageNameSuffix(); }

std::string HXDBBase::GetStorageName(const std::string& peer) const {
  return peer + "." + GetStorageNameSuffix();
}

std::string HXDBBase::PathEncode(const std::string& name) const {
  std::string result = name;
  // A resource part ("user@server/resource") names the same file as the bare id.
  const size_t slash = result.find('/');
  if (slash != std::string::npos) {
    const size_t dot = result.find('.', slash);
    result.erase(slash, dot == std::string::npos ? std::string::npos : dot - slash);
  }
  const size_t suffix = SuffixDot(result);
  if (suffix == std::string::npos) return result;
  char hex[kMD5HexSize];
  // Without a digest there is no safe name: an empty one opens nothing.
  if (HX_Cipher::md5(result.substr(0, suffix).c_str(), hex) == nullptr) return "";
  return hex + result.substr(suffix);
}

bool HXDBBase::Migrate(const std::string& from, const std::string& to) {
  if (CanReadFile(to)) return false;  // an existing file is never overwritten
  if (!CanReadFile(from)) return false;
  std::rename(from.c_str(), to.c_str());
  std::rename((from + "-shm").c_str(), (to + "-shm").c_str());
  std::rename((from + "-wal").c_str(), (to + "-wal").c_str());
  return true;
}

bool HXDBBase::_Migrate(const char* dir, const std::string& storageName) {
  const size_t suffix_dot = SuffixDot(storageName);
  if (suffix_dot == std::string::npos) return false;
  const std::string folder = dir != nullptr ? dir : "";
  const std::string suffix = storageName.substr(suffix_dot);
  const std::string user = storageName.substr(0, storageName.find('@'));
  const std::string target = folder + PathEncode(storageName);
  // Old names were plain names inside the folder; a peer id with a '/' in them ("../x@y") must not
  // pull files in from elsewhere.
  const auto migrate_plain = [&](const std::string& old_name) {
    return old_name.find('/') == std::string::npos && Migrate(folder + old_name, target);
  };
  // First the login without its server part, then the clear storage name.
  return migrate_plain(user + suffix) || migrate_plain(storageName);
}
