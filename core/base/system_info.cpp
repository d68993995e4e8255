#include "core/base/system_info.h"

#include <dirent.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <set>
#include <utility>

namespace hx::sysinfo {

namespace {

// Reads one decimal number that fills the file (a line feed may follow). Some
// systems write -1 for a package they cannot tell.
bool ReadNumber(const std::string& path, int64_t* out) {
  FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  char text[32] = {};
  const size_t got = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  size_t i = 0;
  const bool negative = got > 0 && text[0] == '-';
  if (negative) i = 1;
  const size_t digits = i;
  int64_t value = 0;
  for (; i < got && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    if (value > (INT64_MAX - 9) / 10) return false;
    value = value * 10 + (text[i] - '0');
  }
  if (i == digits) return false;
  for (; i < got; ++i) {
    if (!std::isspace(static_cast<unsigned char>(text[i]))) return false;
  }
  *out = negative ? -value : value;
  return true;
}

// "cpu" followed by digits only (not "cpufreq", "cpuidle").
bool IsCpuEntry(const char* name) {
  if (name[0] != 'c' || name[1] != 'p' || name[2] != 'u' || name[3] == '\0') return false;
  for (const char* p = name + 3; *p != '\0'; ++p) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
  }
  return true;
}

}  // namespace

int PhysicalCpu(const std::string& cpuRoot) {
  DIR* dir = opendir(cpuRoot.c_str());
  if (dir == nullptr) return 1;
  std::set<std::pair<int64_t, int64_t>> cores;
  while (const dirent* entry = readdir(dir)) {
    if (!IsCpuEntry(entry->d_name)) continue;
    const std::string topology = cpuRoot + "/" + entry->d_name + "/topology/";
    int64_t package = 0;
    int64_t core = 0;
    if (ReadNumber(topology + "physical_package_id", &package) && ReadNumber(topology + "core_id", &core)) {
      cores.emplace(package, core);
    }
  }
  closedir(dir);
  return cores.empty() ? 1 : static_cast<int>(cores.size());
}

}  // namespace hx::sysinfo
