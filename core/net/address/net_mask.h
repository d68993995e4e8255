#pragma once
// A network mask: n leading one bits followed by zero bits, kept as the bytes of an address
// together with the prefix length n.

#include <sys/socket.h>

#include <cstdint>

#include "core/net/address/ip_address.h"

class HXNetMask : public HXIpAddress {
 public:
  // IPv6 /128.
  HXNetMask();
  // That family, then setMaskLen(prefix_length).
  HXNetMask(uint8_t family, int32_t prefix_length);
  // The mask of a system structure (as getifaddrs gives it), normalised to leading one bits;
  // IPv6 /128 for null or a structure that is neither AF_INET nor AF_INET6. The structure must
  // be as long as its family needs.
  explicit HXNetMask(const struct sockaddr* native);
  // The common prefix of two addresses of the same family; IPv6 /128 otherwise.
  HXNetMask(const HXAIpAddressBase& a, const HXAIpAddressBase& b);

  // Clamps n to the family's width (32 or 128; negative gives 0) and sets the leading n bits.
  // A mask of another family becomes 16 bytes of ones, prefix length 128.
  void setMaskLen(int32_t prefix_length);
  int32_t maskLen() const { return m_mask_len; }

  // The network of an address of the mask's family (mask AND address, scope id 0);
  // a copy of the address when the families differ or the mask has none.
  HXIpAddress net(const HXAIpAddressBase& address) const;

  // Same family and same prefix length.
  bool operator==(const HXNetMask& other) const;

 private:
  // Keeps the leading one bits of the family's bytes and clears everything after them.
  void normalise();

  int32_t m_mask_len = 128;
};
