#pragma once
// The abstract IP address that every address type of the core shares: the plain address
// (HXIpAddress) and the socket address (HXSockAddr) keep their bytes differently, and this
// base does the parsing, printing, comparing and classifying once for both.
//
// A value type without locks: one object must not be changed from two threads at once.

#include <sys/socket.h>

#include <cstdint>
#include <string>

class HXAIpAddressBase {
 public:
  virtual ~HXAIpAddressBase() = default;

  // The family byte: 4, 6 or 0 (see ip::Family).
  virtual uint8_t family() const = 0;
  // The 4 IPv4 address bytes, network order.
  virtual uint8_t* in_addr() = 0;
  virtual const uint8_t* in_addr() const = 0;
  // The 16 IPv6 address bytes, network order.
  virtual uint8_t* in6_addr() = 0;
  virtual const uint8_t* in6_addr() const = 0;
  // True for IPv6 addresses in fe80::/64 (the rest of fe80::/10 does not count).
  virtual bool isLinkLocal6() const;
  // Called by every setter after storing; a false answer makes the setter fail.
  virtual bool isValid() const;
  virtual uint32_t scopeId() const = 0;
  virtual void setScopeId(uint32_t scope_id) = 0;
  virtual void setFamily(uint8_t family) = 0;
  // Sets the family from a system constant (AF_INET, AF_INET6).
  virtual void setSysFamily(int sys_family) = 0;
  virtual int sysFamily() const = 0;

  // Orders addresses: family first, then the address bytes as unsigned big-endian numbers,
  // then (for equal link-local addresses, unless ignore_scope) the scope ids.
  // Negative, zero or positive.
  int cmp(const HXAIpAddressBase& other, bool ignore_scope = false) const;
  bool empty() const { return family() == 0; }
  // The IPv4 address as a 32-bit value in network order.
  uint32_t ipv4Nbo() const;
  // 0.0.0.0 or ::.
  bool isInAddrAny() const;
  // Exactly 127.0.0.1 or ::1.
  bool isLoopbackIf() const;
  // 224.0.0.0/4 or ff00::/8.
  bool isMulticast() const;

  // Every setter answers true on success; on failure the family is 0 and the bytes are zero.
  // Copies family and bytes, and for IPv6 the scope id.
  bool set(const HXAIpAddressBase& other);
  // 4 bytes for family 4, 16 bytes and the scope id for family 6.
  bool set(uint8_t family, const void* bytes, uint32_t scope_id = 0);
  // An AF_INET6 structure (length at least 28) or AF_INET one (at least 16); length 0 is not
  // checked, so pass 0 only for structures the system made.
  bool set(const struct sockaddr* native, socklen_t length);
  // Dotted IPv4, or IPv6 with an optional "%" and a decimal scope id.
  bool set(const char* text);

  // The presentation form; "" for an empty address.
  std::string str() const;
  // As str(), with "%" and the scope id appended to a link-local IPv6 address.
  std::string str_wscope() const;

 protected:
  HXAIpAddressBase() = default;
  HXAIpAddressBase(const HXAIpAddressBase&) = default;
  HXAIpAddressBase& operator=(const HXAIpAddressBase&) = default;

  // The common end of every setter: checks the validity hook.
  bool finishSet();
  // Empties the address: family 0, zero bytes, so two failed addresses compare equal.
  bool failSet();
};
