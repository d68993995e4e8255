// The far-end camera control rules over a real conference and its peers: what may be sent, what
// a received message replies, reports and changes, and the questions the peers' states answer.

#include <gtest/gtest.h>

#include <string>

#include "core/base/container.h"
#include "core/conference/model/conference.h"
#include "core/conference/model/conference_defaults.h"
#include "core/conference/model/peer.h"

namespace {

using conference::ConferenceFeccHelper;
using conference::FeccCommand;
using conference::FeccParams;
using conference::Peer;

const char kPeer[] = "bob@example.com";

// The three per-peer states, in field order.
struct States {
  int32_t request;
  int32_t grant;
  int32_t policy;
  bool operator==(const States&) const = default;
};

std::ostream& operator<<(std::ostream& out, const States& s) {
  return out << "{request " << s.request << ", grant " << s.grant << ", policy " << s.policy << "}";
}

class FeccRules : public ::testing::Test {
 protected:
  FeccRules() : conference_(nullptr, 1, conference::DefaultParams()) {}

  // A helper of `own` policy over the conference, which has the peer when `withPeer`.
  Peer* Prepare(int32_t own, bool withPeer, const States& states) {
    helper_ = std::make_unique<ConferenceFeccHelper>(&conference_, FeccParams(own));
    if (!withPeer) return nullptr;
    Peer* peer = conference_.addPeer(kPeer, 6);
    peer->feccRequestState = states.request;
    peer->feccGrantState = states.grant;
    peer->feccPeerState = states.policy;
    return peer;
  }
  static States Of(const Peer* peer) {
    return {peer->feccRequestState, peer->feccGrantState, peer->feccPeerState};
  }

  HX_Conference conference_;
  std::unique_ptr<ConferenceFeccHelper> helper_;
};

TEST_F(FeccRules, PeerQuestions) {
  struct Row {
    States states;
    bool stateRequest, accessRequest, remoteAllowed;
    bool localAllowedUnder[3];  // own policy 0, 1, 2
  } rows[] = {
      {{0, 0, 0}, true, false, false, {false, true, false}},
      {{1, 0, 2}, true, false, false, {false, true, false}},
      {{2, 0, 2}, false, true, false, {false, true, false}},
      {{2, 0, 1}, false, false, true, {false, true, false}},
      {{2, 0, 0}, false, false, false, {false, true, false}},
      {{3, 0, 2}, false, false, false, {false, true, false}},
      {{4, 4, 2}, false, false, true, {false, true, true}},
      {{4, 4, 0}, false, false, false, {false, true, true}},
      {{5, 5, 2}, false, false, false, {false, true, false}},
      {{4, 3, 1}, false, false, true, {false, true, false}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.states);
    conference::PeerFeccHelper peer{row.states.request, row.states.grant, row.states.policy};
    EXPECT_EQ(peer.isFeccStateRequestRequired(), row.stateRequest);
    EXPECT_EQ(peer.isFeccAccessRequestRequired(), row.accessRequest);
    EXPECT_EQ(peer.isFeccControlRemoteAllowed(), row.remoteAllowed);
    for (int own = 0; own < 3; ++own) {
      EXPECT_EQ(peer.isFeccControlLocalAllowed(own), row.localAllowedUnder[own]);
    }
  }
  // A reported policy: 0 or a change makes it known afresh; the same one keeps the request state.
  struct Report {
    States before;
    int32_t policy;
    States after;
  } reports[] = {
      {{0, 0, 0}, 0, {2, 0, 0}}, {{4, 4, 2}, 2, {4, 4, 2}}, {{4, 4, 2}, 1, {2, 4, 1}},
      {{1, 0, 0}, 2, {2, 0, 2}}, {{5, 0, 0}, 0, {2, 0, 0}}, {{1, 0, 2}, 2, {1, 0, 2}},
  };
  for (const Report& report : reports) {
    SCOPED_TRACE(::testing::Message() << report.before << " reports " << report.policy);
    conference::PeerFeccHelper peer{report.before.request, report.before.grant, report.before.policy};
    peer.setFeccState(report.policy);
    EXPECT_EQ((States{peer.feccRequestState, peer.feccGrantState, peer.feccPeerState}), report.after);
  }
}

TEST_F(FeccRules, ConferenceQuestionsByPeerId) {
  Peer* peer = Prepare(2, true, {2, 0, 2});
  EXPECT_EQ(helper_->getMyState(), 2);  // copied from the parameters
  EXPECT_EQ(helper_->getPeerState(kPeer), 2);
  EXPECT_TRUE(helper_->isAccessRequestRequired(kPeer));
  EXPECT_FALSE(helper_->isControlRemoteAllowed(kPeer));
  peer->feccRequestState = 4;
  EXPECT_TRUE(helper_->isControlRemoteAllowed(kPeer));
  // Ids are exact; an unknown or null id has no states.
  for (const char* other : {"carol@example.com", "BOB@example.com", "", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(other != nullptr ? other : "null");
    peer->feccPeerState = 1;
    EXPECT_EQ(helper_->getPeerState(other), 0);
    EXPECT_FALSE(helper_->isAccessRequestRequired(other));
    EXPECT_FALSE(helper_->isControlRemoteAllowed(other));
  }
}

TEST_F(FeccRules, Sending) {
  struct Row {
    const char* what;
    int32_t own;
    bool withPeer;
    States before;
    int32_t type;
    int32_t value;
    bool goes;
    States after;
    int32_t ownAfter;
  } rows[] = {
      {"policy request asks", 0, true, {0, 0, 0}, 1, 0, true, {1, 0, 0}, 0},
      {"policy request again while asked", 0, true, {1, 0, 0}, 1, 0, true, {1, 0, 0}, 0},
      {"policy request once known: refused", 0, true, {2, 0, 2}, 1, 0, false, {2, 0, 2}, 0},
      {"policy request after a grant: refused", 0, true, {4, 0, 2}, 1, 0, false, {4, 0, 2}, 0},
      {"policy request to nobody", 0, false, {}, 1, 0, true, {}, 0},
      {"policy notice sets the own policy", 0, true, {2, 4, 2}, 3, 2, true, {2, 2, 2}, 2},
      {"policy notice of the same policy keeps grants", 2, true, {2, 4, 2}, 3, 2, true, {2, 4, 2}, 2},
      {"access request to a peer asking permission", 0, true, {2, 0, 2}, 17, 0, true, {3, 0, 2}, 0},
      {"access request to a peer of policy 1: refused", 0, true, {2, 0, 1}, 17, 0, false, {2, 0, 1}, 0},
      {"access request to a peer of policy 0: refused", 0, true, {2, 0, 0}, 17, 0, false, {2, 0, 0}, 0},
      {"access request while one is pending: refused", 0, true, {3, 0, 2}, 17, 0, false, {3, 0, 2}, 0},
      {"access request before the policy is known: refused", 0, true, {1, 0, 2}, 17, 0, false, {1, 0, 2}, 0},
      {"access request to nobody", 0, false, {}, 17, 0, true, {}, 0},
      {"allowing", 2, true, {0, 3, 0}, 18, 0, true, {0, 4, 0}, 2},
      {"denying", 2, true, {0, 3, 0}, 19, 0, true, {0, 5, 0}, 2},
      {"allowing nobody", 2, false, {}, 18, 0, true, {}, 2},
      {"ending a pending request", 2, true, {0, 3, 0}, 20, 0, true, {0, 2, 0}, 2},
      {"ending when nothing is pending", 2, true, {0, 4, 0}, 20, 0, true, {0, 4, 0}, 2},
      {"ending without a peer: refused", 2, false, {}, 20, 0, false, {}, 2},
      {"type 65: refused", 1, true, {4, 4, 1}, 65, 0, false, {4, 4, 1}, 1},
      {"camera command goes", 0, true, {0, 0, 0}, 33, 0, true, {0, 0, 0}, 0},
      {"zoom out goes", 0, true, {5, 5, 0}, 38, 0, true, {5, 5, 0}, 0},
      {"preset goes", 0, false, {}, 82, 3, true, {}, 0},
      {"unnamed type goes", 0, true, {2, 2, 2}, 7, 0, true, {2, 2, 2}, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    conference_.removePeer(kPeer);
    Peer* peer = Prepare(row.own, row.withPeer, row.before);
    FeccCommand command;
    command.requestType = row.type;
    command.value = row.value;
    EXPECT_EQ(helper_->processSendCommand(peer, command), row.goes);
    if (peer != nullptr) EXPECT_EQ(Of(peer), row.after);
    EXPECT_EQ(helper_->getMyState(), row.ownAfter);
  }
}

TEST_F(FeccRules, Receiving) {
  constexpr int kAbsent = -99;  // no "FeccState" in the message
  constexpr int kAsText = -98;  // "FeccState" of another type
  struct Row {
    const char* what;
    int32_t own;
    bool withPeer;
    States before;
    int32_t type;
    int32_t feccState;
    int32_t replyType;  // 0: no reply
    int32_t replyValue;
    bool result;
    States after;
  } rows[] = {
      // A policy request is always answered with the own policy, whatever the states.
      {"policy request under 0", 0, true, {5, 5, 2}, 1, kAbsent, 2, 0, false, {5, 5, 2}},
      {"policy request under 2", 2, true, {0, 0, 0}, 1, kAbsent, 2, 2, false, {0, 0, 0}},
      {"policy request without a peer", 1, false, {}, 1, kAbsent, 2, 1, false, {}},
      // Policy replies and notices.
      {"first policy reply", 0, true, {1, 0, 0}, 2, 2, 0, 0, true, {2, 0, 2}},
      {"same policy again once known", 0, true, {2, 0, 2}, 3, 2, 0, 0, false, {2, 0, 2}},
      {"same policy after a grant", 0, true, {4, 0, 2}, 2, 2, 0, 0, false, {4, 0, 2}},
      {"changed policy resets the request", 0, true, {4, 0, 2}, 3, 1, 0, 0, true, {2, 0, 1}},
      {"policy 0 while asked", 0, true, {1, 0, 0}, 2, 0, 0, 0, true, {2, 0, 0}},
      {"absent policy reads as 0", 0, true, {4, 0, 2}, 3, kAbsent, 0, 0, true, {2, 0, 0}},
      {"policy of another type reads as 0", 0, true, {4, 0, 2}, 3, kAsText, 0, 0, true, {2, 0, 0}},
      {"policy without a peer", 0, false, {}, 2, 2, 0, 0, false, {}},
      // Access requests.
      {"access under 1: allowed, not shown", 1, true, {0, 0, 0}, 17, kAbsent, 18, 0, false, {0, 0, 0}},
      {"access request under 1 without a peer", 1, false, {}, 17, kAbsent, 18, 0, false, {}},
      {"access request under 2: shown", 2, true, {0, 0, 0}, 17, kAbsent, 0, 0, true, {0, 3, 0}},
      {"access request after a policy change", 2, true, {0, 2, 0}, 17, kAbsent, 0, 0, true, {0, 3, 0}},
      {"second access request: nothing", 2, true, {0, 3, 0}, 17, kAbsent, 0, 0, false, {0, 3, 0}},
      {"access request once allowed", 2, true, {0, 4, 0}, 17, kAbsent, 18, 0, false, {0, 4, 0}},
      {"access request once denied", 2, true, {0, 5, 0}, 17, kAbsent, 19, 0, false, {0, 5, 0}},
      {"access request under 0", 0, true, {0, 0, 0}, 17, kAbsent, 19, 0, false, {0, 0, 0}},
      {"access request under 2 without a peer", 2, false, {}, 17, kAbsent, 19, 0, false, {}},
      // Answers to the own access request.
      {"allowed", 0, true, {3, 0, 2}, 18, kAbsent, 0, 0, true, {4, 0, 2}},
      {"allowed again", 0, true, {4, 0, 2}, 18, kAbsent, 0, 0, false, {4, 0, 2}},
      {"allowed by a peer of policy 1", 0, true, {2, 0, 1}, 18, kAbsent, 0, 0, false, {2, 0, 1}},
      {"allowed by a peer of policy 0", 0, true, {2, 0, 0}, 18, kAbsent, 0, 0, true, {4, 0, 0}},
      {"allowed without a peer", 0, false, {}, 18, kAbsent, 0, 0, false, {}},
      {"denied", 0, true, {3, 0, 2}, 19, kAbsent, 0, 0, true, {5, 0, 2}},
      {"denied again", 0, true, {5, 0, 2}, 19, kAbsent, 0, 0, false, {5, 0, 2}},
      {"denied without a peer", 0, false, {}, 19, kAbsent, 0, 0, false, {}},
      {"pending request ended", 0, true, {3, 0, 2}, 20, kAbsent, 0, 0, true, {2, 0, 2}},
      {"nothing pending to end", 0, true, {4, 0, 2}, 20, kAbsent, 0, 0, false, {4, 0, 2}},
      {"ended without a peer", 0, false, {}, 20, kAbsent, 0, 0, false, {}},
      // Camera commands: carried out (true) or refused.
      {"command under 1", 1, true, {0, 0, 0}, 33, kAbsent, 0, 0, true, {0, 0, 0}},
      {"command under 1, denied peer", 1, true, {0, 5, 0}, 34, kAbsent, 0, 0, true, {0, 5, 0}},
      {"command under 2, allowed peer", 2, true, {0, 4, 0}, 35, kAbsent, 0, 0, true, {0, 4, 0}},
      {"command under 2, denied peer", 2, true, {0, 5, 0}, 36, kAbsent, 0, 0, false, {0, 5, 0}},
      {"command under 2 while pending", 2, true, {0, 3, 0}, 37, kAbsent, 0, 0, false, {0, 3, 0}},
      {"command under 0, once allowed", 0, true, {0, 4, 0}, 38, kAbsent, 0, 0, false, {0, 4, 0}},
      {"preset under 2, allowed peer", 2, true, {0, 4, 0}, 81, kAbsent, 0, 0, true, {0, 4, 0}},
      {"unnamed type under 0", 0, true, {0, 4, 0}, 99, kAbsent, 0, 0, false, {0, 4, 0}},
      {"type 65 under 1", 1, true, {0, 0, 0}, 65, kAbsent, 0, 0, true, {0, 0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    conference_.removePeer(kPeer);
    Peer* peer = Prepare(row.own, row.withPeer, row.before);
    HX_Container message;
    message.AddValue("FeccType", row.type);
    if (row.feccState == kAsText) {
      message.AddValue("FeccState", "2");
    } else if (row.feccState != kAbsent) {
      message.AddValue("FeccState", row.feccState);
    }
    FeccCommand reply;
    EXPECT_EQ(helper_->processReceivedCommand(reply, peer, row.type, message), row.result);
    EXPECT_EQ(reply.requestType, row.replyType);
    EXPECT_EQ(reply.value, row.replyValue);
    if (peer != nullptr) EXPECT_EQ(Of(peer), row.after);
    EXPECT_EQ(helper_->getMyState(), row.own);
  }
}

// A camera command whose sender has no peer record in the conference has no grant to check: it
// is carried out only under a policy that needs none.
TEST_F(FeccRules, CameraCommandFromUnknownSenderOnlyUnderPolicy1) {
  for (int32_t own : {0, 1, 2, 5}) {
    for (int32_t type : {33, 36, 38, 81, 82, 7}) {
      SCOPED_TRACE(::testing::Message() << "policy " << own << ", type " << type);
      Prepare(own, false, {});
      HX_Container message;
      FeccCommand reply;
      EXPECT_EQ(helper_->processReceivedCommand(reply, nullptr, type, message), own == 1);
      EXPECT_EQ(reply.requestType, 0);
    }
  }
}

TEST_F(FeccRules, OwnPolicyChangeWithdrawsEveryGrant) {
  helper_ = std::make_unique<ConferenceFeccHelper>(&conference_, FeccParams(2));
  Peer* allowed = conference_.addPeer("a@x", 6);
  Peer* asking = conference_.addPeer("b@x", 6);
  Peer* denied = conference_.addPeer("c@x", 6);
  allowed->feccGrantState = 4;
  asking->feccGrantState = 3;
  denied->feccGrantState = 5;
  allowed->feccRequestState = 4;
  HX_Container command;
  FeccCommand reply;
  EXPECT_TRUE(helper_->processReceivedCommand(reply, allowed, 33, command));

  helper_->setMyState(2);  // the same policy: nothing withdrawn
  EXPECT_EQ(allowed->feccGrantState, 4);
  helper_->setMyState(1);
  helper_->setMyState(2);
  for (const Peer* peer : {allowed, asking, denied}) EXPECT_EQ(peer->feccGrantState, 2);
  EXPECT_EQ(allowed->feccRequestState, 4);  // what this side was granted stays
  // The once-allowed peer must ask again.
  EXPECT_FALSE(helper_->processReceivedCommand(reply, allowed, 33, command));
  EXPECT_TRUE(helper_->processReceivedCommand(reply, allowed, 17, command));
  EXPECT_EQ(allowed->feccGrantState, 3);

  // Through the conference's base, as a policy notice sends it.
  FeccParams& params = *helper_;
  allowed->feccGrantState = 4;
  params.setMyState(0);
  EXPECT_EQ(allowed->feccGrantState, 2);
  EXPECT_EQ(helper_->getMyState(), 0);
}

TEST_F(FeccRules, DefaultsOfANewConference) {
  conference::DefaultParams defaults;
  EXPECT_FALSE(defaults.common.audioOnly);
  EXPECT_EQ(defaults.common.value, 0);
  unsigned second = 7;
  EXPECT_EQ(defaults.common.getMcastRedundancy(&second), 1u);
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(defaults.fecc.getMyState(), 0);
  defaults.common.setMcastRedundancy(3, 2);
  defaults.fecc.setMyState(2);
  HX_Conference made(nullptr, 2, defaults);
  EXPECT_EQ(made.getMcastRedundancy(&second), 3u);
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(made.getMcastRedundancy(), 3u);
  const ConferenceFeccHelper helper(&made, defaults.fecc);
  EXPECT_EQ(helper.getMyState(), 2);
}

}  // namespace
