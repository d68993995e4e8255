#pragma once
// HX_TransportTarget: what the client is to connect to and as whom. Scope 0 is a domain of the
// service (its servers are found by discovery), scope 1 one server by host and port, scope 2 an
// explicit servers list. A target may carry login parameters, and the databases that are to hold
// the session data and the servers list (in-memory ones for a temporary login).
//
// hx::transport::TargetBuilder makes targets, for instance from a parsed call link (setUri).
// The transport manager compares a new target with its connection through `diff`: 2 asks for a
// new connection, 1 for a new login, 0 for nothing.
//
// Plain values without locks: one thread at a time. The databases they carry are thread-safe.

#include <cstdint>
#include <memory>
#include <string>

#include "core/transport/domain_servers_list.h"
#include "core/transport/session_db.h"
#include "core/transport/uri_login_params.h"
#include "core/wire/server_endpoint.h"
#include "core/wire/transport_connection_param.h"

class HXUriProtocol;
class HX_ServersListDB;

namespace hx::transport {
class TargetBuilder;
}

class HX_TransportTarget {
 public:
  enum Scope : int32_t {
    eScopeCloud = 0,
    eScopeServer = 1,
    eScopeServersList = 2,
  };

  HX_TransportTarget() = default;
  HX_TransportTarget(HX_TransportTarget&&) = default;
  HX_TransportTarget& operator=(HX_TransportTarget&&) = default;
  HX_TransportTarget(const HX_TransportTarget&) = default;
  HX_TransportTarget& operator=(const HX_TransportTarget&) = default;

  int32_t getScope() const { return m_scope; }
  // The domain of scope 0, the server of scope 1 and the server id that `diff` compares.
  const HX_TransportConnectionParam& getConnectionParam() const { return m_connectionParam; }
  std::shared_ptr<hx::transport::UriLoginParams> getLoginParams() const { return m_loginParams; }
  std::shared_ptr<HXServerEpList> getServersList() const { return m_serversList; }
  std::shared_ptr<HX_ServersListDB> getServersListDb() const { return m_serversListDb; }
  std::shared_ptr<hx::transport::SessionDB> getTrSessionDb() const { return m_sessionDb; }

  // The target carries login parameters.
  bool hasLoginPassword() const { return m_loginParams != nullptr; }
  // Their encrypt-password flag; false without login parameters.
  bool isPasswordEncrypted() const;

  // Nothing to connect to: scope 0 without a domain, scope 1 without a server (port 0 or no
  // address), scope 2 without a servers list, any other scope.
  bool empty() const;
  // What a connection to (domain, server id, host, port) as `login` has to do to reach this
  // target: 2 connect anew, 1 log in anew (another login and the force flag), 0 nothing. Texts
  // compare without regard to letter case (UTF-8).
  int diff(const std::string& domain, const std::string& serverId, const std::string& host,
           uint16_t port, const std::string& login) const;
  // One line for logs, such as "[cloud] example.org sessionDB login: me(encrypted)".
  std::string str() const;

 private:
  friend class hx::transport::TargetBuilder;

  HX_TransportConnectionParam m_connectionParam;
  int32_t m_scope = eScopeCloud;
  std::shared_ptr<hx::transport::UriLoginParams> m_loginParams;
  std::shared_ptr<HXServerEpList> m_serversList;
  std::shared_ptr<HX_ServersListDB> m_serversListDb;
  std::shared_ptr<hx::transport::SessionDB> m_sessionDb;
};

namespace hx::transport {

// Setters return the builder, so that calls chain: TargetBuilder().setCloud("d").build().
class TargetBuilder {
 public:
  // Scope 0: the domain.
  TargetBuilder& setCloud(const std::string& domain);
  // Scope 1: one server.
  TargetBuilder& setServer(const std::string& host, uint16_t port);
  // Scope 2: a copy of the list.
  TargetBuilder& setServersList(const HXServerEpList& list);
  // Scope 2: every host of every server of the domain list, in order.
  TargetBuilder& setServersList(const HX_DomainServersList& list);
  // Empty parameters (encrypt-password set, login and key empty) drop the target's login
  // parameters; others are copied.
  TargetBuilder& setLoginParams(const UriLoginParams& params);
  // Takes both databases over; the arguments are left empty.
  TargetBuilder& setDatabases(std::shared_ptr<SessionDB>&& sessionDb,
                              std::shared_ptr<HX_ServersListDB>&& serversListDb);
  // From a parsed call link: its domain, its login parameters with its password as key, and its
  // servers list (scope 2) or else scope 0. With `openTemporaryDatabases` and the link's
  // temporary-login flag (and login parameters), the target gets a fresh in-memory settings
  // database and servers-list database, open; when one cannot be opened it gets neither.
  TargetBuilder& setUri(const HXUriProtocol& link, bool openTemporaryDatabases);
  // The target; the builder is left empty.
  HX_TransportTarget build();

 private:
  HX_TransportTarget m_target;
};

}  // namespace hx::transport
