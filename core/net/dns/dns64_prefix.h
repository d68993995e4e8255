#pragma once
// NAT64 prefixes: finding the prefix in the IPv6 answer for "ipv4only.arpa" (RFC 7050) and
// embedding an IPv4 address into a prefix (RFC 6052).
//
// An IPv4 address sits in the IPv6 address at a place fixed by the prefix length, skipping
// byte 8 (the "u" octet, always 0):
//   length 32: bytes 4-7       40: bytes 5-7, 9      48: bytes 6-7, 9-10
//   length 56: bytes 7, 9-11   64: bytes 9-12        96: bytes 12-15
//
// Value types without state; thread-safe.

#include <cstdint>

#include "core/net/address/ip_address.h"

namespace hx::dns {

struct Pref64 {
  HXIpAddress prefix;  // IPv6, every bit beyond the prefix length zero
  uint8_t length = 0;  // 32, 40, 48, 56, 64 or 96

  bool operator==(const Pref64& other) const {
    return length == other.length && prefix.cmp(other.prefix) == 0;
  }
  // The IPv6 address that stands for `ipv4` behind this prefix. False when `ipv4` is not IPv4
  // or the prefix length is not one of the six.
  bool synthesis(const HXAIpAddressBase& ipv4, HXIpAddress& ipv6) const;
};

// 192.0.0.170 or 192.0.0.171, the addresses of "ipv4only.arpa".
bool isIpv4Only_arpa(const uint8_t bytes[4]);

// The prefix of one IPv6 answer for "ipv4only.arpa": the well-known address must sit at exactly
// one of the six places, and byte 8 must be 0. False otherwise (and for a non-IPv6 address).
bool lookupPref64_n(const HXAIpAddressBase& address, Pref64& prefix);

}  // namespace hx::dns
