#include "core/net/address/if_list.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>

#include "core/base/ios_log.h"
#include "core/net/address/addr_factory.h"

namespace {

struct LinkInfo {
  uint32_t index;
  ip::IfType::type kind;
};

bool IsIpFamily(const sockaddr* address) {
  return address != nullptr &&
         (address->sa_family == AF_INET || address->sa_family == AF_INET6);
}

// Linux lists devices without a hardware address (tun) with no link-layer address at all;
// their index and hardware type are asked from the kernel by name.
bool LinkInfoByName(const char* name, LinkInfo* info) {
  info->index = if_nametoindex(name);
  if (info->index == 0) return false;
  info->kind = ip::IfType::other;
  const int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;
  ifreq request;
  std::memset(&request, 0, sizeof(request));
  std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
  if (ioctl(probe, SIOCGIFHWADDR, &request) == 0)
    info->kind = ip::IfType::fromHardwareType(request.ifr_hwaddr.sa_family);
  close(probe);
  return true;
}

// The index and kind of a link-layer entry; false for entries of other families.
bool LinkInfoOf(const ifaddrs& entry, LinkInfo* info) {
  if (entry.ifa_addr == nullptr) return LinkInfoByName(entry.ifa_name, info);
  if (entry.ifa_addr->sa_family != AF_PACKET) return false;
  sockaddr_ll link;
  std::memcpy(&link, entry.ifa_addr, sizeof(link));
  info->index = static_cast<uint32_t>(link.sll_ifindex);
  info->kind = ip::IfType::fromHardwareType(link.sll_hatype);
  return true;
}

bool HasName(const ifaddrs& entry) {
  return entry.ifa_name != nullptr && entry.ifa_name[0] != '\0';
}

}  // namespace

HXIfList::~HXIfList() {
  for (auto& [name, iface] : m_ifaces) iface->clearAddresses();
}

unsigned HXIfList::gather() {
  ifaddrs* table = nullptr;
  if (getifaddrs(&table) != 0) return 0;

  for (const ifaddrs* entry = table; entry != nullptr; entry = entry->ifa_next) {
    LinkInfo link;
    if (!HasName(*entry) || !LinkInfoOf(*entry, &link)) continue;
    const auto iface = addIface(link.kind, entry->ifa_name, link.index);
    iface->setMulticast((entry->ifa_flags & IFF_MULTICAST) != 0);
    iface->setUpAndRunning((entry->ifa_flags & IFF_UP) != 0 &&
                           (entry->ifa_flags & IFF_RUNNING) != 0);
  }

  if (!m_ifaces.empty()) {
    for (const ifaddrs* entry = table; entry != nullptr; entry = entry->ifa_next) {
      if (!HasName(*entry) || !IsIpFamily(entry->ifa_addr)) continue;
      HXIpAddress address;
      if (!address.set(entry->ifa_addr, 0)) {
        ios_log("Cant set() address");
        continue;
      }
      const HXNetMask mask =
          IsIpFamily(entry->ifa_netmask) ? HXNetMask(entry->ifa_netmask) : HXNetMask();
      // Linux keeps the peer and the broadcast address in one field; the flags tell which.
      HXIpAddress peer;
      HXIpAddress broadcast;
      if ((entry->ifa_flags & IFF_POINTOPOINT) != 0 && IsIpFamily(entry->ifa_dstaddr))
        peer.set(entry->ifa_dstaddr, 0);
      else if ((entry->ifa_flags & IFF_BROADCAST) != 0 && IsIpFamily(entry->ifa_broadaddr))
        broadcast.set(entry->ifa_broadaddr, 0);
      addIfaceAddress(entry->ifa_name, address, mask, peer, broadcast);
    }
  }

  freeifaddrs(table);
  return static_cast<unsigned>(m_ifaces.size());
}

std::shared_ptr<HXIpIface> HXIfList::addIface(ip::IfType::type kind, const std::string& name,
                                              uint32_t index) {
  auto& iface = m_ifaces[name];
  if (!iface) {
    iface = std::make_shared<HXIpIface>(name, index, kind);
  } else {
    iface->setType(kind);
    iface->setIndex(index);
  }
  return iface;
}

void HXIfList::addIfaceAddress(const std::string& name, const HXAIpAddressBase& address,
                               const HXNetMask& mask, const HXAIpAddressBase& peer,
                               const HXAIpAddressBase& broadcast) {
  const auto found = m_ifaces.find(name);
  if (found == m_ifaces.end()) return;
  const std::shared_ptr<HXIpIface>& iface = found->second;
  HXIpIfListItem item(iface, address, mask);
  const int32_t flags = iface->flags();
  if ((flags & ip::IfFlags::kind_p2p) != 0 && !peer.empty())
    item.setPeerAddr(peer);
  else if ((flags & ip::IfFlags::kind_ethernet) != 0 && (flags & ip::IfFlags::kind_tunnel) == 0 &&
           !broadcast.empty())
    item.setBroadcast(broadcast);
  iface->addAddress(item);
}

void HXIfList::addIfaceAddress(const std::string& name, const HXAIpAddressBase& address) {
  const HXIpAddress zero = HXAddrFactory::zero(address.family());
  addIfaceAddress(name, address, HXNetMask(address.family(), 128), zero, zero);
}

std::shared_ptr<HXIpIface> HXIfList::getIf(const std::string& name) const {
  const auto found = m_ifaces.find(name);
  return found == m_ifaces.end() ? nullptr : found->second;
}

void HXIfList::getIfAddrList(HXIpIfAddrSet& out) const {
  out.clear();
  for (const auto& [name, iface] : m_ifaces)
    out.insert(iface->addresses().begin(), iface->addresses().end());
}

void HXIfList::getIfAddrList(HXIfIpAddrContainer& out) const {
  HXIpIfAddrSet items;
  getIfAddrList(items);
  out.set(items);
}
