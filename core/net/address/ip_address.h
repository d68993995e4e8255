#pragma once
// A plain IP address: 16 bytes, the family and the IPv6 scope id. IPv4 uses the first 4 bytes.
// A value type; see HXAIpAddressBase for the shared operations.

#include <cstdint>

#include "core/net/address/ip_address_base.h"

class HXIpAddress : public HXAIpAddressBase {
 public:
  // Family 0, scope id 0.
  HXIpAddress() = default;
  HXIpAddress(const HXIpAddress&) = default;
  HXIpAddress& operator=(const HXIpAddress&) = default;

  uint8_t family() const override { return m_family; }
  uint8_t* in_addr() override { return m_addr; }
  const uint8_t* in_addr() const override { return m_addr; }
  uint8_t* in6_addr() override { return m_addr; }
  const uint8_t* in6_addr() const override { return m_addr; }
  uint32_t scopeId() const override { return m_scope_id; }
  void setScopeId(uint32_t scope_id) override { m_scope_id = scope_id; }
  void setFamily(uint8_t family) override { m_family = family; }
  void setSysFamily(int sys_family) override;
  int sysFamily() const override;

  // IPv6 from eight 16-bit groups, most significant first; the scope id is left as it was.
  bool set6(uint16_t g0, uint16_t g1, uint16_t g2, uint16_t g3, uint16_t g4, uint16_t g5,
            uint16_t g6, uint16_t g7);

 private:
  uint8_t m_addr[16] = {};
  uint8_t m_family = 0;
  uint32_t m_scope_id = 0;
};
