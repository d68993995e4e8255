// The backup description file "bpinfo.db": writing it, and reading it back with every check.

#include <fstream>
#include <string>
#include <vector>

#include "core/base/ios_log.h"
#include "core/security/crc32.h"
#include "core/storage/backup_files.h"
#include "core/storage/db_manager.h"

using hx::backup::getUInt;
using hx::backup::joinPath;
using hx::backup::split;

namespace {

std::string EntryLine(const HX_DBManager::BfInfo& entry) {
  std::string line = std::to_string(entry.type) + " " + entry.fileName + " " + std::to_string(entry.size);
  if (!entry.peerId.empty()) line += " " + entry.peerId;
  return line;
}

// The CRC-32 register over entry lines; the file holds its complement.
HX_Crc32 NewLinesCrc() { return HX_Crc32(0xFFFFFFFFu, HashTable<unsigned, 79764919>::table()); }

}  // namespace

bool HX_DBManager::genBackupInfo(const std::string& dir, const BfInfoList& entries) {
  std::ofstream out(joinPath(dir, hx::backup::BinfoFilename), std::ios::binary | std::ios::trunc);
  if (!out) return false;
  out << hx::backup::BinfoSign << ' ' << hx::backup::BinfoVersion << ' ' << entries.size() << '\n';
  HX_Crc32 crc = NewLinesCrc();
  uint32_t crc_value = 0xFFFFFFFFu;
  for (const BfInfo& entry : entries) {
    if (!out) break;
    const std::string line = EntryLine(entry);
    crc_value = crc.process_bytes(line.data(), line.size());
    out << line << '\n';
  }
  if (out) out << ~crc_value << '\n';
  out.flush();
  return static_cast<bool>(out);
}

bool HX_DBManager::readBackupInfo(const std::string& dir, uint32_t& version, BfInfoList& entries) {
  const std::string path = joinPath(dir, hx::backup::BinfoFilename);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ios_log("Fail to open %s", path.c_str());
    return false;
  }
  std::string line;
  if (!std::getline(in, line)) {
    ios_log("Fail to read header from %s", path.c_str());
    return false;
  }
  std::vector<std::string> header;
  split(line, header);
  if (header.size() != 3) {
    ios_log("Bad header line format: '%s'", line.c_str());
    return false;
  }
  if (header[0] != hx::backup::BinfoSign) {
    ios_log("Bad signature: %s", header[0].c_str());
    return false;
  }
  uint32_t count = 0;
  if (!getUInt(header[1], version) || !getUInt(header[2], count)) return false;
  if (version != hx::backup::BinfoVersion) {
    ios_log("Wrong version %u", version);
    return false;
  }
  if (count == 0) {
    ios_log("Empty backup");
    return false;
  }

  entries.clear();
  HX_Crc32 crc = NewLinesCrc();
  uint32_t crc_value = 0xFFFFFFFFu;
  for (uint32_t i = 1; i <= count; ++i) {
    if (!std::getline(in, line)) {
      ios_log("Fail to read line %u from %s", i, path.c_str());
      return false;
    }
    if (!parseFileLine(line, entries)) return false;
    crc_value = crc.process_bytes(line.data(), line.size());
  }
  if (!std::getline(in, line)) {
    ios_log("Fail to read crc from %s", path.c_str());
    return false;
  }
  in.close();
  uint32_t stored_crc = 0;
  if (!getUInt(line, stored_crc)) return false;
  if (stored_crc != ~crc_value) {
    ios_log("Crc mistmatch. File %s, calc. %u", path.c_str(), ~crc_value);
    return false;
  }

  for (const BfInfo& entry : entries) {
    const int64_t size = hx::backup::getFileSize(joinPath(dir, entry.fileName));
    if (size < 0) return false;
    if (size != entry.size) {
      ios_log("File size not equal; info: %ld, actual: %ld", static_cast<long>(entry.size),
              static_cast<long>(size));
      return false;
    }
  }
  return true;
}

bool HX_DBManager::parseFileLine(const std::string& line, BfInfoList& entries) {
  std::vector<std::string> fields;
  split(line, fields);
  if (fields.size() < 3) {
    ios_log("Bad line format: '%s'", line.c_str());
    return false;
  }
  uint32_t type = 0;
  if (!getUInt(fields[0], type)) return false;
  if (type != kSettingsEntry && type != kChatEntry) {
    ios_log("Unknown db type %u", type);
    return false;
  }
  const size_t expected_fields = type == kSettingsEntry ? 3 : 4;
  if (fields.size() != expected_fields) {
    ios_log("Bad line format: '%s'", line.c_str());
    return false;
  }
  // Sizes are 64-bit: a database may outgrow 4 GiB.
  uint64_t size = 0;
  if (!getUInt(fields[2], size) || size > static_cast<uint64_t>(INT64_MAX)) {
    ios_log("Can't get file size: '%s'", fields[2].c_str());
    return false;
  }
  entries.emplace_back(type, fields[1], static_cast<int64_t>(size), type == kChatEntry ? fields[3] : "");
  return true;
}
