#pragma once
// Case mapping of code points and of UTF-8 text through the core's own case tables
// (core/base/case_tables.h). All functions are reentrant.

#include <cstddef>
#include <cstdint>

// The lower-case (`wlc`) or upper-case (`wuc`) form of a code point; a code point without a row in
// the table is returned unchanged.
uint32_t wlc(uint32_t code);
uint32_t wuc(uint32_t code);

using CaseMapFunction = uint32_t (*)(uint32_t);

// Maps every code point of `in` (`in_length` bytes) with `map` and writes the UTF-8 result,
// zero-terminated, to `out`. `*out_size` is the capacity of `out` on entry and the length of the
// result (without the terminating zero) on success. A character is only written while its end
// plus 6 spare bytes stay within the capacity, so the capacity must exceed the result's length by
// at least 6 and be at least 7.
// Returns 0 on success, -1 when `in` is not valid UTF-8, -2 when a mapped code point cannot be
// encoded, -3 when `out` is too small (or a pointer is null). On failure `*out_size` is unchanged.
int32_t changeutf8case(const char* in, size_t in_length, char* out, size_t* out_size,
                       CaseMapFunction map);

// changeutf8case with `wlc` and with `wuc`.
int32_t utf8lcstr(const char* in, size_t in_length, char* out, size_t* out_size);
int32_t utf8ucstr(const char* in, size_t in_length, char* out, size_t* out_size);
