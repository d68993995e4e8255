#include "core/base/utf8_case.h"

#include <algorithm>

#include "core/base/case_tables.h"
#include "core/base/utf8.h"

namespace {

constexpr size_t kLongestSequence = 6;

uint32_t Lookup(const UcsCaseRow* table, size_t rows, uint32_t code) {
  const UcsCaseRow* end = table + rows;
  const UcsCaseRow* row = std::lower_bound(
      table, end, code, [](const UcsCaseRow& r, uint32_t c) { return r.code < c; });
  return row != end && row->code == code ? row->mapped : code;
}

}  // namespace

uint32_t wlc(uint32_t code) { return Lookup(mUCSU2L, mUCSU2LRows, code); }

uint32_t wuc(uint32_t code) { return Lookup(mUCSL2U, mUCSL2URows, code); }

int32_t changeutf8case(const char* in, size_t in_length, char* out, size_t* out_size,
                       CaseMapFunction map) {
  if (in == nullptr && in_length != 0) return -1;
  if (out == nullptr || out_size == nullptr || map == nullptr) return -3;
  const size_t capacity = *out_size;
  if (capacity <= kLongestSequence) return -3;

  size_t read = 0;
  size_t written = 0;
  while (read < in_length) {
    uint32_t code = 0;
    const int32_t used = utf8tow(in + read, in_length - read, &code);
    if (used < 0) return -1;
    read += static_cast<size_t>(used);

    char encoded[kLongestSequence];
    const int32_t length = wtoutf8(map(code), encoded);
    if (length < 0) return -2;
    // `written` never exceeds capacity - 6, so this sum cannot overflow.
    if (written + static_cast<size_t>(length) + kLongestSequence > capacity) return -3;
    std::copy(encoded, encoded + length, out + written);
    written += static_cast<size_t>(length);
  }
  out[written] = '\0';
  *out_size = written;
  return 0;
}

int32_t utf8lcstr(const char* in, size_t in_length, char* out, size_t* out_size) {
  return changeutf8case(in, in_length, out, out_size, wlc);
}

int32_t utf8ucstr(const char* in, size_t in_length, char* out, size_t* out_size) {
  return changeutf8case(in, in_length, out, out_size, wuc);
}
