#pragma once
// HXServerEndpoint: what the client knows about one server host (its domain and server, where it
// listens, how fast it answered the last check ping, when it was last checked, connected to and
// looked up in DNS); the two orderings of endpoints; and the lists, sets, maps and read cursors
// built from them.
//
// Times are wall-clock seconds since the epoch; pings are milliseconds, hx::servers::MAXTIME (or
// any value above 14999) meaning unknown.
//
// Endpoints and their collections are plain values without locks: their owners guard them.

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>
#include <utility>

namespace hx::servers {

// The unknown ping: the largest signed 64-bit value.
inline constexpr uint64_t MAXTIME = 9223372036854775807ull;

}  // namespace hx::servers

class HXServerEndpoint {
 public:
  static constexpr uint16_t kDefaultPort = 4307;
  static constexpr uint32_t kDefaultPriority = 20;
  static constexpr uint32_t kDefaultWeight = 10;

  HXServerEndpoint() = default;
  // `time` becomes the DNS update, last check, last connect and server update time alike.
  // Port 0 stores 4307.
  HXServerEndpoint(std::string host, uint64_t time, std::string domain, std::string serverId,
                   uint16_t port, uint64_t ping, uint32_t priority = kDefaultPriority,
                   uint32_t weight = kDefaultWeight);
  // Every time given on its own: the form of a stored row. Port 0 stores 4307.
  HXServerEndpoint(std::string host, uint64_t dnsUpdateTime, uint64_t serverUpdateTime,
                   uint64_t lastConnectTime, uint64_t lastCheckTime, uint64_t ping,
                   std::string domain, std::string serverId, uint16_t port, uint32_t priority,
                   uint32_t weight);

  uint64_t getDnsUpdateTime() const { return m_dnsUpdateTime; }
  const std::string& getDomain() const { return m_domain; }
  uint64_t getLastCheckTime() const { return m_lastCheckTime; }
  uint64_t getLastConnectTime() const { return m_lastConnectTime; }
  const std::string& getHost() const { return m_host; }
  uint16_t getPort() const { return m_port; }
  uint32_t getPriority() const { return m_priority; }
  uint64_t getPing() const { return m_ping; }
  const std::string& getServerId() const { return m_serverId; }
  uint64_t getServerUpdateTime() const { return m_serverUpdateTime; }
  uint32_t getWeight() const { return m_weight; }

  void setDnsUpdateTime(uint64_t time) { m_dnsUpdateTime = time; }
  void setDomain(std::string domain) { m_domain = std::move(domain); }
  void setLastCheckTime(uint64_t time) { m_lastCheckTime = time; }
  void setLastConnectTime(uint64_t time) { m_lastConnectTime = time; }
  void setHost(std::string host) { m_host = std::move(host); }
  void setPort(uint16_t port) { m_port = port; }
  void setPriority(uint32_t priority) { m_priority = priority; }
  void setPing(uint64_t ping) { m_ping = ping; }
  void setServerId(std::string serverId) { m_serverId = std::move(serverId); }
  void setServerUpdateTime(uint64_t time) { m_serverUpdateTime = time; }
  void setWeight(uint32_t weight) { m_weight = weight; }

  // A check that counts: the host was connected to (at or after the last check round began) and
  // its ping lies in 1 to 14999 ms.
  bool hasValidCheckResult() const;
  // When this host is next due for a check: a day after the last check when it answered (ping 1
  // to 15000 ms) within the day before `now`; otherwise 15 minutes after the last check, or
  // `now` when that check lies in the future or more than 15 minutes back.
  uint64_t getConnectivityCheckTime(uint64_t now) const;
  bool connectivityCheckRequired(uint64_t now) const;
  // True when this host is clearly faster than `other`, the host in use: both have a valid check
  // result and this ping is at least 30 ms lower and at most two thirds of the other's.
  bool shouldSwitchFrom(const HXServerEndpoint& other, uint64_t now) const;
  // One line for logs: "d=... sid=... h=host:port ping=... conn=... chk=... dns=...".
  std::string to_string() const;

 private:
  uint64_t m_dnsUpdateTime = 0;
  std::string m_domain;
  uint64_t m_lastCheckTime = 0;
  uint64_t m_lastConnectTime = 0;
  std::string m_host;
  uint16_t m_port = kDefaultPort;
  uint32_t m_priority = kDefaultPriority;
  uint64_t m_ping = hx::servers::MAXTIME;
  std::string m_serverId;
  uint64_t m_serverUpdateTime = 0;
  uint32_t m_weight = kDefaultWeight;
};

namespace hx::servers {

// Orders endpoints by target: by a 32-bit hash of the host, then the host bytes, then the port.
// Two endpoints are the same target when they have the same host bytes and port; domain, server
// id and times play no part.
struct CmpByTarget {
  bool operator()(const HXServerEndpoint& a, const HXServerEndpoint& b) const;
};

// Answers whether `a` is the better host: only a host with a valid check result can be; of two
// such hosts one checked more than a day after the other wins, else the strictly lower ping.
struct CmpByCheckRes {
  bool operator()(const HXServerEndpoint& a, const HXServerEndpoint& b) const;
};

}  // namespace hx::servers

// Anything endpoints can be added to.
class HXServerEpContainerBase {
 public:
  virtual ~HXServerEpContainerBase() = default;
  virtual bool addHost(HXServerEndpoint&& endpoint) = 0;
  virtual bool addHost(const HXServerEndpoint& endpoint) = 0;
};

// Endpoints in the order they were added; duplicates allowed.
class HXServerEpList : public HXServerEpContainerBase, public std::list<HXServerEndpoint> {
 public:
  using std::list<HXServerEndpoint>::list;

  // Appends; always true.
  bool addHost(HXServerEndpoint&& endpoint) override;
  bool addHost(const HXServerEndpoint& endpoint) override;

  // The first element that no later element beats under CmpByCheckRes; null when empty.
  const HXServerEndpoint* findBestByCheckRes() const;
};

// Endpoints ordered by `Cmp`, without two equal ones.
template <typename Cmp>
class HXServerEpSetBase : public HXServerEpContainerBase, public std::set<HXServerEndpoint, Cmp> {
 public:
  using std::set<HXServerEndpoint, Cmp>::set;

  // Inserts unless an equal endpoint is present; answers whether it inserted.
  bool addHost(HXServerEndpoint&& endpoint) override {
    return this->insert(std::move(endpoint)).second;
  }
  bool addHost(const HXServerEndpoint& endpoint) override { return this->insert(endpoint).second; }
};

// The set that DNS answers, discovery results and database saves exchange: one endpoint per host
// and port.
class HXServerEpSetByTarget : public HXServerEpSetBase<hx::servers::CmpByTarget> {
 public:
  using HXServerEpSetBase<hx::servers::CmpByTarget>::HXServerEpSetBase;
};

// A value per target.
template <typename Value>
using HXServerEpMapByTarget = std::map<HXServerEndpoint, Value, hx::servers::CmpByTarget>;

// A read cursor over a collection of endpoints.
class HXServerEpIterator {
 public:
  virtual ~HXServerEpIterator() = default;
  virtual bool empty() const = 0;
  virtual bool hasNext() const = 0;
  // The current element, then moves on. Past the end it answers an empty endpoint.
  virtual const HXServerEndpoint& next() = 0;
  // Back to the first element.
  virtual void reset() = 0;
};

namespace hx::servers {

// The cursor over an HXServerEpList or an HXServerEpSetByTarget. The container must outlive the
// cursor and stay unchanged while it is used.
template <typename Container>
class EpIteratorConst : public HXServerEpIterator {
 public:
  explicit EpIteratorConst(const Container& container)
      : m_container(container), m_position(container.begin()) {}

  bool empty() const override { return m_container.empty(); }
  bool hasNext() const override { return m_position != m_container.end(); }
  const HXServerEndpoint& next() override {
    if (m_position == m_container.end()) return pastEnd();
    return *m_position++;
  }
  void reset() override { m_position = m_container.begin(); }

 private:
  static const HXServerEndpoint& pastEnd() {
    static const HXServerEndpoint empty;
    return empty;
  }

  const Container& m_container;
  typename Container::const_iterator m_position;
};

}  // namespace hx::servers
