#pragma once
// Makes addresses from numbers, text and system structures, and writes and reads the compact
// serialised form in which addresses travel inside protocol containers:
//
//   IP address (kind 1):     total length (6 or 18), 1, address bytes (4 or 16)
//   socket address (kind 2): total length (9 or 21), 2, protocol (1 TCP, 2 UDP),
//                            port (big-endian), address bytes (4 or 16)
//
// The family follows from the total length; the scope id is never written. All functions are
// stateless and thread-safe.

#include <netdb.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>

#include "core/net/address/ip_address.h"
#include "core/net/address/sock_addr.h"

class HXAddrFactory {
 public:
  // IPv4 from a host-order 32-bit number.
  static HXIpAddress get(uint32_t host_order);
  // IPv4 from the dotted quad; missing trailing bytes are 0.
  static HXIpAddress v4(uint8_t b0, uint8_t b1 = 0, uint8_t b2 = 0, uint8_t b3 = 0);
  // IPv6 from its leading 16-bit groups; missing trailing groups are 0, scope id 0.
  static HXIpAddress v6(uint16_t g0, uint16_t g1 = 0, uint16_t g2 = 0, uint16_t g3 = 0,
                        uint16_t g4 = 0, uint16_t g5 = 0, uint16_t g6 = 0, uint16_t g7 = 0);
  // Through the matching HXAIpAddressBase::set; family 0 on failure.
  static HXIpAddress get(const struct sockaddr* native, socklen_t length);
  static HXIpAddress get(const addrinfo* info);
  static HXIpAddress get(const char* text);
  static HXIpAddress get(const HXAIpAddressBase& other);
  // The all-zero address of a family byte (stored as given) or of a structure's family.
  static HXIpAddress zero(uint8_t family);
  static HXIpAddress zero(const struct sockaddr* native);

  // Write the serialised form into buffer. On a null or short buffer `length` receives the
  // size needed and the call fails; an address that has no form (empty, or a socket address
  // whose protocol is neither TCP nor UDP) gives length 0. On success `length` is the size
  // written.
  static bool serialize(const HXAIpAddressBase& address, uint8_t* buffer, size_t& length);
  static bool serialize(const HXSockAddr& address, uint8_t* buffer, size_t& length);

  // The kind (1 address, 2 socket address) of the form at buffer, with `length` set to its
  // total length; 0 when unknown, with length 6 (the least to look at) for fewer than two
  // bytes and 0 for a form that is not ours.
  static int deserializePeekType(const uint8_t* buffer, size_t& length);
  // Read a form of `length` bytes. On success `length` is the size consumed. On failure it is
  // the size needed (more bytes may help) or 0 (not a form of ours).
  // A socket address read from the address form keeps its port and protocol; an address read
  // from the socket-address form takes only the address.
  static bool deserialize(HXSockAddr& address, const uint8_t* buffer, size_t& length);
  static bool deserialize(HXIpAddress& address, const uint8_t* buffer, size_t& length);
};
