#include "core/streams/bind_info_list.h"

#include "core/net/address/address_class.h"

namespace hx::streams {

namespace {

// Ports are not part of the comparison: an entry is a bound socket, the other side an address.
const BindInfoListEntry* EntryOf(const BindInfoList& entries, const HXAIpAddressBase& address) {
  for (const auto& entry : entries) {
    if (entry.address.HXAIpAddressBase::cmp(address) == 0) return &entry;
  }
  return nullptr;
}

const HXIpIfListItem* ItemOf(const HXIpIfAddrSet& interfaces, const HXAIpAddressBase& address) {
  for (const auto& item : interfaces) {
    if (item.HXAIpAddressBase::cmp(address) == 0) return &item;
  }
  return nullptr;
}

}  // namespace

bool BindInfoListUtil::getDefaultBindings(const BindInfoList& entries,
                                          const HXAIpAddressBase& local,
                                          const HXIpIfAddrSet& interfaces, BindInfoListEntry* ipv4,
                                          BindInfoListEntry* ipv6) {
  if (local.empty()) return false;
  const HXIpIfListItem* item = ItemOf(interfaces, local);
  const BindInfoListEntry* own = EntryOf(entries, local);
  if (item == nullptr || own == nullptr) return false;
  const bool isV4 = local.family() == 4;
  *(isV4 ? ipv4 : ipv6) = *own;
  const uint8_t otherFamily = isV4 ? 6 : 4;
  const BindInfoListEntry* best = nullptr;
  int bestType = -1;
  for (const auto& candidate : interfaces) {
    if (candidate.family() != otherFamily || candidate.ifGet() != item->ifGet()) continue;
    const BindInfoListEntry* entry = EntryOf(entries, candidate);
    const int type = ip::IANA_Addr_Type::getType(candidate);
    if (entry != nullptr && type > bestType) {
      best = entry;
      bestType = type;
    }
  }
  if (best != nullptr) *(isV4 ? ipv6 : ipv4) = *best;
  return true;
}

bool BindInfoListUtil::getSameNetBinding(const HXAIpAddressBase& peer, const BindInfoList& entries,
                                         const HXIpIfAddrSet& interfaces,
                                         BindInfoListEntry* binding) {
  const BindInfoListEntry* chosen = nullptr;
  int32_t chosenMask = -1;
  for (const auto& entry : entries) {
    if (entry.address.family() != peer.family()) continue;
    if (entry.address.HXAIpAddressBase::cmp(peer) == 0) {
      chosen = &entry;
      break;
    }
    if (peer.isLinkLocal6()) {
      if (entry.address.isLinkLocal6() && entry.address.scopeId() == peer.scopeId()) {
        chosen = &entry;
        break;
      }
      continue;
    }
    const HXIpIfListItem* item = ItemOf(interfaces, entry.address);
    if (item == nullptr || item->mask().family() != peer.family()) continue;
    const HXNetMask& mask = item->mask();
    if (mask.net(entry.address).cmp(mask.net(peer)) == 0 && mask.maskLen() > chosenMask) {
      chosen = &entry;
      chosenMask = mask.maskLen();
    }
  }
  if (chosen == nullptr) return false;
  *binding = *chosen;
  return true;
}

bool BindInfoListUtil::getBindingIANATypeOrder(const BindInfoList& entries, uint8_t family,
                                               BindInfoListEntry* binding) {
  const BindInfoListEntry* best = nullptr;
  int bestType = -1;
  for (const auto& entry : entries) {
    if (entry.address.family() != family) continue;
    const int type = ip::IANA_Addr_Type::getType(entry.address);
    if (type > bestType) {
      best = &entry;
      bestType = type;
    }
  }
  if (best == nullptr) return false;
  *binding = *best;
  return true;
}

}  // namespace hx::streams
