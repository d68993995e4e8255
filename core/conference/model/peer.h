#pragma once
// conference::Peer: one other participant (or participant instance) of a conference, keyed by its
// peer id. It carries the participant record the conference service fills, its camera-control and
// extra-video state, and what is needed to connect media to it directly: its endpoints, the kind
// of direct connection reached (HX_DirectConnect_Type) and the progress of the direct tests.
//
// Direct-connect flags: 0x2 all direct tests done, 0x4 direct connection announced to the peer,
// 0x20 endpoints known (tests begun). The type starts at 4 (not yet known) and is decided once,
// by the first direct connection reached; the tests end with directConnectTestEnd or
// directConnectTestClear.
//
// No locking of its own: every operation runs with the conference lock held.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/conference/model/conference_defaults.h"
#include "core/conference/model/participant_info.h"
#include "core/conference/model/peer_endpoints.h"

namespace conference {

// conference::PeerState: 0 known without an invitation, 1 an instance of the caller of an
// unanswered incoming call, 2 asked to join, 4 invited by this client and not yet answered,
// 5 accepted and joining, 6 listed participant.
using PeerState = int32_t;

// conference::ExtraVideo: 0 the content is the current video, 1 content available, 2 none.
using ExtraVideo = int32_t;

// A second video stream of the peer (shared content), with the id of its time-out job.
class ExtraVideoInfoHolder {
 public:
  ExtraVideoInfoHolder() = default;
  // Cancels a pending time-out job.
  virtual ~ExtraVideoInfoHolder();
  ExtraVideoInfoHolder(ExtraVideoInfoHolder&& other) noexcept;
  ExtraVideoInfoHolder& operator=(ExtraVideoInfoHolder&& other) noexcept;

  // Stores both and, unless the state is 2, stamps the time.
  void setExtraVideoState(ExtraVideo state, uint32_t jobId);
  // Stores the state and either clears the job id (state 2) or stamps the time.
  void updateExtraVideoState(ExtraVideo state);
  ExtraVideo getExtraVideoState() const { return m_extraVideo; }
  uint32_t getExtraVideoJob() const { return m_jobId; }
  uint64_t getExtraVideoTime() const { return m_changed; }

 private:
  ExtraVideo m_extraVideo = 2;
  uint32_t m_jobId = 0;
  uint64_t m_changed = 0;
};

// Maps a peer's socket addresses to its endpoints, as the TCP streams supervisor's filter builds
// it.
struct SockAddrLess {
  bool operator()(const HXSockAddr& a, const HXSockAddr& b) const { return a.cmp(b) < 0; }
};
using PeerEndpointMap = std::map<HXSockAddr, std::shared_ptr<HX_Endpoint>, SockAddrLess>;

class Peer : public ParticipantInfoHolder,
             public EPStorage,
             public ExtraVideoInfoHolder,
             public PeerFeccHelper {
 public:
  static constexpr uint32_t kDCTestsDone = 0x2;
  static constexpr uint32_t kDCAnnounced = 0x4;
  static constexpr uint32_t kDCEndpointsKnown = 0x20;

  Peer(std::string id, PeerState state);
  ~Peer() override;
  Peer(Peer&&) = default;
  Peer& operator=(Peer&&) = default;

  // EPStorage.
  int getTrialStreamCount() override;
  void markEndpoint(int id, bool ok) override;
  PeerEndpointsList& getEndpointsList() override { return m_endpoints; }

  const std::string& getId() const { return m_id; }
  void setId(const std::string& id) { m_id = id; }
  ParticipantInfoHolder& getPIholder() { return *this; }
  const ParticipantInfoHolder& getPIholder() const { return *this; }
  HX_Participant_Role getRole() const { return role; }
  PeerState getPeerState() const { return m_peerState; }
  void setPeerState(PeerState state) { m_peerState = state; }
  const std::string& getDisplayName() const { return m_displayName; }
  void setDisplayName(const std::string& name) { m_displayName = name; }

  HX_DirectConnect_Type getDCType() const { return m_dcType; }
  void setDCType(HX_DirectConnect_Type type) { m_dcType = type; }
  // Only while the type is 4; true when set.
  bool setFirstDCType(HX_DirectConnect_Type type);
  // Tests done or type decided.
  bool isDCTypeDefined() const;
  // Only while the type is 4: the peer connected to this client (type 1); true then.
  bool setAcceptDC(const HXSockAddr& address);
  bool hasDCEndpoints() const { return (m_dcFlags & kDCEndpointsKnown) != 0; }
  uint32_t getDCFlags() const { return m_dcFlags; }
  void setDCFlags(uint32_t flags) { m_dcFlags |= flags; }
  // 0 when the type is 0.
  size_t getDCcount(PeerEndpointType kind) const;
  int32_t getSuccessfulTests() const { return m_successfulTests; }
  uint64_t getDCRtt() const { return m_dcRtt; }
  // Keeps the smallest round-trip time measured.
  void setDCRtt(uint64_t rtt);
  bool dcHasTcp() const;
  bool dcHasUdp() const;

  // Appends the network endpoints of the peer-connect endpoints.
  void fillEndpointsList(HX_TransportEndpointList& out) const;

  // Sets flag 0x20 and adds the endpoints: direct UDP ones once, TCP ones as a sender/receiver
  // pair every time. `trialList` answers the conference's UDP trial list for the UDP attributes.
  void directConnectTestBegin(const PeerEndpointMap& endpoints,
                              PeerClientUdpDirect::TrialListSource trialList = nullptr);
  void setEndpoints(const PeerEndpointMap& endpoints,
                    PeerClientUdpDirect::TrialListSource trialList = nullptr);
  // Records a TCP test on the tested endpoint and its receiver twin; returns connectTestDoneAll.
  bool connectTestDone(bool ok, int32_t endpointId, const HXSockAddr& address);
  // True once no peer-connect or direct-UDP endpoint is still unproven (then sticky).
  bool connectTestDoneAll();
  void directConnectTestEnd(ConferenceLock& lock, HX_DirectConnect_Type type);
  // Another instance answered the call: no direct connection, endpoints cleared.
  void directConnectTestClear(ConferenceLock& lock);

  bool operator<(const Peer& other) const { return m_id < other.m_id; }

 private:
  std::string m_id;
  int32_t m_successfulTests = 0;
  HX_DirectConnect_Type m_dcType = 4;
  PeerEndpointsList m_endpoints;
  uint32_t m_dcFlags = 0;
  uint64_t m_dcRtt = 0;
  std::string m_displayName;
  PeerState m_peerState;
};

}  // namespace conference
