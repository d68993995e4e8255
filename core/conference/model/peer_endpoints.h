#pragma once
// The media endpoints of a conference and of its peers: conference::PeerEndpoint (one endpoint:
// id, attribute, state, last attempt, kind, client type), the attribute kinds behind it
// (conference::PeerEpAttr and its five kinds) and conference::PeerEndpointsList, an ordered list
// of them. conference::EPStorage is the interface through which the handshake managers read and
// mark a store of endpoints (a conference or a peer).
//
// Kinds (conference::PeerEndpointType): 1 server connect, 2 server multicast, 3 peer connect,
// 4 accepted live connection, 5 peer UDP direct. Endpoint states: 4 not proven, 2 worked, 0 a
// direct test failed, 1 a live accepted connection, 6 direct UDP reached.
//
// No locking of their own: every operation runs with the conference lock held; the attributes'
// test-end and clearing operations receive the caller's ConferenceLock and may pass it on.

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "core/conference/conference_type.h"
#include "core/net/address/sock_addr.h"
#include "core/wire/endpoint_record.h"

class ConferenceLock;
class HXZeroHandshakeSimple;
class HX_MediaStreamTrialConnection;

namespace hx::streams {
class UdpTrialDirectStreamList;
}

namespace conference {

using PeerEndpointType = int32_t;
inline constexpr PeerEndpointType kEpServerConnect = 1;
inline constexpr PeerEndpointType kEpServerMulticast = 2;
inline constexpr PeerEndpointType kEpClientConnect = 3;
inline constexpr PeerEndpointType kEpClientAcceptLive = 4;
inline constexpr PeerEndpointType kEpClientUdpDirect = 5;

inline constexpr int32_t kEpStateFailed = 0;
inline constexpr int32_t kEpStateAcceptedLive = 1;
inline constexpr int32_t kEpStateWorked = 2;
inline constexpr int32_t kEpStateNotProven = 4;
inline constexpr int32_t kEpStateUdpReached = 6;

class PeerEpAttr {
 public:
  virtual PeerEndpointType getType() const = 0;
  virtual void directConnectTestEnd(ConferenceLock& lock);
  virtual void clearConnection(ConferenceLock& lock);
  virtual ~PeerEpAttr() = default;
  virtual bool operator==(const PeerEpAttr& other) const = 0;
};

// Kinds 1 and 3: a network endpoint and the running direct-connect ping.
class PeerConnectEpAttr : public PeerEpAttr {
 public:
  explicit PeerConnectEpAttr(std::shared_ptr<HX_Endpoint> endpoint)
      : m_endpoint(std::move(endpoint)) {}
  ~PeerConnectEpAttr() override;
  void directConnectTestEnd(ConferenceLock& lock) override;
  void clearConnection(ConferenceLock& lock) override;
  bool operator==(const PeerEpAttr& other) const override;

  const std::shared_ptr<HX_Endpoint>& endpoint() const { return m_endpoint; }
  // The host becomes the address printed with its scope, the port the address's port.
  void setEndpoint(const HXSockAddr& address);
  // The running ping (not owned here beyond Stop); null when none.
  void setPing(HXZeroHandshakeSimple* ping) { m_ping = ping; }
  HXZeroHandshakeSimple* ping() const { return m_ping; }
  // Forgets the ping without stopping it (the test that ran it has ended).
  void forgetPing() { m_ping = nullptr; }

 private:
  void stopPing();
  std::shared_ptr<HX_Endpoint> m_endpoint;
  HXZeroHandshakeSimple* m_ping = nullptr;
};

class PeerServerConnectEpAttr : public PeerConnectEpAttr {
 public:
  using PeerConnectEpAttr::PeerConnectEpAttr;
  PeerEndpointType getType() const override { return kEpServerConnect; }
};

class PeerClientConnectEpAttr : public PeerConnectEpAttr {
 public:
  using PeerConnectEpAttr::PeerConnectEpAttr;
  PeerEndpointType getType() const override { return kEpClientConnect; }
};

class PeerServerMCastEpAttr : public PeerEpAttr {
 public:
  PeerServerMCastEpAttr(const HXSockAddr& group, uint32_t key) : m_group(group), m_key(key) {}
  PeerEndpointType getType() const override { return kEpServerMulticast; }
  bool operator==(const PeerEpAttr& other) const override;
  const HXSockAddr& group() const { return m_group; }
  uint32_t key() const { return m_key; }

 private:
  HXSockAddr m_group;
  uint32_t m_key;
};

class PeerClientAcceptLiveEpAttr : public PeerEpAttr {
 public:
  explicit PeerClientAcceptLiveEpAttr(HX_MediaStreamTrialConnection* connection)
      : m_connection(connection) {}
  PeerEndpointType getType() const override { return kEpClientAcceptLive; }
  bool operator==(const PeerEpAttr& other) const override;
  HX_MediaStreamTrialConnection* connection() const { return m_connection; }
  // The connection; with take it is cleared here (the taker owns it from then on).
  HX_MediaStreamTrialConnection* getLiveStream(bool take);

 private:
  HX_MediaStreamTrialConnection* m_connection;
};

class PeerClientUdpDirect : public PeerEpAttr {
 public:
  // `trialList` answers the conference's UDP trial list at the time of the call (may be null).
  using TrialListSource = std::function<std::shared_ptr<hx::streams::UdpTrialDirectStreamList>()>;
  PeerClientUdpDirect(const HXSockAddr& address, std::shared_ptr<HX_Endpoint> endpoint,
                      TrialListSource trialList = nullptr);
  PeerEndpointType getType() const override { return kEpClientUdpDirect; }
  void directConnectTestEnd(ConferenceLock& lock) override;
  void clearConnection(ConferenceLock& lock) override;
  bool operator==(const PeerEpAttr& other) const override;

  const HXSockAddr& address() const { return m_address; }
  const std::shared_ptr<HX_Endpoint>& endpoint() const { return m_endpoint; }
  uint32_t handlerId() const { return m_handlerId; }
  void setHandlerId(uint32_t id) { m_handlerId = id; }

 private:
  HXSockAddr m_address;
  std::shared_ptr<HX_Endpoint> m_endpoint;
  uint32_t m_handlerId = 0;
  TrialListSource m_trialList;
};

struct PeerEndpoint {
  int32_t id = 0;
  std::unique_ptr<PeerEpAttr> attribute;
  int32_t state = kEpStateNotProven;
  uint64_t lastAttempt = 0;
  PeerEndpointType kind = 0;
  HX_StreamClient_Type clientType = 0;

  // The network endpoint of kinds 1 and 3, the peer's endpoint of kind 5, else null.
  std::shared_ptr<HX_Endpoint> getEndpoint() const;
  // Kind 4: the accepted connection, cleared from the endpoint when take is set.
  HX_MediaStreamTrialConnection* getLiveStream(bool take);
  // Kind 2: the group address (null otherwise).
  const HXSockAddr* getMCastTarget() const;
  // Kind 2: the key, else 0.
  uint32_t getUdpKey() const;
  void clearConnection(ConferenceLock& lock);
  void directConnectTestEnd(ConferenceLock& lock);
};

class PeerEndpointsList {
 public:
  using List = std::list<PeerEndpoint>;

  // Appends an endpoint with the next id, state 4, last attempt 0 and the attribute's kind.
  PeerEndpoint& add(HX_StreamClient_Type clientType, std::unique_ptr<PeerEpAttr> attribute);
  // Appends an existing record unchanged (its id included).
  PeerEndpoint& add(PeerEndpoint&& endpoint);
  // Advances and returns the next id: after 2147483647 comes 0.
  int32_t getSeqNum();
  int32_t lastSeqNum() const { return m_lastId; }
  void setLastSeqNum(int32_t id) { m_lastId = id; }

  bool exists(HX_StreamClient_Type clientType, const PeerEpAttr& attribute) const;
  bool exists(const PeerEndpoint& endpoint) const;

  PeerEndpoint* lookup(int32_t id);
  List::iterator lookupIt(int32_t id);
  // Kinds 1, 3 and 5 only: the first of that kind and client type with that host (byte-wise) and
  // port (any port when 0).
  PeerEndpoint* lookup(PeerEndpointType kind, HX_StreamClient_Type clientType,
                       const std::string& host, uint16_t port);

  bool remove(int32_t id);
  size_t remove(PeerEndpointType kind, HX_StreamClient_Type clientType);

  // Calls `f` for each endpoint in order until it returns false.
  void forEachEp(const std::function<bool(PeerEndpoint&)>& f);
  // The endpoints `accept` accepts (all when it is empty).
  std::vector<std::reference_wrapper<PeerEndpoint>> listOfRef(
      const std::function<bool(const PeerEndpoint&)>& accept = nullptr);
  // Appends the network endpoint of each accepted endpoint that has one.
  void fillEndpointsList(HX_TransportEndpointList& out,
                         const std::function<bool(const PeerEndpoint&)>& accept = nullptr) const;

  size_t getDCcount(PeerEndpointType kind) const;
  PeerEndpoint* getTcpAccept(HX_StreamClient_Type clientType);
  // The connect candidate after `afterId`: see the source for the two passes.
  PeerEndpoint* getTcpConnect(int32_t afterId, PeerEndpointType kind,
                              HX_StreamClient_Type clientType, uint64_t threshold);
  PeerEndpoint* getUdpMcast(HX_StreamClient_Type clientType);

  // True when `host` is an IPv6 address with an interface name (":" then ":" then "%"); the host
  // is then cut just after the "%". A host without "%" stays as it is.
  static bool getLinkLocalHost(std::string& host);

  // clearConnection on every attribute, then empties the list.
  void clearConnections(ConferenceLock& lock);
  // Ends the tests: stops every attribute's test, then keeps of one link-local address reached
  // through several interfaces only the working entries (or the first when none worked).
  void directConnectTestEnd(ConferenceLock& lock);

  size_t size() const { return m_list.size(); }
  bool empty() const { return m_list.empty(); }
  List& list() { return m_list; }
  const List& list() const { return m_list; }

 private:
  List m_list;
  int32_t m_lastId = 0;
};

// What the handshake managers read and mark of a store of endpoints.
class EPStorage {
 public:
  virtual ~EPStorage() = default;
  virtual int getTrialStreamCount() = 0;
  virtual void markEndpoint(int id, bool ok) = 0;
  virtual PeerEndpointsList& getEndpointsList() = 0;
};

}  // namespace conference
