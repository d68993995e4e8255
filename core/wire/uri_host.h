#pragma once
// The host helpers of the URI toolkit: reading a host with an optional port, telling numeric
// hosts apart from names, and ASCII lower-casing. The endpoint holders of the network layer read
// "host:port" texts with parseHost; the databases and server names use the others. The rest of
// the toolkit (splitting and rebuilding URIs, call links) builds on these.
//
// Stateless static functions; thread-safe.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/wire/uri_error.h"

class HXUri {
 public:
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
};
