#pragma once
// hx::servers::SlIterator: the server hosts the transport manager tries when it connects, one at
// a time: the hosts known for the domains of the current transport target, best first, with
// redirects pushed in front. getNextDefaultServer walks a domain's default server name through
// the default ports when no host is known.
//
// Candidates come in three groups: A, hosts with a usable ping that were connected to within a
// day; C, hosts with a usable ping that were neither connected to nor checked within a day; X,
// the rest (checked within a day, or no usable ping). Within a group every host name gets one
// port tried before any gets a second.
//
// Not thread-safe: the owning servers list calls it under its lock. The database is thread-safe.

#include <cstdint>
#include <list>
#include <string>

#include "core/wire/server_endpoint.h"

class HX_ServersListDB;
class HX_TransportTarget;

// The UTF-8 lower-case form; the input unchanged when it cannot be converted.
std::string HXLowerUTF8(const std::string& text);

namespace hx::servers {

class SlIterator {
 public:
  struct HostRec {
    std::string host;
    uint16_t port = 0;
  };

  // Case-insensitive UTF-8 order; an empty text comes first.
  struct CmpNoCaseUTF8 {
    bool operator()(const std::string& a, const std::string& b) const;
  };

  // Starts a request: takes the scope, clears domains and candidates, keeps the request id and
  // collects the target's domains (writing what it learns about the target's hosts to `db`).
  // True when there is a domain.
  bool init(const HX_TransportTarget& target, uint32_t requestId, HX_ServersListDB& db);
  // Appends the lower-cased domain unless it is empty or present in any letter case.
  bool addDomain(const std::string& domain);
  // Appends the domains to `out`; true when there are any.
  bool getDomains(std::list<std::string>& out) const;
  // Puts (host, port) in front unless it is the first candidate already.
  void addRedirect(const std::string& host, uint16_t port);
  // Empties the candidates; the next request rebuilds them from the database.
  void resetList() { m_candidates.clear(); }
  // The domain of the endpoint a connection reached joins the domains.
  void setTransportSessionEp(const HXServerEndpoint& endpoint) { addDomain(endpoint.getDomain()); }
  // Builds the candidates from the database's hosts of the domains; without `reset` a non-empty
  // list stays as it is.
  void checkHostList(HX_ServersListDB& db, bool reset);
  // The next candidate's host, its port written to `port`. With no candidate, `lastHost` and the
  // port unchanged. The same host and port as the last attempt is skipped unless nothing else is
  // left. `domain` is not used.
  std::string getNextServer(HX_ServersListDB& db, const std::string& domain,
                            const std::string& lastHost, uint16_t& port, bool reset);
  // The domain's default server name ("vcs2.tcp." and the domain as given) with port 4307; when
  // `lastHost` is that name already, the next of 4307, 80, 443. An empty domain gives "" and
  // leaves the port.
  static std::string getNextDefaultServer(const std::string& domain, const std::string& lastHost,
                                          uint16_t& port);

  uint32_t getRequestId() const { return m_requestId; }
  int32_t getScope() const { return m_scope; }
  const std::list<HostRec>& getCandidates() const { return m_candidates; }

 private:
  bool initServer(const HX_TransportTarget& target, HX_ServersListDB& db);
  bool initServersList(const HX_TransportTarget& target, HX_ServersListDB& db);

  std::list<std::string> m_domains;
  std::list<HostRec> m_candidates;
  uint32_t m_requestId = 0;
  int32_t m_scope = 0;
};

}  // namespace hx::servers
