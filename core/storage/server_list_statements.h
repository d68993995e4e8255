#pragma once
// Statement texts of the servers-list database (schema version 17). The texts, blanks and tabs
// included, are those the stored files were created with.

namespace hx::servers::db {

// Schema. A DEFAULT "" is an empty quoted identifier, which SQLite takes as the empty string.
inline constexpr const char* create_servers_table =
    "CREATE TABLE IF NOT EXISTS servers  (   Domain\t\t\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   "
    "ServerName\t\tCHAR    UNIQUE NOT NULL DEFAULT \"\" COLLATE NOCASE PRIMARY KEY,   "
    "ServerUpdateTime        INTEGER NOT NULL DEFAULT 0,   LastCheckTime           INTEGER NOT NULL DEFAULT 0,   "
    "DNSUpdateTime\t\tINTEGER NOT NULL DEFAULT 0 );";
inline constexpr const char* create_hosts_table =
    "CREATE TABLE IF NOT EXISTS hosts (   ServerName\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   "
    "Host \t\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   Port\t\tINTEGER NOT NULL DEFAULT 0,   "
    "LastConnectTime\tINTEGER,   PingTime        INTEGER,           "
    "FOREIGN KEY(ServerName) REFERENCES servers(ServerName),           PRIMARY KEY (Host, Port));";
inline constexpr const char* create_helpers_table =
    "CREATE TABLE IF NOT EXISTS helpers (   Domain\t\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   "
    "Helper \t\tCHAR    NOT NULL DEFAULT \"\" COLLATE NOCASE,   CreateTime\tINTEGER NOT NULL DEFAULT 0,           "
    "FOREIGN KEY(Domain) REFERENCES servers(Domain),           PRIMARY KEY (Domain, Helper));";
inline constexpr const char* set_indexes_0 = "CREATE INDEX IF NOT EXISTS idx_0 ON servers (ServerName ASC);";
inline constexpr const char* set_indexes_1 =
    "CREATE INDEX IF NOT EXISTS idx_1 ON servers (Domain ASC, ServerName ASC);";
inline constexpr const char* set_indexes_2 = "CREATE INDEX IF NOT EXISTS idx_2 ON hosts (Host ASC, Port ASC);";
inline constexpr const char* set_indexes_3 = "CREATE INDEX IF NOT EXISTS idx_3 ON hosts (PingTime ASC, Host ASC);";
inline constexpr const char* set_indexes_4 = "CREATE INDEX IF NOT EXISTS idx_4 ON helpers (Domain ASC, Helper ASC);";
inline constexpr const char* set_indexes_5 =
    "CREATE INDEX IF NOT EXISTS idx_5 ON helpers (Domain ASC, CreateTime DESC);";
inline constexpr const char* set_indexes_6 = "CREATE INDEX IF NOT EXISTS idx_6 ON servers (DNSUpdateTime DESC);";
inline constexpr const char* drop_servers = "DROP TABLE IF EXISTS servers;";
inline constexpr const char* drop_hosts = "DROP TABLE IF EXISTS hosts;";
inline constexpr const char* drop_helpers = "DROP TABLE IF EXISTS helpers;";

// Servers.
inline constexpr const char* insert_server = "INSERT OR IGNORE INTO servers\t( Domain, ServerName)\tVALUES (?, ?);";
inline constexpr const char* update_server =
    "UPDATE servers\tSET    Domain=?,   ServerUpdateTime=?    WHERE ServerName=?;";
inline constexpr const char* update_server_dns = "UPDATE servers\tSET    DNSUpdateTime=?    WHERE ServerName=?;";
inline constexpr const char* set_need_update =
    "UPDATE servers    SET  LastCheckTime = 0  WHERE Domain=?       AND  ServerName=? ;";
inline constexpr const char* update_last_check_time =
    "UPDATE servers\tSET    LastCheckTime=?    WHERE Domain=? and ServerName=?;";
inline constexpr const char* delete_empty_servers =
    "DELETE FROM servers WHERE length(rtrim(ServerName))=0 or ServerName NOT IN (SELECT DISTINCT hosts.ServerName "
    "FROM hosts);";

// Hosts.
inline constexpr const char* insert_host = "INSERT OR IGNORE INTO hosts\t( ServerName, Host, Port)\tVALUES (?, ?, ?);";
inline constexpr const char* update_host = "UPDATE hosts   SET\tServerName=?   WHERE Host=? AND Port=?;";
inline constexpr const char* update_last_connect_host =
    "UPDATE hosts\tSET    ServerName=?,   LastConnectTime=?   WHERE Host=? AND Port=?;";
inline constexpr const char* update_ping_host = "UPDATE hosts\tSET    PingTime=?   WHERE Host=? AND Port=?;";
inline constexpr const char* update_ping_lastconnect_host =
    "UPDATE hosts\tSET    PingTime=?,   LastConnectTime=?   WHERE Host=? AND Port=?;";
inline constexpr const char* delete_old_hosts =
    "DELETE FROM hosts WHERE rowid IN ( SELECT hosts.rowid FROM hosts INNER JOIN servers ON "
    "hosts.ServerName=servers.ServerName WHERE length(rtrim(hosts.Host))=0 or (servers.Domain=? and "
    "IFNULL(hosts.LastConnectTime,0) > 0 and (IFNULL(hosts.LastConnectTime,0)+ 3*(?)) < servers.LastCheckTime));";
inline constexpr const char* delete_server_hosts = "DELETE FROM hosts WHERE ServerName=? ;";
inline constexpr const char* delete_oldserver_hosts = "DELETE FROM hosts WHERE ServerName<>? and Host=? and Port=?;";
inline constexpr const char* delete_server_hosts2 = "DELETE FROM hosts WHERE ServerName=? and Host=? and Port=?;";
inline constexpr const char* delete_host = "DELETE FROM hosts WHERE hosts.Host=? and hosts.Port=?;";

// Helpers (no operation adds them; the clean-ups remove them).
inline constexpr const char* delete_old_helpers = "DELETE FROM helpers   WHERE   (CreateTime + ?) < ?;";
inline constexpr const char* delete_unneed_helpers =
    "DELETE FROM helpers   WHERE Domain NOT IN (         SELECT servers.Domain FROM servers);";

// Reading. Every host query selects the nine columns of the header, read by one row reader.
#define HX_SERVERS_HOSTS_HEADER                                                              \
  "SELECT servers.Domain,servers.ServerName,servers.ServerUpdateTime,servers.LastCheckTime," \
  "servers.DNSUpdateTime,hosts.Host,hosts.Port,hosts.LastConnectTime,hosts.PingTime"
inline constexpr const char* get_hosts_select_header = HX_SERVERS_HOSTS_HEADER;
inline constexpr const char* get_hosts = HX_SERVERS_HOSTS_HEADER
    " FROM hosts  INNER JOIN servers ON hosts.ServerName=servers.ServerName WHERE servers.ServerName=?  ORDER BY "
    "Host ASC;";
inline constexpr const char* get_hosts_by_domain = HX_SERVERS_HOSTS_HEADER
    " FROM hosts  INNER JOIN servers ON hosts.ServerName=servers.ServerName WHERE servers.Domain=? ;";
inline constexpr const char* get_host = HX_SERVERS_HOSTS_HEADER
    " FROM hosts INNER JOIN servers ON hosts.ServerName=servers.ServerName WHERE hosts.Host=? AND hosts.Port=? "
    "LIMIT 1;";
#undef HX_SERVERS_HOSTS_HEADER
inline constexpr const char* get_domain_of_server = "SELECT Domain FROM servers WHERE ServerName=?;";
inline constexpr const char* get_successfull_corp_hosts =
    "SELECT Host, Port FROM hosts   WHERE hosts.ServerName LIKE ?   AND  hosts.LastConnectTime IS NOT NULL   "
    "ORDER BY hosts.LastConnectTime DESC   LIMIT ?;";
inline constexpr const char* get_dns_time =
    "SELECT ServerName, DNSUpdateTime\tFROM servers    WHERE Domain=? ORDER BY DNSUpdateTime DESC LIMIT 1;";

// Clock set back: times in the future are reset.
inline constexpr const char* update_servers_timeahead_updatetime =
    "UPDATE servers SET ServerUpdateTime=0 WHERE ServerUpdateTime > ?;";
inline constexpr const char* update_servers_timeahead_lastcheck =
    "UPDATE servers SET LastCheckTime=0 WHERE LastCheckTime > ?;";
inline constexpr const char* update_servers_timeahead_dnsupdate =
    "UPDATE servers SET DNSUpdateTime=0 WHERE DNSUpdateTime > ?;";
inline constexpr const char* update_hosts_timeahead =
    "UPDATE hosts SET LastConnectTime=? WHERE IFNULL(LastConnectTime,0) > ?;";

}  // namespace hx::servers::db
