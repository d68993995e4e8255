// The serialised form of addresses (see addr_factory.h). Every byte count is checked against
// the caller's length before a byte is read or written.
#include <cstring>

#include "core/net/address/addr_factory.h"
#include "core/net/address/address_family.h"

namespace {

constexpr uint8_t kKindAddress = 1;
constexpr uint8_t kKindSockAddr = 2;
constexpr size_t kAddressHeader = 2;   // total length, kind
constexpr size_t kSockAddrHeader = 5;  // total length, kind, protocol, port

size_t AddressBytes(uint8_t family) { return family == ip::Family::v4 ? 4 : 16; }

const uint8_t* BytesOf(const HXAIpAddressBase& address) {
  return address.family() == ip::Family::v4 ? address.in_addr() : address.in6_addr();
}

bool HasForm(uint8_t family) { return family == ip::Family::v4 || family == ip::Family::v6; }

// The family of a form from its total length and header size.
uint8_t FamilyOfForm(size_t total, size_t header) {
  return total == header + 4 ? ip::Family::v4 : ip::Family::v6;
}

}  // namespace

bool HXAddrFactory::serialize(const HXAIpAddressBase& address, uint8_t* buffer, size_t& length) {
  if (!HasForm(address.family())) {
    length = 0;
    return false;
  }
  const size_t needed = kAddressHeader + AddressBytes(address.family());
  if (buffer == nullptr || length < needed) {
    length = needed;
    return false;
  }
  buffer[0] = static_cast<uint8_t>(needed);
  buffer[1] = kKindAddress;
  std::memcpy(buffer + kAddressHeader, BytesOf(address), AddressBytes(address.family()));
  length = needed;
  return true;
}

bool HXAddrFactory::serialize(const HXSockAddr& address, uint8_t* buffer, size_t& length) {
  const uint8_t proto = static_cast<uint8_t>(address.proto() & 0xff);
  if (!HasForm(address.family()) || (proto != ip::Proto::tcp && proto != ip::Proto::udp)) {
    length = 0;
    return false;
  }
  const size_t needed = kSockAddrHeader + AddressBytes(address.family());
  if (buffer == nullptr || length < needed) {
    length = needed;
    return false;
  }
  buffer[0] = static_cast<uint8_t>(needed);
  buffer[1] = kKindSockAddr;
  buffer[2] = proto;
  const uint16_t port = address.portNBO();  // already big-endian
  std::memcpy(buffer + 3, &port, sizeof(port));
  std::memcpy(buffer + kSockAddrHeader, BytesOf(address), AddressBytes(address.family()));
  length = needed;
  return true;
}

int HXAddrFactory::deserializePeekType(const uint8_t* buffer, size_t& length) {
  if (buffer == nullptr || length < kAddressHeader) {
    length = kAddressHeader + 4;
    return 0;
  }
  const size_t total = buffer[0];
  const uint8_t kind = buffer[1];
  if (kind == kKindSockAddr && (total == kSockAddrHeader + 4 || total == kSockAddrHeader + 16)) {
    length = total;
    return kKindSockAddr;
  }
  if (kind == kKindAddress && (total == kAddressHeader + 4 || total == kAddressHeader + 16)) {
    length = total;
    return kKindAddress;
  }
  length = 0;
  return 0;
}

bool HXAddrFactory::deserialize(HXSockAddr& address, const uint8_t* buffer, size_t& length) {
  const size_t available = length;
  const int kind = deserializePeekType(buffer, length);
  if (kind == 0 || available < length) return false;
  if (kind == kKindAddress)
    return address.set(FamilyOfForm(length, kAddressHeader), buffer + kAddressHeader, 0);
  if (!address.set(FamilyOfForm(length, kSockAddrHeader), buffer + kSockAddrHeader, 0))
    return false;
  uint16_t port;
  std::memcpy(&port, buffer + 3, sizeof(port));
  address.setPortNBO(port);
  address.setProto(static_cast<ip::Proto::type>(buffer[2]));
  return true;
}

bool HXAddrFactory::deserialize(HXIpAddress& address, const uint8_t* buffer, size_t& length) {
  const size_t available = length;
  const int kind = deserializePeekType(buffer, length);
  if (kind == 0 || available < length) return false;
  const size_t header = kind == kKindAddress ? kAddressHeader : kSockAddrHeader;
  return address.set(FamilyOfForm(length, header), buffer + header, 0);
}
