#pragma once
// Where the client is connected: the client id the server assigned (CID), the server's address,
// port and domain, and the id of the server that accepted the connection (SID). A plain value,
// copied into signals; not thread-safe.

#include <cstdint>
#include <string>

class HX_TransportConnectionParam {
 public:
  // Empties CID, address, domain and SID and sets the port to 0.
  void clear();
  void clearSid() { m_sid.clear(); }

  const std::string& getCID() const { return m_cid; }
  const std::string& getSID() const { return m_sid; }
  const std::string& getServerAddress() const { return m_serverAddress; }
  const std::string& getServerAddress(uint16_t& port) const;
  const std::string& getServerDomain() const { return m_serverDomain; }
  uint16_t getServerPort() const { return m_serverPort; }

  // A null text empties the CID; any other text is taken as it is.
  void setCID(const char* cid);
  void setCID(const std::string& cid) { m_cid = cid; }
  void setServerAddress(const std::string& address) { m_serverAddress = address; }
  void setServerAddress(const std::string& address, uint16_t port);
  void setServerDomain(const std::string& domain) { m_serverDomain = domain; }
  // A null or empty text empties the SID; a string is taken unchanged.
  void setSID(const char* sid);
  void setSID(const std::string& sid) { m_sid = sid; }

  // True when there is no server to connect to: port 0 or an empty address.
  bool serverEmpty() const { return m_serverPort == 0 || m_serverAddress.empty(); }

 private:
  std::string m_cid;
  std::string m_serverAddress;
  std::string m_serverDomain;
  uint16_t m_serverPort = 0;
  std::string m_sid;
};
