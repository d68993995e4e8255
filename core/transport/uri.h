#pragma once
// HXUri: the URI toolkit of call links. For now it holds the host-name helpers that server names
// need: per-byte ASCII lower-casing and the numeric-host test.

#include <cstddef>
#include <string>

class HXUri {
 public:
  // Lower-cases A to Z in place; every other byte stays.
  static void lower(std::string& text);
  // A copy of `text` lower-cased as by lower().
  static std::string toLower(const std::string& text);

  // Whether the host in `text` is an address written in digits: `length` characters from
  // `offset` when `length` is not 0 and fits, else the rest of the text. A bracketed range counts
  // by its inside, which must not hold a ".". A range with a "." between its first and last
  // character must consist of digits and "." only; any other must hold a ":" and consist of
  // digits and ":" only (so IPv6 literals with the letters a to f do not count). Ranges shorter
  // than 2 characters are not numeric.
  static bool isNumericHost(const std::string& text, size_t offset = 0, size_t length = 0);
};
