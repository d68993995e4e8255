#include "core/wire/uri_escape.h"

namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalsNoCase(const char* text, const char* lower_word, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (lowerAscii(text[i]) != lower_word[i]) return false;
  }
  return true;
}

}  // namespace

bool HXUriEscape::unescapePct(const std::string& text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size()) {
      const int high = hexValue(text[i + 1]);
      const int low = i + 2 < text.size() ? hexValue(text[i + 2]) : -1;
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 2;
        continue;
      }
      if (text[i + 1] == '%') {
        out += '%';
        ++i;
        continue;
      }
    }
    out += text[i];
  }
  return true;
}

bool HXUriEscape::unescapeAmp(const char* text, size_t length, char& character,
                              size_t& referenceLength) {
  if (text == nullptr || length < 4 || text[0] != '&') return false;
  if (text[3] == ';' && lowerAscii(text[2]) == 't' &&
      (lowerAscii(text[1]) == 'g' || lowerAscii(text[1]) == 'l')) {
    character = lowerAscii(text[1]) == 'g' ? '>' : '<';
    referenceLength = 4;
    return true;
  }
  if (length >= 5 && text[4] == ';') {
    if (equalsNoCase(text + 1, "amp", 3)) {
      character = '&';
      referenceLength = 5;
      return true;
    }
    if (text[1] == '#' && text[2] == '3' && text[3] == '9') {
      character = '\'';
      referenceLength = 5;
      return true;
    }
  }
  if (length >= 6 && equalsNoCase(text + 1, "quot;", 5)) {
    character = '"';
    referenceLength = 6;
    return true;
  }
  return false;
}

HXUriEscape::UriVarsParser::UriVarsParser(const std::string& text, QueryVariables& variables,
                                          size_t start) {
  const size_t n = text.size();
  size_t i = start;
  while (i < n) {
    // Separators before the variable: plain "&" and the ampersand reference.
    char character = 0;
    size_t reference = 0;
    if (text[i] == '&') {
      if (unescapeAmp(text.data() + i, n - i, character, reference)) {
        if (character == '&') {
          i += reference;
          continue;
        }
      } else {
        ++i;
        continue;
      }
    }
    QueryVariable variable;
    variable.namePos = i;
    bool in_value = false;
    while (i < n) {
      const char c = text[i];
      if (c == '&') {
        if (unescapeAmp(text.data() + i, n - i, character, reference)) {
          if (character == '&') {
            i += reference;
            break;
          }
          (in_value ? variable.value : variable.name) += character;
          i += reference;
          continue;
        }
        ++i;
        break;
      }
      if (c == '=' && !in_value) {
        in_value = true;
        variable.valuePos = i + 1;
        ++i;
        continue;
      }
      (in_value ? variable.value : variable.name) += c;
      ++i;
    }
    variables.push_back(std::move(variable));
  }
}
