#include "core/net/address/address_family.h"

#include <netinet/in.h>
#include <strings.h>

namespace ip {

namespace Family {

uint8_t fromSysFamily(int sys_family) {
  if (sys_family == AF_INET) return v4;
  if (sys_family == AF_INET6) return v6;
  return none;
}

int sysFamily(uint8_t family) {
  if (family == v6) return AF_INET6;
  if (family == v4) return AF_INET;
  return 0;
}

}  // namespace Family

namespace Proto {

type fromStr(const char* text) {
  if (text == nullptr) return unknown;
  if (strcasecmp(text, "tcp") == 0) return tcp;
  if (strcasecmp(text, "udp") == 0) return udp;
  return unknown;
}

std::string str(int32_t proto) {
  if (proto == tcp) return "tcp";
  if (proto == udp) return "udp";
  return "unknown(" + std::to_string(proto) + ")";
}

type fromSysProto(int sys_proto) {
  if (sys_proto == IPPROTO_TCP) return tcp;
  if (sys_proto == IPPROTO_UDP) return udp;
  return unknown;
}

int sysProto(int32_t proto) {
  if (proto == tcp) return IPPROTO_TCP;
  if (proto == udp) return IPPROTO_UDP;
  return 0;
}

int sysSockType(int32_t proto) {
  if (proto == tcp) return SOCK_STREAM;
  if (proto == udp) return SOCK_DGRAM;
  return 0;
}

}  // namespace Proto

bool is_not_bindable(const struct sockaddr* /*native*/, const char* /*interface_name*/) {
  return false;
}

}  // namespace ip
