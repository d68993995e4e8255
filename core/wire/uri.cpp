// The URI object of HXUri: splitting a URI into its parts and writing it back.
#include <cctype>

#include "core/wire/uri_host.h"

namespace {

// One text holds every character set; the sets are slices of it.
constexpr std::string_view kChars =
    ":/?#[]@"                                               // 0: general delimiters
    "!$&'()"                                                // 7: sub-delimiters
    "%"                                                     // 13
    "_~-."                                                  // 14
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"  // 18: letters
    "0123456789"                                            // 70
    "+";                                                    // 80

bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

}  // namespace

const std::string_view HXUri::GenDelims = kChars.substr(0, 7);
const std::string_view HXUri::SubDelims = kChars.substr(7, 6);
const std::string_view HXUri::Unreserved = kChars.substr(14, 66);
const std::string_view HXUri::AlphaDigit = kChars.substr(18, 62);
const std::string_view HXUri::Digit = kChars.substr(70, 10);
const std::string_view HXUri::SchemeSet = kChars.substr(16, 65);

HXUri::HXUri(const std::string& text) { set(text); }

void HXUri::clearParts() {
  clearUriError();
  m_parts = 0;
  m_scheme.clear();
  m_user.clear();
  m_password.clear();
  m_host.clear();
  m_port = 0;
  m_path.clear();
  m_query.clear();
  m_anchor.clear();
}

size_t HXUri::getSchemeLen(const std::string& text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return 0;
  const size_t slash = text.find('/');
  if (slash < colon) return 0;
  return colon;
}

bool HXUri::checkScheme(const std::string& text, size_t& position) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (SchemeSet.find(text[i]) == std::string_view::npos) {
      position = i;
      return false;
    }
  }
  return true;
}

bool HXUri::set(const std::string& text) {
  clearParts();
  if (text.empty() || !isLetter(text[0])) return setNoScheme(text);
  const size_t scheme_length = getSchemeLen(text);
  if (scheme_length == 0) {
    setPath(text);
    return true;
  }
  const std::string scheme = text.substr(0, scheme_length);
  size_t bad = 0;
  if (!checkScheme(scheme, bad)) {
    setUriError(eBadChar, bad);
    return false;
  }
  size_t rest = scheme_length + 1;
  if (text.compare(rest, 2, "//") == 0) {
    const size_t authority_begin = rest + 2;
    size_t authority_end = text.find_first_of("/?#", authority_begin);
    if (authority_end == std::string::npos) authority_end = text.size();
    if (authority_end > authority_begin &&
        !parseAuthority(text.substr(authority_begin, authority_end - authority_begin),
                        authority_begin)) {
      return false;
    }
    rest = authority_end;
  }
  m_scheme = toLower(scheme);
  mark(ePartScheme);
  if (rest < text.size()) setPath(text.substr(rest));
  return true;
}

bool HXUri::setNoScheme(const std::string& text) {
  if (text.empty()) {
    setUriError(eEmptyUri, 0);
    return false;
  }
  size_t authority_end = text.find_first_of("/?#");
  if (authority_end == std::string::npos) authority_end = text.size();
  if (authority_end > 0 && !parseAuthority(text.substr(0, authority_end), 0)) return false;
  setPath(text.substr(authority_end));
  return true;
}

bool HXUri::parseAuthority(const std::string& text, size_t offset) {
  const size_t at = text.find('@');
  const size_t host_begin = at == std::string::npos ? 0 : at + 1;
  if (host_begin < text.size()) {
    const std::string host_part = text.substr(host_begin);
    std::string host;
    uint16_t port = 0;
    HXUriError error;
    if (!parseHost(host_part, 0, host, port, &error)) {
      setUriError(error.error(), offset + host_begin + error.errorPos());
      return false;
    }
    m_host = host;
    m_port = port;
    if (port != 0) {
      mark(ePartHost);
      mark(ePartPort);
    } else if (!host.empty()) {
      mark(ePartHost);
    }
  }
  if (at != std::string::npos && at > 0) {
    const std::string user_info = text.substr(0, at);
    const size_t colon = user_info.find(':');
    m_user = user_info.substr(0, colon);
    if (colon != std::string::npos) {
      m_password = user_info.substr(colon + 1);
      mark(ePartPassword);
    }
    mark(ePartUser);
  }
  return true;
}

void HXUri::setPath(const std::string& text) {
  const size_t hash = text.find('#');
  const size_t question = text.find('?');
  size_t path_end = hash;
  if (hash != std::string::npos) {
    m_anchor = text.substr(hash + 1);
    mark(ePartAnchor);
  }
  if (question < hash) {
    path_end = question;
    const size_t query_end = hash == std::string::npos ? text.size() : hash;
    setQuery(text.substr(question + 1, query_end - question - 1));
  }
  m_path = text.substr(0, path_end);
  mark(ePartPath);
}

void HXUri::setQuery(const std::string& text) {
  m_query = text;
  if (text.empty()) {
    unmark(ePartQuery);
  } else {
    mark(ePartQuery);
  }
}

std::string HXUri::strAuth() const {
  if (!is_user()) return std::string();
  std::string text = m_user;
  if (is_password()) text += ":" + m_password;
  return text + "@";
}

std::string HXUri::str() const {
  std::string text;
  if (is_scheme()) text = m_scheme + ":";
  if (is_host()) {
    text += "//" + strAuth();
    // A host with "@" (read from "//@a@b") needs the empty user information in front again.
    if (!is_user() && m_host.find('@') != std::string::npos) text += "@";
    // A literal with ":" would read back as host and port; brackets keep it one host.
    if (m_host.find(':') != std::string::npos) {
      text += "[" + m_host + "]";
    } else {
      text += m_host;
    }
    if (is_port()) text += ":" + std::to_string(m_port);
  }
  if (is_path()) {
    text += m_path;
    if (is_query()) text += "?" + m_query;
    if (is_anchor()) text += "#" + m_anchor;
  }
  return text;
}

std::string HXUri::scheme(const std::string& def) const {
  return partOr(ePartScheme, m_scheme, def);
}
std::string HXUri::user(const std::string& def) const { return partOr(ePartUser, m_user, def); }
std::string HXUri::password(const std::string& def) const {
  return partOr(ePartPassword, m_password, def);
}
std::string HXUri::host(const std::string& def) const { return partOr(ePartHost, m_host, def); }
std::string HXUri::path(const std::string& def) const { return partOr(ePartPath, m_path, def); }
std::string HXUri::query(const std::string& def) const { return partOr(ePartQuery, m_query, def); }
std::string HXUri::anchor(const std::string& def) const {
  return partOr(ePartAnchor, m_anchor, def);
}
uint16_t HXUri::port(uint16_t def) const { return is_port() ? m_port : def; }

bool HXUri::is_scheme(const std::string& name) const {
  if (!is_scheme()) return name.empty();
  return toLower(name) == m_scheme;
}
