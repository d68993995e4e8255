#include "core/transport/transport_target.h"

#include <exception>

#include "core/base/ios_log.h"
#include "core/base/text_compare.h"
#include "core/storage/server_list_db.h"
#include "core/storage/settings_db.h"
#include "core/transport/call_link.h"

namespace {

// Equal without regard to letter case; two empty texts are equal, an empty and another are not.
bool sameText(const std::string& a, const std::string& b) {
  if (a == b) return true;
  if (a.empty() || b.empty()) return false;
  return utf8strncasecmp(a.data(), a.size(), b.data(), b.size()) == 0;
}

// Opens an in-memory database; null when it cannot be opened.
template <typename Db>
std::shared_ptr<Db> openTemporary() {
  auto db = std::make_shared<Db>();
  try {
    if (db->OpenDatabase("", HXDBBase::Recreate)) return db;
  } catch (const std::exception& error) {
    ios_log("FAILED: temporary database, %s", error.what());
  }
  return nullptr;
}

}  // namespace

bool HX_TransportTarget::isPasswordEncrypted() const {
  return m_loginParams != nullptr && m_loginParams->getEncryptPassword();
}

bool HX_TransportTarget::empty() const {
  switch (m_scope) {
    case eScopeCloud:
      return m_connectionParam.getServerDomain().empty();
    case eScopeServer:
      return m_connectionParam.serverEmpty();
    case eScopeServersList:
      return m_serversList == nullptr;
    default:
      return true;
  }
}

int HX_TransportTarget::diff(const std::string& domain, const std::string& serverId,
                             const std::string& host, uint16_t port,
                             const std::string& login) const {
  switch (m_scope) {
    case eScopeCloud:
      if (!sameText(m_connectionParam.getServerDomain(), domain)) return 2;
      break;
    case eScopeServer:
      if (!sameText(m_connectionParam.getServerAddress(), host) ||
          m_connectionParam.getServerPort() != port) {
        return 2;
      }
      if (!m_connectionParam.getSID().empty() && !sameText(m_connectionParam.getSID(), serverId)) {
        return 2;
      }
      break;
    case eScopeServersList: {
      bool found = false;
      if (m_serversList != nullptr) {
        for (const auto& endpoint : *m_serversList) {
          if (sameText(endpoint.getHost(), host) && endpoint.getPort() == port &&
              (endpoint.getServerId().empty() || sameText(endpoint.getServerId(), serverId))) {
            found = true;
            break;
          }
        }
      }
      if (!found) return 2;
      break;
    }
    default:
      break;
  }
  if (m_loginParams == nullptr || sameText(m_loginParams->getLogin(), login)) return 0;
  return m_loginParams->isForce() ? 1 : 0;
}

std::string HX_TransportTarget::str() const {
  if (empty()) return "<empty>";
  std::string text;
  switch (m_scope) {
    case eScopeServersList:
      text = "[servers list] (" + std::to_string(m_serversList->size()) + ") :";
      for (const auto& endpoint : *m_serversList) {
        text += " " + endpoint.getHost() + ":" + std::to_string(endpoint.getPort());
      }
      break;
    case eScopeServer:
      text = "[server] " + m_connectionParam.getServerAddress() + ":" +
             std::to_string(m_connectionParam.getServerPort());
      break;
    default:
      text = "[cloud] " + m_connectionParam.getServerDomain();
      break;
  }
  if (m_sessionDb != nullptr) text += " sessionDB";
  if (m_serversListDb != nullptr) text += " serversListDB";
  if (m_loginParams != nullptr) {
    text += " login: " + m_loginParams->getLogin() + "(";
    if (m_loginParams->isTempLogin()) text += "temp, ";
    text += m_loginParams->getEncryptPassword() ? "encrypted" : "not encrypted";
    if (m_loginParams->isForce()) text += ", forced";
    text += ")";
  }
  return text;
}

namespace hx::transport {

TargetBuilder& TargetBuilder::setCloud(const std::string& domain) {
  m_target.m_scope = HX_TransportTarget::eScopeCloud;
  m_target.m_connectionParam.setServerDomain(domain);
  return *this;
}

TargetBuilder& TargetBuilder::setServer(const std::string& host, uint16_t port) {
  m_target.m_scope = HX_TransportTarget::eScopeServer;
  m_target.m_connectionParam.setServerAddress(host, port);
  return *this;
}

TargetBuilder& TargetBuilder::setServersList(const HXServerEpList& list) {
  m_target.m_scope = HX_TransportTarget::eScopeServersList;
  m_target.m_serversList = std::make_shared<HXServerEpList>(list);
  return *this;
}

TargetBuilder& TargetBuilder::setServersList(const HX_DomainServersList& list) {
  auto hosts = std::make_shared<HXServerEpList>();
  for (const auto& server : list.getServers()) {
    for (const auto& endpoint : server.hosts) hosts->addHost(endpoint);
  }
  m_target.m_scope = HX_TransportTarget::eScopeServersList;
  m_target.m_serversList = std::move(hosts);
  return *this;
}

TargetBuilder& TargetBuilder::setLoginParams(const UriLoginParams& params) {
  if (params.empty()) {
    m_target.m_loginParams.reset();
  } else {
    m_target.m_loginParams = std::make_shared<UriLoginParams>(params);
  }
  return *this;
}

TargetBuilder& TargetBuilder::setDatabases(std::shared_ptr<SessionDB>&& sessionDb,
                                           std::shared_ptr<HX_ServersListDB>&& serversListDb) {
  m_target.m_sessionDb = std::move(sessionDb);
  m_target.m_serversListDb = std::move(serversListDb);
  sessionDb.reset();
  serversListDb.reset();
  return *this;
}

TargetBuilder& TargetBuilder::setUri(const HXUriProtocol& link, bool openTemporaryDatabases) {
  m_target.m_connectionParam.setServerDomain(link.getDomain());
  setLoginParams(link);
  if (m_target.m_loginParams != nullptr) m_target.m_loginParams->setKey(link.getPassword());
  if (!link.getServerList().empty()) {
    setServersList(link.getServerList());
  } else {
    m_target.m_scope = HX_TransportTarget::eScopeCloud;
  }
  if (openTemporaryDatabases && m_target.m_loginParams != nullptr &&
      m_target.m_loginParams->isTempLogin()) {
    std::shared_ptr<HX_ServersListDB> servers = openTemporary<HX_ServersListDBTemp>();
    std::shared_ptr<SessionDB> session = openTemporary<HX_SettingsDBTemp>();
    if (servers != nullptr && session != nullptr) {
      setDatabases(std::move(session), std::move(servers));
    }
  }
  return *this;
}

HX_TransportTarget TargetBuilder::build() {
  HX_TransportTarget target = std::move(m_target);
  m_target = HX_TransportTarget();
  return target;
}

}  // namespace hx::transport
