#include "core/net/dns/address_cache.h"

namespace hx::dns {

int64_t CacheLifetimeMs(uint32_t ttl) {
  const int64_t lifetime = static_cast<int64_t>(ttl) * 1000;
  return lifetime < kMaxCacheLifetimeMs ? lifetime : kMaxCacheLifetimeMs;
}

void CachedARecSet::add(const CachedARec& record) { m_records.insert(record); }

std::string CachedARecSet::get() {
  if (m_records.empty()) return std::string();
  auto it = m_cursor.empty() ? m_records.begin() : m_records.find(CachedARec{0, m_cursor});
  if (it == m_records.end()) it = m_records.begin();
  std::string address = it->address;
  ++it;
  m_cursor = it == m_records.end() ? std::string() : it->address;
  return address;
}

void CachedARecSet::get(std::vector<std::string>& list) const {
  for (const CachedARec& record : m_records) list.push_back(record.address);
}

void CachedARecSet::expire(int64_t now) {
  for (auto it = m_records.begin(); it != m_records.end();) {
    if (now >= it->expiry) {
      if (it->address == m_cursor) m_cursor.clear();
      it = m_records.erase(it);
    } else {
      ++it;
    }
  }
}

void AddressCache::putARec(const std::string& name, const std::string& address, int64_t expiry) {
  m_names[name].add(CachedARec{expiry, address});
}

void AddressCache::expireARecList(int64_t now) {
  for (auto it = m_names.begin(); it != m_names.end();) {
    it->second.expire(now);
    it = it->second.empty() ? m_names.erase(it) : std::next(it);
  }
}

std::string AddressCache::getARec(const std::string& name) {
  auto it = m_names.find(name);
  return it == m_names.end() ? std::string() : it->second.get();
}

bool AddressCache::getARecAll(const std::string& name, std::vector<std::string>& list) const {
  auto it = m_names.find(name);
  if (it == m_names.end()) return false;
  it->second.get(list);
  return true;
}

}  // namespace hx::dns
