#include "core/base/text_compare.h"

#include <cstring>

#include "core/base/utf8.h"
#include "core/base/utf8_case.h"

namespace {

uint32_t SameCode(uint32_t code) { return code; }

struct Walk {
  int32_t result;         // -2 or 2 for invalid input, else the order of the last pair
  size_t left_remaining;  // bytes not yet compared
  size_t right_remaining;
};

// Walks both texts pair by pair with `fold` applied to each code point.
Walk ComparePairs(const char* left, size_t left_length, const char* right, size_t right_length,
                  uint32_t (*fold)(uint32_t)) {
  while (true) {
    uint32_t left_code = 0;
    uint32_t right_code = 0;
    const int32_t left_used = utf8tow(left, left_length, &left_code);
    if (left_used < 0) return {-2, left_length, right_length};
    const int32_t right_used = utf8tow(right, right_length, &right_code);
    if (right_used < 0) return {2, left_length, right_length};
    left += left_used;
    left_length -= static_cast<size_t>(left_used);
    right += right_used;
    right_length -= static_cast<size_t>(right_used);

    left_code = fold(left_code);
    right_code = fold(right_code);
    if (left_code != right_code) {
      return {left_code > right_code ? 1 : -1, left_length, right_length};
    }
    if (left_length == 0 || right_length == 0 || left_code == 0) {
      return {0, left_length, right_length};
    }
  }
}

}  // namespace

int32_t utf8strncmp(const char* left, size_t left_length, const char* right, size_t right_length) {
  return ComparePairs(left, left_length, right, right_length, SameCode).result;
}

int32_t utf8strncasecmp(const char* left, size_t left_length, const char* right,
                        size_t right_length) {
  const Walk walk = ComparePairs(left, left_length, right, right_length, wlc);
  if (walk.result != 0) return walk.result;
  if (walk.left_remaining > walk.right_remaining) return 1;
  if (walk.left_remaining < walk.right_remaining) return -1;
  return 0;
}

int32_t hxicomparestr(const char* left, const char* right) {
  const bool left_empty = left == nullptr || left[0] == '\0';
  const bool right_empty = right == nullptr || right[0] == '\0';
  if (left_empty) return right_empty ? 0 : -1;
  if (right_empty) return 1;
  return utf8strncasecmp(left, std::strlen(left), right, std::strlen(right));
}
