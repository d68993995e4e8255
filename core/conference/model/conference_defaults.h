#pragma once
// The conference defaults that every new conference copies from the store
// (conference::DefaultParams: the common part and the own far-end camera control policy), and the
// state that far-end camera control keeps per peer (conference::PeerFeccHelper) and per
// conference (conference::ConferenceFeccHelper). The camera-control rules that move these states
// come with the camera-control messages.
//
// No locks of their own: the store's copy is guarded by the store's write lock, a conference's
// and its peers' by the conference lock (the same lock).

#include <cstdint>

class HX_Conference;

namespace conference {

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

// Per-peer camera-control states.
struct PeerFeccHelper {
  // 0 nothing known, 1 policy asked, 2 policy known, 3 access requested, 4 allowed, 5 denied.
  int32_t feccRequestState = 0;
  // 0 no request yet, 2 no request, 3 the peer asks, 4 allowed to the peer, 5 denied to the peer.
  int32_t feccGrantState = 0;
  // The peer's policy, 0 until reported.
  eFeccState feccPeerState = 0;
};

// Holds the conference a feature belongs to.
class ConferenceFeatureBase {
 public:
  explicit ConferenceFeatureBase(HX_Conference* conference) : m_conference(conference) {}

 protected:
  HX_Conference* const m_conference;
};

// The conference's own camera-control policy.
class ConferenceFeccHelper : public ConferenceFeatureBase, public FeccParams {
 public:
  ConferenceFeccHelper(HX_Conference* conference, const FeccParams& params)
      : ConferenceFeatureBase(conference), FeccParams(params.getMyState()) {}
};

}  // namespace conference
