#include "core/wire/uri_host.h"

#include "core/net/address/addr_factory.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A port text: digits only, 1..65535.
bool readPort(const std::string& text, size_t from, uint16_t& port) {
  uint32_t value = 0;
  for (size_t i = from; i < text.size(); ++i) {
    if (!isDigit(text[i])) return false;
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
    if (value > 65535) return false;
  }
  if (value == 0) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

bool fail(HXUriError* error, HXUriError::ECode code, size_t position) {
  if (error != nullptr) error->setUriError(code, position);
  return false;
}

bool onlyDigitsAnd(const std::string& text, size_t from, size_t to, char separator) {
  for (size_t i = from; i < to; ++i) {
    if (!isDigit(text[i]) && text[i] != separator) return false;
  }
  return true;
}

}  // namespace

bool HXUri::parseHost(const std::string& text, size_t offset, std::string& host, uint16_t& port,
                      HXUriError* error) {
  if (offset > text.size()) offset = text.size();
  size_t host_begin = offset;
  size_t host_end;
  size_t after_host;  // where ":" and the port may follow
  if (offset < text.size() && text[offset] == '[') {
    size_t close = text.find(']', offset);
    if (close == std::string::npos) return fail(error, HXUriError::eNoClosingBracket, text.size());
    host_begin = offset + 1;
    host_end = close;
    std::string literal = text.substr(host_begin, host_end - host_begin);
    if (HXAddrFactory::get(literal.c_str()).empty()) {
      return fail(error, HXUriError::eNotIpLiteral, host_end);
    }
    after_host = close + 1;
    if (after_host < text.size() && text[after_host] != ':') {
      return fail(error, HXUriError::eBadChar, after_host);
    }
  } else {
    host_end = text.find(':', offset);
    if (host_end == std::string::npos) host_end = text.size();
    after_host = host_end;
  }

  uint16_t new_port = port;
  size_t port_begin = after_host + 1;
  if (port_begin < text.size() && !readPort(text, port_begin, new_port)) {
    return fail(error, HXUriError::eBadPort, port_begin);
  }
  host.assign(text, host_begin, host_end - host_begin);
  port = new_port;
  return true;
}

bool HXUri::isNumericHost(const std::string& text, size_t offset, size_t length) {
  if (offset > text.size()) return false;
  size_t begin = offset;
  size_t end = text.size();
  if (length != 0 && length <= text.size() - offset) end = offset + length;
  if (end - begin < 2) return false;

  if (text[begin] == '[' && text[end - 1] == ']') {
    ++begin;
    --end;
    if (text.find('.', begin) < end) return false;
  } else {
    size_t dot = text.find('.', begin + 1);
    if (dot < end - 1) return onlyDigitsAnd(text, begin, end, '.');
  }
  if (text.find(':', begin) >= end) return false;
  return onlyDigitsAnd(text, begin, end, ':');
}

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
