#pragma once
// The DNS client's answer cache: per ASCII host name, a set of addresses with their expiry ticks
// and a rotation cursor, so that repeated single-address lookups of one name take its addresses
// in turn (round robin). Addresses live as long as their TTL, at most a minute.
//
// Not thread-safe: the DNS client guards it with its own lock.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace hx::dns {

inline constexpr int64_t kMaxCacheLifetimeMs = 60000;

// How long an address with a TTL of `ttl` seconds is kept: the TTL, at most a minute.
int64_t CacheLifetimeMs(uint32_t ttl);

// One cached address. Records are ordered and made unique by the address text alone, so adding
// an address already present keeps its first expiry.
struct CachedARec {
  int64_t expiry = 0;  // tick ms
  std::string address;

  bool operator<(const CachedARec& other) const { return address < other.address; }
};

class CachedARecSet {
 public:
  // Adds the record unless its address is present; the cursor stays on its address.
  void add(const CachedARec& record);
  // The address under the cursor, moving the cursor on (back to the first after the last);
  // "" for an empty set.
  std::string get();
  // Appends every address, in text order; the cursor does not move.
  void get(std::vector<std::string>& list) const;
  // Drops the records whose expiry has been reached; the cursor stays on its address when that
  // survives, else goes to the first.
  void expire(int64_t now);
  bool empty() const { return m_records.empty(); }

 private:
  std::set<CachedARec> m_records;
  // The address handed out next; "" means the first.
  std::string m_cursor;
};

// Host name (ASCII form) to its addresses.
class AddressCache {
 public:
  // Caches `address` under `name` until now + lifetime.
  void putARec(const std::string& name, const std::string& address, int64_t expiry);
  // Drops every expired address, and names left without any.
  void expireARecList(int64_t now);
  // One address of the name in turn; "" when the name is not cached.
  std::string getARec(const std::string& name);
  // Appends every address of the name in text order; false when the name is not cached.
  bool getARecAll(const std::string& name, std::vector<std::string>& list) const;
  void clear() { m_names.clear(); }
  bool empty() const { return m_names.empty(); }

 private:
  std::map<std::string, CachedARecSet> m_names;
};

}  // namespace hx::dns
