#pragma once
// Reading the address texts that endpoints are given: "host", "host:port", "[v6]:port",
// "scheme://host:port" and bare IPv6 literals.

#include <cstdint>
#include <string>

// The host part of `text`. Everything up to and including the first "://" is dropped. A text
// starting with "[" holds an IPv6 address in brackets, optionally followed by ":port"; a text
// with exactly one ":" is host and port; several ":" without brackets are an IPv6 literal
// without port. When `port` is given and holds 0, it receives the text's port, or 4307 when the
// text names none (or a port that is not a number from 0 to 65535).
std::string parseZAddrUri(const std::string& text, uint16_t* port);

// The system family (AF_INET, AF_INET6) of a numeric host text, or 0 when it is not numeric.
int GetAddressFamily(const std::string& host);
