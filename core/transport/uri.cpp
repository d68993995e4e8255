#include "core/transport/uri.h"

#include <algorithm>
#include <string_view>

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool OnlyDigitsAnd(std::string_view text, char other) {
  return std::all_of(text.begin(), text.end(),
                     [other](char c) { return IsDigit(c) || c == other; });
}

}  // namespace

void HXUri::lower(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

std::string HXUri::toLower(const std::string& text) {
  std::string copy = text;
  lower(copy);
  return copy;
}

bool HXUri::isNumericHost(const std::string& text, size_t offset, size_t length) {
  if (offset > text.size()) return false;
  std::string_view range(text);
  range.remove_prefix(offset);
  if (length != 0 && length <= range.size()) range = range.substr(0, length);
  if (range.size() < 2) return false;

  if (range.front() == '[' && range.back() == ']') {
    range = range.substr(1, range.size() - 2);
    if (range.find('.') != std::string_view::npos) return false;
  }
  const size_t dot =
      range.size() < 3 ? std::string_view::npos : range.substr(1, range.size() - 2).find('.');
  if (dot != std::string_view::npos) return OnlyDigitsAnd(range, '.');
  return range.find(':') != std::string_view::npos && OnlyDigitsAnd(range, ':');
}
