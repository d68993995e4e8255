#include "core/wire/transport_connection_param.h"

void HX_TransportConnectionParam::clear() {
  m_cid.clear();
  m_serverAddress.clear();
  m_serverDomain.clear();
  m_serverPort = 0;
  m_sid.clear();
}

const std::string& HX_TransportConnectionParam::getServerAddress(uint16_t& port) const {
  port = m_serverPort;
  return m_serverAddress;
}

void HX_TransportConnectionParam::setCID(const char* cid) {
  if (cid == nullptr)
    m_cid.clear();
  else
    m_cid = cid;
}

void HX_TransportConnectionParam::setServerAddress(const std::string& address, uint16_t port) {
  m_serverAddress = address;
  m_serverPort = port;
}

void HX_TransportConnectionParam::setSID(const char* sid) {
  if (sid == nullptr)
    m_sid.clear();
  else
    m_sid = sid;
}
