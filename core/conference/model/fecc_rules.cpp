// The far-end camera control rules: the questions a peer's states answer, and what every
// camera-control message sent or received does to them.

#include <string>

#include "core/base/container.h"
#include "core/conference/model/conference.h"
#include "core/conference/model/conference_defaults.h"
#include "core/conference/model/peer.h"

namespace conference {

namespace {

constexpr eFeccState kFeccNotOffered = 0;
constexpr eFeccState kFeccWithoutAsking = 1;
constexpr eFeccState kFeccAfterPermission = 2;

// Request states (what this side has asked of the peer).
constexpr int32_t kRequestAsked = 1;
constexpr int32_t kRequestKnown = 2;
constexpr int32_t kRequestPending = 3;
constexpr int32_t kRequestAllowed = 4;
constexpr int32_t kRequestDenied = 5;

// Grant states (what this side has answered to the peer).
constexpr int32_t kGrantNone = 2;
constexpr int32_t kGrantAsked = 3;
constexpr int32_t kGrantAllowed = 4;
constexpr int32_t kGrantDenied = 5;

FeccCommand Reply(eFeccRequestType type, int32_t value = 0) {
  FeccCommand reply;
  reply.requestType = type;
  reply.value = value;
  return reply;
}

}  // namespace

bool PeerFeccHelper::isFeccStateRequestRequired() const { return feccRequestState < kRequestKnown; }

bool PeerFeccHelper::isFeccAccessRequestRequired() const {
  return feccRequestState == kRequestKnown && feccPeerState == kFeccAfterPermission;
}

bool PeerFeccHelper::isFeccControlRemoteAllowed() const {
  return feccPeerState == kFeccWithoutAsking ||
         (feccPeerState == kFeccAfterPermission && feccRequestState == kRequestAllowed);
}

bool PeerFeccHelper::isFeccControlLocalAllowed(eFeccState own) const {
  return own == kFeccWithoutAsking || (own == kFeccAfterPermission && feccGrantState == kGrantAllowed);
}

void PeerFeccHelper::setFeccState(eFeccState policy) {
  if (policy == kFeccNotOffered || policy != feccPeerState) feccRequestState = kRequestKnown;
  feccPeerState = policy;
}

const Peer* ConferenceFeccHelper::findPeer(const char* peerId) const {
  if (m_conference == nullptr || peerId == nullptr) return nullptr;
  return static_cast<const HX_Conference*>(m_conference)->getPeer(std::string(peerId));
}

eFeccState ConferenceFeccHelper::getPeerState(const char* peerId) const {
  const Peer* peer = findPeer(peerId);
  return peer != nullptr ? peer->feccPeerState : kFeccNotOffered;
}

bool ConferenceFeccHelper::isAccessRequestRequired(const char* peerId) const {
  const Peer* peer = findPeer(peerId);
  return peer != nullptr && peer->isFeccAccessRequestRequired();
}

bool ConferenceFeccHelper::isControlRemoteAllowed(const char* peerId) const {
  const Peer* peer = findPeer(peerId);
  return peer != nullptr && peer->isFeccControlRemoteAllowed();
}

void ConferenceFeccHelper::setMyState(eFeccState state) {
  if (state != m_myState && m_conference != nullptr) {
    m_conference->forEachPeer([](Peer& peer) { peer.feccGrantState = kGrantNone; });
  }
  FeccParams::setMyState(state);
}

bool ConferenceFeccHelper::processSendCommand(Peer* peer, const FeccCommand& command) {
  switch (command.requestType) {
    case kFeccPolicyRequest:
      if (peer == nullptr) return true;
      if (peer->feccRequestState > kRequestAsked) return false;
      peer->feccRequestState = kRequestAsked;
      return true;
    case kFeccPolicyNotice:
      setMyState(command.value);
      return true;
    case kFeccAccessRequest:
      if (peer == nullptr) return true;
      if (!peer->isFeccAccessRequestRequired()) return false;
      peer->feccRequestState = kRequestPending;
      return true;
    case kFeccAccessAllowed:
      if (peer != nullptr) peer->feccGrantState = kGrantAllowed;
      return true;
    case kFeccAccessDenied:
      if (peer != nullptr) peer->feccGrantState = kGrantDenied;
      return true;
    case kFeccAccessCancel:
      if (peer == nullptr) return false;
      if (peer->feccGrantState == kGrantAsked) peer->feccGrantState = kGrantNone;
      return true;
    case kFeccNeverSent:
      return false;
    default:
      return true;
  }
}

bool ConferenceFeccHelper::processReceivedCommand(FeccCommand& reply, Peer* peer, eFeccRequestType type,
                                                  const HX_Container& message) {
  switch (type) {
    case kFeccPolicyRequest:
      reply = Reply(kFeccPolicyReply, m_myState);
      return false;
    case kFeccPolicyReply:
    case kFeccPolicyNotice: {
      int32_t policy = 0;
      size_t size = sizeof policy;
      if (!message.GetValue("FeccState", HX_CNT_INTEGER_VT, &policy, size)) policy = kFeccNotOffered;
      if (peer == nullptr) return false;
      if (policy == peer->feccPeerState && peer->feccRequestState > kRequestAsked) return false;
      peer->setFeccState(policy);
      return true;
    }
    case kFeccAccessRequest:
      if (m_myState == kFeccWithoutAsking) {
        reply = Reply(kFeccAccessAllowed);
        return false;
      }
      if (m_myState != kFeccAfterPermission || peer == nullptr) {
        reply = Reply(kFeccAccessDenied);
        return false;
      }
      switch (peer->feccGrantState) {
        case kGrantAllowed:
          reply = Reply(kFeccAccessAllowed);
          return false;
        case kGrantDenied:
          reply = Reply(kFeccAccessDenied);
          return false;
        case kGrantAsked:
          // Already before the user: neither answered nor shown again.
          return false;
        default:
          peer->feccGrantState = kGrantAsked;
          return true;
      }
    case kFeccAccessAllowed:
      if (peer == nullptr || peer->isFeccControlRemoteAllowed()) return false;
      peer->feccRequestState = kRequestAllowed;
      return true;
    case kFeccAccessDenied:
      if (peer == nullptr || peer->feccRequestState == kRequestDenied) return false;
      peer->feccRequestState = kRequestDenied;
      return true;
    case kFeccAccessCancel:
      if (peer == nullptr || peer->feccRequestState != kRequestPending) return false;
      peer->feccRequestState = kRequestKnown;
      return true;
    default:
      // A camera command. Without a peer record there is no grant to check, so only a policy
      // that needs none lets it through.
      if (peer == nullptr) return m_myState == kFeccWithoutAsking;
      return peer->isFeccControlLocalAllowed(m_myState);
  }
}

}  // namespace conference
