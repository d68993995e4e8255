#include "core/storage/server_list_db.h"

#include <algorithm>
#include <ctime>
#include <limits>

#include "core/storage/db_guard.h"
#include "core/storage/server_list_statements.h"
#include "core/wire/server_names.h"
#include "core/wire/uri_host.h"

namespace db = hx::servers::db;

namespace {

constexpr uint64_t kLargestStored = static_cast<uint64_t>(std::numeric_limits<long long>::max());
constexpr uint64_t kLargestPort = std::numeric_limits<uint16_t>::max();
// How far a stored time may lie ahead of the clock before it counts as a clock set back.
constexpr uint64_t kClockSlack = 2;

// SQLite integers are signed: a larger unsigned value would come back negative, which no reader
// takes, and as a period or limit it would turn the statement's meaning around.
long long Stored(uint64_t value) { return static_cast<long long>(std::min(value, kLargestStored)); }

uint64_t Now() {
  const std::time_t now = std::time(nullptr);
  return now > 0 ? static_cast<uint64_t>(now) : 0;
}

// A numeric column as an unsigned value; NULL, and negative values no writer of ours stores, read
// as 0.
uint64_t ReadNumber(cppdb::result& row, int column) {
  long long value = 0;
  if (!row.fetch(column, value) || value < 0) return 0;
  return static_cast<uint64_t>(value);
}

// One row of the host queries' nine columns; false for a port no endpoint can hold.
bool ReadEndpoint(cppdb::result& row, HXServerEndpoint& endpoint) {
  const uint64_t port = ReadNumber(row, 6);
  if (port > kLargestPort) return false;
  std::string domain;
  std::string server;
  std::string host;
  row.fetch(0, domain);
  row.fetch(1, server);
  row.fetch(5, host);
  endpoint =
      HXServerEndpoint(std::move(host), ReadNumber(row, 4), ReadNumber(row, 2), ReadNumber(row, 7), ReadNumber(row, 3),
                       ReadNumber(row, 8), std::move(domain), std::move(server), static_cast<uint16_t>(port),
                       HXServerEndpoint::kDefaultPriority, HXServerEndpoint::kDefaultWeight);
  return true;
}

HXServerEndpoint UnknownEndpoint() {
  return HXServerEndpoint("", 0, "", "", 0, hx::servers::MAXTIME, HXServerEndpoint::kDefaultPriority,
                          HXServerEndpoint::kDefaultWeight);
}

}  // namespace

HX_ServersListDB::HX_ServersListDB(const char* name) : HXDBBase(kSchemaVersion, name) {}

bool HX_ServersListDB::Create() {
  return DB_GUARD_CALL(
      [this] {
        HXDBBaseSessionLock held = Session();
        cppdb::transaction transaction(*held);
        for (const char* statement : {db::create_servers_table, db::create_hosts_table, db::create_helpers_table,
                                      db::set_indexes_0, db::set_indexes_1, db::set_indexes_2, db::set_indexes_3,
                                      db::set_indexes_4, db::set_indexes_5, db::set_indexes_6}) {
          *held << statement << cppdb::exec;
        }
        SetVersion(held, kSchemaVersion);
        transaction.commit();
      },
      true);
}

bool HX_ServersListDB::Drop() {
  return DB_GUARD_CALL([this] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    *held << db::drop_servers << cppdb::exec;
    *held << db::drop_hosts << cppdb::exec;
    *held << db::drop_helpers << cppdb::exec;
    transaction.commit();
  });
}

bool HX_ServersListDB::Save(const std::string& domain, const HXServerEpSetByTarget& endpoints, bool updateDns) {
  hx::servers::EpIteratorConst<HXServerEpSetByTarget> cursor(endpoints);
  return Save(domain, cursor, updateDns);
}

bool HX_ServersListDB::Save(const std::string& domain, const HXServerEpList& endpoints, bool updateDns) {
  hx::servers::EpIteratorConst<HXServerEpList> cursor(endpoints);
  return Save(domain, cursor, updateDns);
}

bool HX_ServersListDB::Save(const std::string& domain, HXServerEpIterator& cursor, bool updateDns) {
  if (cursor.empty()) return false;
  const uint64_t now = Now();
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    cursor.reset();
    while (cursor.hasNext()) {
      const HXServerEndpoint& endpoint = cursor.next();
      const std::string& endpointDomain = endpoint.getDomain().empty() ? domain : endpoint.getDomain();
      _Save(held, endpointDomain, endpoint.getServerId(), endpoint.getHost(), endpoint.getPort(), now);
      if (updateDns) *held << db::update_server_dns << Stored(now) << endpoint.getServerId() << cppdb::exec;
    }
    *held << db::delete_empty_servers << cppdb::exec;
    transaction.commit();
  });
}

void HX_ServersListDB::_Save(const HXDBBaseSessionLock& held, const std::string& domain, const std::string& server,
                             const std::string& host, uint16_t port, uint64_t time) {
  const std::string lowerHost = HXUri::toLower(host);
  *held << db::insert_server << domain << server << cppdb::exec;
  *held << db::update_server << domain << Stored(time) << server << cppdb::exec;
  *held << db::delete_oldserver_hosts << server << lowerHost << port << cppdb::exec;
  *held << db::insert_host << server << lowerHost << port << cppdb::exec;
  *held << db::update_host << server << lowerHost << port << cppdb::exec;
}

bool HX_ServersListDB::RemoveHosts(HXServerEpIterator& cursor) {
  if (cursor.empty()) return false;
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    cursor.reset();
    while (cursor.hasNext()) {
      const HXServerEndpoint& endpoint = cursor.next();
      *held << db::delete_server_hosts2 << endpoint.getServerId() << endpoint.getHost() << endpoint.getPort()
            << cppdb::exec;
    }
    *held << db::delete_empty_servers << cppdb::exec;
    *held << db::delete_unneed_helpers << cppdb::exec;
    transaction.commit();
  });
}

bool HX_ServersListDB::RemoveOldHosts(const std::string& domain, uint64_t period) {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << db::delete_old_hosts << domain << Stored(period) << cppdb::exec;
    *held << db::delete_empty_servers << cppdb::exec;
  });
}

bool HX_ServersListDB::beforeUpdate(uint64_t now, uint64_t resetAge, uint64_t helperAge) {
  // Saturating: a clock near either end of the range must not wrap into the opposite meaning.
  const uint64_t ahead = now > kLargestStored - kClockSlack ? kLargestStored : now + kClockSlack;
  const uint64_t resetTime = now > resetAge ? now - resetAge : 0;
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    *held << db::delete_unneed_helpers << cppdb::exec;
    *held << db::delete_old_helpers << Stored(helperAge) << Stored(now) << cppdb::exec;
    *held << db::update_servers_timeahead_updatetime << Stored(ahead) << cppdb::exec;
    *held << db::update_servers_timeahead_lastcheck << Stored(ahead) << cppdb::exec;
    *held << db::update_servers_timeahead_dnsupdate << Stored(ahead) << cppdb::exec;
    *held << db::update_hosts_timeahead << Stored(resetTime) << Stored(ahead) << cppdb::exec;
  });
}

void HX_ServersListDB::PlaceHost(const HXDBBaseSessionLock& held, const std::string& domain, const std::string& server,
                                 const std::string& host, const std::string& address, uint16_t port) {
  *held << db::insert_server << domain << server << cppdb::exec;
  *held << db::delete_oldserver_hosts << server << host << port << cppdb::exec;
  // The Host column ignores case, so an address that differs from the host only in case names
  // the host's own row, which must keep what it holds.
  if (host != HXUri::toLower(address)) *held << db::delete_host << address << port << cppdb::exec;
  *held << db::insert_host << server << host << port << cppdb::exec;
}

bool HX_ServersListDB::SetLastConnectTime(const std::string& domain, const std::string& server, const std::string& host,
                                          const std::string& address, unsigned port, uint64_t time) {
  if (port > kLargestPort) return false;
  const std::string lowerHost = HXUri::toLower(host);
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    PlaceHost(held, domain, server, lowerHost, address, static_cast<uint16_t>(port));
    *held << db::update_server << domain << Stored(time) << server << cppdb::exec;
    *held << db::update_last_connect_host << server << Stored(time) << lowerHost << port << cppdb::exec;
    transaction.commit();
  });
}

bool HX_ServersListDB::SetPingTime(const std::string& domain, const std::string& server, const std::string& host,
                                   const std::string& address, unsigned port, uint64_t ping, uint64_t time) {
  if (port > kLargestPort) return false;
  const std::string lowerHost = HXUri::toLower(host);
  // 0 would read as "never measured".
  const uint64_t storedPing = ping == 0 ? 1 : ping;
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    PlaceHost(held, domain, server, lowerHost, address, static_cast<uint16_t>(port));
    *held << db::update_ping_lastconnect_host << Stored(storedPing) << Stored(time) << lowerHost << port << cppdb::exec;
    transaction.commit();
  });
}

bool HX_ServersListDB::SetLastCheckTime(const std::string& domain, const std::set<std::string>& servers,
                                        uint64_t time) {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    for (const std::string& server : servers) {
      *held << db::update_last_check_time << Stored(time) << domain << server << cppdb::exec;
    }
  });
}

bool HX_ServersListDB::InvalidateServer(const std::string& server) {
  return DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::transaction transaction(*held);
    *held << db::delete_server_hosts << server << cppdb::exec;
    *held << db::delete_empty_servers << cppdb::exec;
    *held << db::delete_unneed_helpers << cppdb::exec;
    transaction.commit();
  });
}

bool HX_ServersListDB::InvalidateHostPort(const std::string& domain, const std::string& host, uint16_t port) {
  // The lock spans the look-up and the change, so the host cannot move in between.
  HXDBBaseSessionLock held = Session();
  HXServerEndpoint known;
  if (!GetHost(known, host, port)) return false;
  const std::string& server = known.getServerId();
  return DB_GUARD_CALL([&] {
    cppdb::transaction transaction(*held);
    *held << db::update_ping_host << Stored(hx::servers::MAXTIME) << host << port << cppdb::exec;
    if (!server.empty()) *held << db::set_need_update << domain << server << cppdb::exec;
    transaction.commit();
  });
}

bool HX_ServersListDB::GetHost(HXServerEndpoint& endpoint, const std::string& host, uint16_t port) const {
  bool found = false;
  DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << db::get_host << HXUri::toLower(host) << port;
    found = row.next() && ReadEndpoint(row, endpoint);
  });
  if (!found) endpoint = UnknownEndpoint();
  return found;
}

std::string HX_ServersListDB::GetServerOfHost(const std::string& host, uint16_t port) const {
  std::string server;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << db::get_host << HXUri::toLower(host) << port;
    if (row.next()) row.fetch(1, server);
  });
  return ok ? server : "";
}

std::string HX_ServersListDB::getDomainOfServer(const std::string& server) const {
  std::string domain;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << db::get_domain_of_server << server;
    if (row.next()) row.fetch(0, domain);
  });
  return ok ? domain : "";
}

bool HX_ServersListDB::GetHosts(const std::string& server, HXServerEpList& list) const {
  return ReadHosts(db::get_hosts, server, list);
}

bool HX_ServersListDB::GetHostsByDomain(const std::string& domain, HXServerEpList& list) const {
  return ReadHosts(db::get_hosts_by_domain, domain, list);
}

bool HX_ServersListDB::ReadHosts(const char* query, const std::string& key, HXServerEpList& list) const {
  list.clear();
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result rows = *held << query << key;
    HXServerEndpoint endpoint;
    while (rows.next()) {
      if (ReadEndpoint(rows, endpoint)) list.push_back(std::move(endpoint));
    }
  });
  // No half-read list on an error.
  if (!ok) list.clear();
  return ok;
}

uint64_t HX_ServersListDB::GetDNSUpdateTime(const std::string& domain) const {
  uint64_t time = 0;
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result row = *held << db::get_dns_time << domain;
    if (row.next()) time = ReadNumber(row, 1);
  });
  return ok ? time : 0;
}

bool HX_ServersListDB::GetLastNSuccessfullHostsList(size_t n, std::list<std::string>& hosts) const {
  hosts.clear();
  const std::string pattern = "%" + hx::servers::DefaultSuffixVcs + "%";
  const bool ok = DB_GUARD_CALL([&] {
    HXDBBaseSessionLock held = Session();
    cppdb::result rows = *held << db::get_successfull_corp_hosts << pattern << Stored(n);
    while (rows.next()) {
      std::string host;
      rows.fetch(0, host);
      hosts.push_back(std::move(host));
    }
  });
  if (!ok) hosts.clear();
  return ok;
}

HX_ServersListDBFile::HX_ServersListDBFile() : HX_ServersListDB("HX_ServersListDBFile") {}

std::string HX_ServersListDBFile::GetStorageNameSuffix() const { return "serverlist.sqlite"; }

HX_ServersListDBTemp::HX_ServersListDBTemp() : HX_ServersListDB("HX_ServersListDBTemp") {}

std::string HX_ServersListDBTemp::GetStorageNameSuffix() const { return ":memory:"; }
