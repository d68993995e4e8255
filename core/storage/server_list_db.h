#pragma once
// What the client has learned about the servers of each domain: the servers (server ids) a domain
// has, the host and port pairs each server was found under, when each was last checked, connected
// to and measured, and when the domain's DNS records were last read. Kept in "serverlist.sqlite"
// (HX_ServersListDBFile) or in memory (HX_ServersListDBTemp).
//
// A host and port belong to one server at a time, a server to one domain; names compare without
// regard to ASCII case and hosts are stored in small letters. Times are wall-clock seconds since
// the epoch; pings are those of HXServerEndpoint. Values above the largest signed 64-bit number
// are stored as that number.
//
// Thread safety: every operation may be called from any thread; each holds the database lock for
// all its statements, and those that write several rows do so in one transaction. A database
// error makes readers return their empty result and writers return false with nothing changed.

#include <cstddef>
#include <cstdint>
#include <list>
#include <set>
#include <string>

#include "core/storage/db_base.h"
#include "core/wire/server_endpoint.h"

class HX_ServersListDB : public HXDBBase {
 public:
  static constexpr int kSchemaVersion = 17;

  explicit HX_ServersListDB(const char* name);

  // HXDBBase. Every stored version other than 17 is rebuilt empty by the base's Upgrade.
  bool Create() override;
  bool Drop() override;

  // Stores every endpoint (its host and port under its server, the server under the endpoint's
  // domain, or `domain` when that is empty) with the current time as the server's update time,
  // and with `updateDns` also as its DNS update time; then drops servers left without hosts.
  // False for no endpoints.
  bool Save(const std::string& domain, const HXServerEpSetByTarget& endpoints, bool updateDns);
  bool Save(const std::string& domain, const HXServerEpList& endpoints, bool updateDns);
  bool Save(const std::string& domain, HXServerEpIterator& cursor, bool updateDns);

  // Deletes each endpoint's host and port from its server, then servers without hosts and
  // helpers without servers. False for no endpoints.
  bool RemoveHosts(HXServerEpIterator& cursor);
  // Deletes blank hosts, and the domain's hosts that have connected once but not within three
  // periods before their server's last check; then servers without hosts.
  bool RemoveOldHosts(const std::string& domain, uint64_t period);
  // The clean-up before an update round: drops helpers without servers and those older than
  // `helperAge`; times more than two seconds after `now` (the clock was set back) become 0 for
  // servers and `now` - `resetAge` for hosts' connect times.
  bool beforeUpdate(uint64_t now, uint64_t resetAge, uint64_t helperAge);

  // Records a connection to `host` (`address` is what it was reached under; a row kept under the
  // address gives way to the host) at `time`: the server joins `domain` with update time `time`,
  // the host joins the server with last connect time `time`. False for a port above 65535.
  bool SetLastConnectTime(const std::string& domain, const std::string& server, const std::string& host,
                          const std::string& address, unsigned port, uint64_t time);
  // Records a measured ping like SetLastConnectTime, without touching the server's update time;
  // a ping of 0 is stored as 1. False for a port above 65535.
  bool SetPingTime(const std::string& domain, const std::string& server, const std::string& host,
                   const std::string& address, unsigned port, uint64_t ping, uint64_t time);
  // For each server of `servers` in `domain`, sets the last check time.
  bool SetLastCheckTime(const std::string& domain, const std::set<std::string>& servers, uint64_t time);
  // Deletes the server's hosts, then servers without hosts and helpers without servers.
  bool InvalidateServer(const std::string& server);
  // Makes a known host's ping unknown and its server due for a check; false when the host and
  // port are unknown.
  bool InvalidateHostPort(const std::string& domain, const std::string& host, uint16_t port);

  // The stored endpoint of the host and port; when there is none, false and an empty endpoint
  // (port 4307, unknown ping).
  bool GetHost(HXServerEndpoint& endpoint, const std::string& host, uint16_t port) const;
  // The server id of the host and port, or "".
  std::string GetServerOfHost(const std::string& host, uint16_t port) const;
  // The domain of the server, or "".
  std::string getDomainOfServer(const std::string& server) const;
  // The server's endpoints ordered by host, and the domain's endpoints; `list` is cleared first.
  bool GetHosts(const std::string& server, HXServerEpList& list) const;
  bool GetHostsByDomain(const std::string& domain, HXServerEpList& list) const;
  // The newest DNS update time among the domain's servers; 0 when it has none.
  uint64_t GetDNSUpdateTime(const std::string& domain) const;
  // Up to `n` hosts of stand-alone ("#vcs") servers that were ever connected to, newest
  // connection first; `hosts` is cleared first.
  bool GetLastNSuccessfullHostsList(size_t n, std::list<std::string>& hosts) const;

 protected:
  // One endpoint of Save; the caller holds the session lock and the transaction.
  void _Save(const HXDBBaseSessionLock& held, const std::string& domain, const std::string& server,
             const std::string& host, uint16_t port, uint64_t time);

 private:
  // Puts the host and port under the server and the server into the domain (rows are created
  // as needed); a row kept under `address` instead of the host gives way. Caller holds the lock.
  void PlaceHost(const HXDBBaseSessionLock& held, const std::string& domain, const std::string& server,
                 const std::string& host, const std::string& address, uint16_t port);
  bool ReadHosts(const char* query, const std::string& key, HXServerEpList& list) const;
};

class HX_ServersListDBFile : public HX_ServersListDB {
 public:
  HX_ServersListDBFile();
  std::string GetStorageNameSuffix() const override;
};

class HX_ServersListDBTemp : public HX_ServersListDB {
 public:
  HX_ServersListDBTemp();
  std::string GetStorageNameSuffix() const override;
};
