#pragma once
// Strict column reads for the per-user databases. Stored files are input from disk: a NULL, or
// anything but a whole number where a number belongs (SQLite hands text or a blob to a number
// fetch as 0), is a database error (cppdb::cppdb_error) instead of a made-up value, so that the
// statement guard turns it into the operation's failure.
//
// Thread safety: plain functions on the caller's result.

#include <cppdb/errors.h>
#include <cppdb/frontend.h>

#include <charconv>
#include <string>
#include <system_error>

namespace hx::contacts {

inline std::string TextColumn(cppdb::result& row, int column) {
  std::string value;
  if (!row.fetch(column, value)) throw cppdb::null_value_fetch();
  return value;
}

// A decimal integer that fits T, with nothing before or after it.
template <typename T>
T NumberColumn(cppdb::result& row, int column) {
  const std::string text = TextColumn(row, column);
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end) throw cppdb::bad_value_cast();
  return value;
}

}  // namespace hx::contacts
