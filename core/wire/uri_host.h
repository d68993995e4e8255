#pragma once
// HXUri: a small URI toolkit. An HXUri object splits a URI into scheme, user, password, host,
// port, path, query and anchor and writes it back (`set`, `str`); the static helpers read a host
// with an optional port, tell numeric hosts apart from names and lower-case ASCII. The endpoint
// holders of the network layer read "host:port" texts with parseHost; the databases and server
// names use the other helpers; call links (core/transport/call_link.h) build on all of it.
//
// The static functions are stateless and thread-safe. An HXUri object is a plain value without a
// lock: one thread at a time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/wire/uri_error.h"

class HXUri : public HXUriError {
 public:
  // Bit numbers of the present parts.
  enum part : uint8_t {
    ePartScheme = 0,
    ePartUser = 1,
    ePartPassword = 2,
    ePartHost = 3,
    ePartPort = 4,
    ePartPath = 5,
    ePartQuery = 6,
    ePartAnchor = 7,
  };

  // Character sets, all slices of one constant text.
  static const std::string_view GenDelims;   // ":/?#[]@"
  static const std::string_view SubDelims;   // "!$&'()"
  static const std::string_view Unreserved;  // "_~-." letters digits
  static const std::string_view AlphaDigit;  // letters digits (the first 52 are the letters)
  static const std::string_view Digit;       // "0123456789"
  static const std::string_view SchemeSet;   // "-." letters digits "+"

  HXUri() = default;
  // As set(text); check error() for the outcome.
  explicit HXUri(const std::string& text);

  // Clears every part and the error, then splits `text`: "scheme:" (when the text begins with a
  // letter and has a ":" before any "/"), "//authority" up to the first "/", "?" or "#", then path,
  // "?query" and "#anchor". A text that does not begin with a letter is read without a scheme
  // (setNoScheme). On failure returns false with the error code and position in the text: 1 for
  // a character outside SchemeSet in the scheme or after "]", 2 for "[" without "]", 3 for a bad
  // port, 4 for an empty text, 11 for a bracketed host that is no IP literal. Parts read before
  // the failure stay set.
  bool set(const std::string& text);
  // The authority up to the first "/", "?" or "#", then the path; error 4 for an empty text.
  bool setNoScheme(const std::string& text);
  // "[user[:password]@]host[:port]"; `offset` is where `text` lies in the parsed text, so that
  // an error position points into that text.
  bool parseAuthority(const std::string& text, size_t offset);
  // Splits path, "?query" and "#anchor" ("?" after "#" belongs to the anchor); marks the path
  // present, even when empty.
  void setPath(const std::string& text);
  // A non-empty query is stored and marked present; an empty one marks the query absent.
  void setQuery(const std::string& text);

  // The URI again. A host that contains ":" (an IPv6 literal) is written in brackets, so that the
  // text reads back with set.
  std::string str() const;
  // "user[:password]@" when a user is present, else "".
  std::string strAuth() const;

  std::string scheme(const std::string& def = std::string()) const;
  std::string user(const std::string& def = std::string()) const;
  std::string password(const std::string& def = std::string()) const;
  std::string host(const std::string& def = std::string()) const;
  std::string path(const std::string& def = std::string()) const;
  std::string query(const std::string& def = std::string()) const;
  std::string anchor(const std::string& def = std::string()) const;
  uint16_t port(uint16_t def = 0) const;

  bool is_set(part which) const { return (m_parts & (1u << which)) != 0; }
  bool is_scheme() const { return is_set(ePartScheme); }
  bool is_user() const { return is_set(ePartUser); }
  bool is_auth() const { return is_set(ePartUser); }
  bool is_password() const { return is_set(ePartPassword); }
  bool is_host() const { return is_set(ePartHost); }
  bool is_port() const { return is_set(ePartPort); }
  bool is_path() const { return is_set(ePartPath); }
  bool is_query() const { return is_set(ePartQuery); }
  bool is_anchor() const { return is_set(ePartAnchor); }
  bool empty() const { return m_parts == 0; }
  // With a scheme present: the scheme equals `name` without regard to ASCII case. Without one:
  // `name` is empty.
  bool is_scheme(const std::string& name) const;

  // The position of the first ":" when no "/" comes before it, else 0.
  static size_t getSchemeLen(const std::string& text);
  // True when every character of `text` is in SchemeSet; otherwise false with `position` at the
  // first one that is not.
  static bool checkScheme(const std::string& text, size_t& position);

  // Reads "host", "host:port", "[literal]" or "[literal]:port" from text[offset..]. A bracketed
  // host must be an IP address literal and may only be followed by ":port". A port must be
  // digits only, 1..65535; it is stored into `port`, which a text without port (or with a ":" at
  // its very end) leaves unchanged. On failure returns false and, when `error` is given, sets
  // its code and the position of the fault in `text`; `host` and `port` are then unchanged.
  static bool parseHost(const std::string& text, size_t offset, std::string& host, uint16_t& port,
                        HXUriError* error);

  // Whether `length` characters of `text` from `offset` (the rest of the text when `length` is
  // 0 or does not fit) form a numeric host: digits with "." inside (IPv4), or digits with ":"
  // (IPv6 without letters), optionally in brackets, where a "." makes it not numeric.
  static bool isNumericHost(const std::string& text, size_t offset = 0, size_t length = 0);

  // Per-byte ASCII lower-casing, in place and as a copy.
  static void lower(std::string& text);
  static std::string toLower(const std::string& text);

 private:
  void clearParts();
  void mark(part which) { m_parts = static_cast<uint8_t>(m_parts | (1u << which)); }
  void unmark(part which) { m_parts = static_cast<uint8_t>(m_parts & ~(1u << which)); }
  std::string partOr(part which, const std::string& value, const std::string& def) const {
    return is_set(which) ? value : def;
  }

  uint8_t m_parts = 0;
  std::string m_scheme;
  std::string m_user;
  std::string m_password;
  std::string m_host;
  uint16_t m_port = 0;
  std::string m_path;
  std::string m_query;
  std::string m_anchor;
};
