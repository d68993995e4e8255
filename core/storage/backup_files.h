#pragma once
// File and text helpers of backup and restore.

#include <cstdint>
#include <string>
#include <vector>

namespace hx::backup {

// Appends "/" when `path` is not empty and ends in neither '/' nor '\'.
void ensureLastSlash(std::string& path);
// `dir`, a "/" unless `dir` is empty or already ends in '/' or '\', then `name`.
std::string joinPath(const std::string& dir, const std::string& name);
// The number of bytes in the file, or -1 when it cannot be opened.
int64_t getFileSize(const std::string& path);
// The fields between single spaces: two spaces in a row give an empty field, a trailing one none.
void split(const std::string& text, std::vector<std::string>& fields);
// Decimal digits only, the whole text, no sign or blanks, within range; an empty text reads as 0.
bool getUInt(const std::string& text, uint32_t& out);
bool getUInt(const std::string& text, uint64_t& out);

}  // namespace hx::backup
