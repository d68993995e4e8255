#include "core/net/address/if_kind.h"

#include <net/if_arp.h>

namespace ip {
namespace IfType {

type fromHardwareType(unsigned hardware_type) {
  switch (hardware_type) {
    case ARPHRD_ETHER:
      return ethernet;
    case ARPHRD_PPP:
    case ARPHRD_SLIP:
    case ARPHRD_CSLIP:
      return p2p;
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
    case ARPHRD_NONE:  // tun devices
      return tunnel;
    default:
      return other;
  }
}

}  // namespace IfType
}  // namespace ip
