#pragma once
// Helpers of the storage tests: the sqlite3 command line tool as an independent reader of the
// files, byte-level damage, and small file operations.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace hx::storage_testing {

inline std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs `sql` on the database file with the sqlite3 tool (at `tool`); its standard output, or
// "<failed>" when the tool failed. Rows come one per line, columns separated by '|'.
inline std::string Sqlite(const std::string& tool, const std::string& file, const std::string& sql) {
  const std::string script = file + ".sql";
  std::ofstream(script) << sql << "\n";
  const std::string command =
      ShellQuoted(tool) + " -batch " + ShellQuoted(file) + " < " + ShellQuoted(script) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return "<failed>";
  std::string output;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
  const int status = pclose(pipe);
  std::filesystem::remove(script);
  return status == 0 ? output : "<failed>" + output;
}

// Overwrites `length` bytes at `offset` with a pattern no SQLite page starts with.
inline void Damage(const std::string& file, long offset, size_t length) {
  std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
  stream.seekp(offset);
  const std::string junk(length, '\x5A');
  stream.write(junk.data(), static_cast<std::streamsize>(junk.size()));
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace hx::storage_testing
