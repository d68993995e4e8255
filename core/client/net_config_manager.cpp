#include "core/client/net_config_manager.h"

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/base/ios_log.h"
#include "core/client/fsm_shared.h"
#include "core/client/protocol_constants.h"
#include "core/net/address/address_class.h"
#include "core/net/address/address_family.h"
#include "core/net/address/if_addr_container_ts.h"
#include "core/net/address/if_addr_set.h"
#include "core/net/address/if_kind.h"
#include "core/net/address/ip_iface.h"
#include "core/net/address/sock_addr.h"
#include "core/net/loop/zserver.h"
#include "core/streams/net_listener.h"
#include "core/transport/session.h"
#include "core/wire/name_hash.h"

namespace {

constexpr hx::EpType kTcpBindingType = static_cast<hx::EpType>(1);
constexpr hx::EpType kUdpBindingType = static_cast<hx::EpType>(3);

// Adds the bindings of one acceptor list for one family; the number added.
int addAcceptors(const HXIpIfAddrSet& interfaces, const std::list<HXSockAddr>& acceptors, uint8_t family,
                 const char* login, HX_Container& message) {
  int added = 0;
  for (const HXSockAddr& acceptor : acceptors) {
    if (acceptor.family() != family) continue;
    if (!acceptor.isInAddrAny()) {
      if (addBinding(message, acceptor, login)) ++added;
      continue;
    }
    // An acceptor on the any address listens on every interface: name each usable address.
    for (const HXIpIfListItem& item : interfaces) {
      const HXIpIface* iface = item.ifGet();
      if (iface == nullptr || (iface->flags() & ip::IfFlags::up_and_running) == 0) continue;
      if (item.family() != family) continue;
      if (ip::IANA_Addr_Type::getType(item) == ip::IANA_Addr_Type::loopback) continue;
      HXSockAddr bound;
      if (!bound.set(acceptor.proto(), item, acceptor.port())) continue;
      if (addBinding(message, bound, login)) ++added;
    }
  }
  return added;
}

}  // namespace

bool addBinding(HX_Container& message, const HXSockAddr& address, const char* login) {
  const char* key = nullptr;
  switch (address.family()) {
    case ip::Family::v4:
      key = IPCONFIG_PARAM;
      break;
    case ip::Family::v6:
      key = IP6CONFIG_PARAM;
      break;
    default:
      ios_log("Address family unknown %d", address.sysFamily());
      return false;
  }
  hx::EpType type;
  switch (address.proto()) {
    case ip::Proto::udp:
      type = kUdpBindingType;
      break;
    case ip::Proto::tcp:
      type = kTcpBindingType;
      break;
    default:
      ios_log("Unknown proto %d", static_cast<int>(address.proto()));
      return false;
  }
  const std::string host = address.str();
  const HX_Endpoint endpoint(type, login, host.c_str(), address.port(), "", 1080, "", "", 4, "", 8080, "",
                             "");
  size_t size = 0;
  endpoint.Serialize(nullptr, size);
  if (size == 0 || size > HX_NetConfigManager::kMaxBindingSize) return false;
  std::vector<uint8_t> record(size);
  if (!endpoint.Serialize(record.data(), size) || size == 0) return false;
  return message.AddValue(key, HX_CNT_BINARY_VT, record.data(), size);
}

HX_NetConfigManager::HX_NetConfigManager(std::shared_ptr<HX_TransportSession> transport, HXFSMShared* fsm)
    : HX_AbstractManager(CONFIGURATION_SRV, std::move(transport), fsm),
      m_setPropsHash(hx::NameHash(SETPROPERTIES_METHOD)),
      m_updateConfigurationHash(hx::NameHash(UPDATECONFIGURATION_METHOD)),
      m_redirectToHash(hx::NameHash(REDIRECTTO_METHOD)) {}

HX_NetConfigManager::~HX_NetConfigManager() { UnregisterServiceHandler(); }

bool HX_NetConfigManager::sendToNetConfig(const HX_Container& message) {
  return ComposeSend(message, CONFIGURATION_SRV, nullptr, nullptr, hx::protocol::kRequestTimeLimitMs);
}

int HX_NetConfigManager::fillNetworkConfiguration(const HXIpIfAddrSet& interfaces,
                                                  const HXZAcceptorInfo& acceptors, const char* login,
                                                  HX_Container& message) {
  int added = 0;
  for (const uint8_t family : {static_cast<uint8_t>(ip::Family::v4), static_cast<uint8_t>(ip::Family::v6)}) {
    added += addAcceptors(interfaces, acceptors.tcpAcceptors, family, login, message);
    added += addAcceptors(interfaces, acceptors.udpAcceptors, family, login, message);
  }
  return added;
}

bool HX_NetConfigManager::UpdateConfiguration() {
  HX_Container message;
  message.AddValue(METHOD_PARAM, UPDATECONFIGURATION_METHOD);
  HXIpIfAddrSet interfaces;
  if (HXIfIpAddrContainerTS* list = HXZServer::getIfAddrList()) interfaces = list->getAddrList();
  HXZAcceptorInfo acceptors;
  std::string login;
  if (const auto& session = transportSession()) {
    if (const auto listener = session->getNetListener()) acceptors = listener->getAcceptorInfo();
    login = session->getLogin();
  }
  if (fillNetworkConfiguration(interfaces, acceptors, login.c_str(), message) == 0) return true;
  return sendToNetConfig(message);
}

bool HX_NetConfigManager::GetApplicationProperties() {
  HX_Container message;
  message.AddValue(METHOD_PARAM, GETAPPPROPERTIES_METHOD);
  HXFSMShared* fsm = getFSM();
  const std::string version = fsm != nullptr ? fsm->GetAppVersion() : std::string();
  const std::string name = fsm != nullptr ? fsm->GetAppName() : std::string();
  message.AddValue(CLIENTVERSION_PARAM, version.c_str());
  message.AddValue(NAME_PARAM, name.c_str());
  return sendToNetConfig(message);
}

bool HX_NetConfigManager::SetEndpointProperties(const char* name, const char* value, bool reset) {
  if (name == nullptr || value == nullptr || *name == '\0') return false;
  HXAutoLock lock(*static_cast<HXMultiLock<0>*>(this));
  if (reset) m_endpointProperties.clear();
  m_endpointProperties[name] = value;
  return true;
}

bool HX_NetConfigManager::ResetEndpointProperties() {
  HXAutoLock lock(*static_cast<HXMultiLock<0>*>(this));
  m_endpointProperties.clear();
  return true;
}

std::string HX_NetConfigManager::GetEndpointProperties(const char* name) const {
  if (name == nullptr) return std::string();
  HXAutoLock lock(*const_cast<HXMultiLock<0>*>(static_cast<const HXMultiLock<0>*>(this)));
  const auto it = m_endpointProperties.find(name);
  return it != m_endpointProperties.end() ? it->second : std::string();
}

bool HX_NetConfigManager::SendEndpointProperties(bool resetAfter) {
  HXAutoLock lock(*static_cast<HXMultiLock<0>*>(this));
  if (m_endpointProperties.empty()) return true;
  HX_Container message;
  message.AddValue(METHOD_PARAM, SETPROPERTIES_METHOD);
  HXFSMShared* fsm = getFSM();
  const std::string appId = fsm != nullptr ? fsm->GetAppId() : std::string();
  message.AddValue(HASH_PARAM, appId.c_str());
  for (const auto& [name, value] : m_endpointProperties) {
    message.AddValue(NAME_PARAM, name.c_str());
    message.AddValue(PROPERTY_PARAM, value.c_str());
  }
  const bool queued = sendToNetConfig(message);
  if (queued && resetAfter) m_endpointProperties.clear();
  return queued;
}

bool HX_NetConfigManager::SendSetUserProperty(const char* name, int64_t value, bool asDate) {
  HX_Container message;
  std::string login;
  if (const auto& session = transportSession()) login = session->getLogin();
  // The server reads the call id before the method.
  message.AddValue(CALLID_PARAM, login.c_str());
  message.AddValue(METHOD_PARAM, SET_USER_PROPERTY_METHOD);
  message.AddValue(USER_PROPERTY_NAME_PARAM, name != nullptr ? name : "");
  message.AddValue(USER_PROPERTY_VALUE_PARAM, value);
  if (asDate) message.AddValue(AS_DATE_STRING_PARAM, "1");
  return sendToNetConfig(message);
}

int32_t HX_NetConfigManager::parseProtocolVersion(const char* text) {
  if (text == nullptr) return 0;
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    // Saturate instead of overflowing: a peer's text may hold any number of digits.
    if (value > static_cast<int64_t>(INT32_MAX) + 1) value = static_cast<int64_t>(INT32_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) value = INT32_MAX;
  if (value < INT32_MIN) value = INT32_MIN;
  return static_cast<int32_t>(value);
}

bool HX_NetConfigManager::ParseIncomimgMessage(HX_Container& message) {
  std::string method;
  message.GetValue(METHOD_PARAM, method);
  const uint32_t hash = hx::NameHash(method.c_str());
  if (hash == m_setPropsHash) {
    onSetProps(message);
  } else if (hash == m_updateConfigurationHash) {
    onUpdateConfiguration(message);
  } else if (hash == m_redirectToHash) {
    onRedirectTo(message);
  }
  return true;
}

void HX_NetConfigManager::onSetProps(const HX_Container& message) {
  if (const auto& session = transportSession()) session->SetServerPropertyContainer(message);
  std::string oneList;
  if (message.GetValue(CALLS_ONE_LIST_PROPERTY, oneList) && !oneList.empty() && oneList[0] == '1') {
    callHistoryAsOneListSignal.Emit(1);
  }
  std::string version;
  if (message.GetValue(SERVER_PROTOCOL_VERSION_PROPERTY, version)) {
    m_protocolVersion.store(parseProtocolVersion(version.c_str()));
  }
}

void HX_NetConfigManager::onUpdateConfiguration(const HX_Container& message) {
  std::string name;
  std::string services;
  message.GetValue(NAME_PARAM, name);
  message.GetValue(SERVICES_PARAM, services);
  size_t size = 0;
  const void* blob = message.GetValueRef(EPCONFIG_PARAM, HX_CNT_BINARY_VT, size);
  if (name.empty() || blob == nullptr || size == 0) return;
  const HX_TransportEndpointList list = HX_Endpoint::Factory(name.c_str(), blob, size, true);
  if (list.empty()) return;
  endpointListSignal.Emit(services.c_str(), name.c_str(), list);
}

void HX_NetConfigManager::onRedirectTo(const HX_Container& message) {
  std::string name;
  const bool named = message.GetValue(NAME_PARAM, name);
  HX_TransportEndpointList list;
  size_t size = 0;
  const void* blob = message.GetValueRef(EPCONFIG_PARAM, HX_CNT_BINARY_VT, size);
  if (named && blob != nullptr && size != 0) list = HX_Endpoint::Factory(name.c_str(), blob, size, true);
  redirectSignal.Emit(name.c_str(), list);
}
