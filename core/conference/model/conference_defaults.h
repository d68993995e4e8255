#pragma once
// The conference defaults that every new conference copies from the store
// (conference::DefaultParams: the common part and the own far-end camera control policy), and the
// state that far-end camera control keeps per peer (conference::PeerFeccHelper) and per
// conference (conference::ConferenceFeccHelper), with the rules that every camera-control message
// sent or received passes through (defined in fecc_rules.cpp).
//
// No locks of their own: the store's copy is guarded by the store's write lock, a conference's
// and its peers' by the conference lock (the same lock).

#include <cstdint>

class HX_Container;
class HX_Conference;

namespace conference {

class Peer;

// Camera-control policy: 0 not offered, 1 control without asking, 2 control after permission.
using eFeccState = int32_t;

class FeccParams {
 public:
  FeccParams() = default;
  explicit FeccParams(eFeccState state) : m_myState(state) {}
  virtual ~FeccParams() = default;
  FeccParams(const FeccParams&) = default;
  FeccParams& operator=(const FeccParams&) = default;

  // Stores the own policy.
  virtual void setMyState(eFeccState state) { m_myState = state; }
  eFeccState getMyState() const { return m_myState; }

 protected:
  eFeccState m_myState = 0;
};

struct DefaultParamsCommon {
  bool audioOnly = false;
  int32_t value = 0;
  uint32_t mcastRedundancy = 1;
  uint32_t mcastRedundancy2 = 0;

  // The multicast redundancy; the second value goes to `second` when given.
  uint32_t getMcastRedundancy(uint32_t* second = nullptr) const {
    if (second != nullptr) *second = mcastRedundancy2;
    return mcastRedundancy;
  }
  void setMcastRedundancy(uint32_t first, uint32_t second) {
    mcastRedundancy = first;
    mcastRedundancy2 = second;
  }
};

struct DefaultParams {
  DefaultParamsCommon common;
  FeccParams fecc;
};

// The type of a camera-control message ("FECC" with its "FeccType").
using eFeccRequestType = int32_t;
inline constexpr eFeccRequestType kFeccPolicyRequest = 1;
inline constexpr eFeccRequestType kFeccPolicyReply = 2;   // the policy in "FeccState"
inline constexpr eFeccRequestType kFeccPolicyNotice = 3;  // sent: the value is the new own policy
inline constexpr eFeccRequestType kFeccAccessRequest = 17;
inline constexpr eFeccRequestType kFeccAccessAllowed = 18;
inline constexpr eFeccRequestType kFeccAccessDenied = 19;
inline constexpr eFeccRequestType kFeccAccessCancel = 20;  // ends a pending request unanswered
inline constexpr eFeccRequestType kFeccCameraUp = 33;      // 33 to 38: up, down, left, right,
inline constexpr eFeccRequestType kFeccCameraZoomOut = 38;  // zoom in, zoom out
inline constexpr eFeccRequestType kFeccNeverSent = 65;
inline constexpr eFeccRequestType kFeccPresetSet = 81;  // 81 and 82 carry "PresetNum"
inline constexpr eFeccRequestType kFeccPresetGo = 82;

// One camera-control message: its type, its value and a third word.
struct FeccCommand {
  eFeccRequestType requestType = 0;
  int32_t value = 0;
  int32_t param = 0;
};

// Per-peer camera-control states.
struct PeerFeccHelper {
  // 0 nothing known, 1 policy asked, 2 policy known, 3 access requested, 4 allowed, 5 denied.
  int32_t feccRequestState = 0;
  // 0 no request yet, 2 no request, 3 the peer asks, 4 allowed to the peer, 5 denied to the peer.
  int32_t feccGrantState = 0;
  // The peer's policy, 0 until reported.
  eFeccState feccPeerState = 0;

  // The questions asked before camera control is offered to the user.
  // The peer's policy has not been learnt (nor asked for).
  bool isFeccStateRequestRequired() const;
  // The peer's policy asks for permission and nothing has been asked yet.
  bool isFeccAccessRequestRequired() const;
  // This side may steer the peer's camera.
  bool isFeccControlRemoteAllowed() const;
  // The peer may steer the own camera, under the own policy `own`.
  bool isFeccControlLocalAllowed(eFeccState own) const;
  // Stores the peer's reported policy; a policy of 0 or a changed one makes the policy known
  // afresh (request state 2), so an earlier grant no longer counts.
  void setFeccState(eFeccState policy);
};

// Holds the conference a feature belongs to.
class ConferenceFeatureBase {
 public:
  explicit ConferenceFeatureBase(HX_Conference* conference) : m_conference(conference) {}

 protected:
  HX_Conference* const m_conference;
};

// The conference's own camera-control policy and the rules over it and its peers' states. Every
// call is made with the conference held (ConferenceLock); the peers are looked up in it by id.
class ConferenceFeccHelper : public ConferenceFeatureBase, public FeccParams {
 public:
  ConferenceFeccHelper(HX_Conference* conference, const FeccParams& params)
      : ConferenceFeatureBase(conference), FeccParams(params.getMyState()) {}

  // The peer's policy; 0 when the conference has no such peer.
  eFeccState getPeerState(const char* peerId) const;
  // The peer's answers (PeerFeccHelper); false when the conference has no such peer.
  bool isAccessRequestRequired(const char* peerId) const;
  bool isControlRemoteAllowed(const char* peerId) const;
  // A changed own policy withdraws every grant (each peer's grant state becomes 2): a peer that
  // was allowed must ask again.
  void setMyState(eFeccState state) override;

  // Whether `command` may be sent to `peer` (null: no peer named); updates the states it moves.
  bool processSendCommand(Peer* peer, const FeccCommand& command);
  // Applies a received message of `type` from `peer` (null: the sender has no peer record).
  // Writes `reply` only when a command must be sent back. The result says whether a state
  // changed that the user should see; for a camera command, whether it is carried out. A
  // camera command from a sender without a peer record is carried out only under own policy 1
  // (control without asking): no grant can be checked for it.
  bool processReceivedCommand(FeccCommand& reply, Peer* peer, eFeccRequestType type,
                              const HX_Container& message);

 private:
  const Peer* findPeer(const char* peerId) const;
};

}  // namespace conference
