#include "core/net/address/ip_address.h"

#include "core/net/address/address_family.h"

void HXIpAddress::setSysFamily(int sys_family) { m_family = ip::Family::fromSysFamily(sys_family); }

int HXIpAddress::sysFamily() const { return ip::Family::sysFamily(m_family); }

bool HXIpAddress::set6(uint16_t g0, uint16_t g1, uint16_t g2, uint16_t g3, uint16_t g4,
                       uint16_t g5, uint16_t g6, uint16_t g7) {
  const uint16_t groups[8] = {g0, g1, g2, g3, g4, g5, g6, g7};
  for (int i = 0; i < 8; ++i) {
    m_addr[2 * i] = static_cast<uint8_t>(groups[i] >> 8);
    m_addr[2 * i + 1] = static_cast<uint8_t>(groups[i]);
  }
  m_family = ip::Family::v6;
  return finishSet();
}
