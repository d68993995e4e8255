#pragma once
// Comparison of UTF-8 texts, exact and without regard to case. All functions are reentrant.

#include <cstddef>
#include <cstdint>

// Compares code points in order. Returns -2 when the left side is invalid UTF-8 (a length of 0
// counts as invalid) and 2 when the right side is. Otherwise the comparison stops after a pair
// that differs, after the pair that uses up either side's length, or at a zero code point, and
// the result is 1, -1 or 0 by that last pair (left greater gives 1).
int32_t utf8strncmp(const char* left, size_t left_length, const char* right, size_t right_length);

// The same over lower-cased code points (`wlc`), except that when the last pair compared is
// equal the side with fewer bytes left orders first: abc and ABC give 0, ab and abc give -1.
int32_t utf8strncasecmp(const char* left, size_t left_length, const char* right,
                        size_t right_length);

// Case-insensitive order of two zero-terminated UTF-8 texts: an empty (or null) text orders
// before any other and two empty texts are equal; otherwise utf8strncasecmp over the whole texts.
int32_t hxicomparestr(const char* left, const char* right);
