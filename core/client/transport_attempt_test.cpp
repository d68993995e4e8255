// The attempt record's rules (back-off, CID life, answers by accessibility, last connected
// server) and the derivation of a session's domain from a server id.
#include <gtest/gtest.h>

#include "core/client/transport_attempt.h"
#include "core/client/transport_domain.h"

namespace {

using Info = HX_TransportSessionCtrlInfo;

HX_TransportConnectionParam Param(const std::string& cid, const std::string& host, uint16_t port,
                                  const std::string& sid) {
  HX_TransportConnectionParam param;
  param.setCID(cid);
  param.setServerAddress(host, port);
  param.setSID(sid);
  return param;
}

TEST(TransportAttemptTest, AttemptsAfterTheFifthWaitLongerEachTime) {
  Info info;
  info.startCloudConnection("d");
  EXPECT_EQ(info.counter, -5);
  const uint64_t start = 1000000;
  // Five attempts of the base delay 0: no wait.
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(info.startAttempt());
    EXPECT_EQ(info.scheduleAttempt(start + i), 0u) << i;
    info.setAccessibility(Info::eWaiting);
  }
  EXPECT_EQ(info.counter, 0);
  // The sixth, seventh and eighth wait 500, 750 and 1125 ms after the previous start.
  const uint32_t expected[] = {500, 750, 1125};
  uint64_t previous = start + 4;
  for (uint32_t wait : expected) {
    ASSERT_TRUE(info.startAttempt());
    EXPECT_EQ(info.scheduleAttempt(previous), wait);
    EXPECT_EQ(info.delay, wait);
    info.setAccessibility(Info::eWaiting);
  }
}

TEST(TransportAttemptTest, BackOffGrowsToItsCapAndStaysAboveIt) {
  struct Case {
    int32_t counter;
    uint32_t delay;
    uint32_t next;
  } cases[] = {
      {0, 0, 0},           {0, 800, 800},         {-3, 800, 800},         {1, 0, 500},
      {1, 500, 750},       {2, 750, 1125},        {7, 179999, 180000},    {7, 120000, 180000},
      {7, 180000, 180000}, {7, 200000, 200000},   {1, 800, 1200},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Info::nextDelay(c.counter, c.delay), c.next) << c.counter << " " << c.delay;
  }
}

TEST(TransportAttemptTest, FirstRetryAfterAFailureInAConferenceWaitsItsDelay) {
  Info info;
  info.startServerConnection("h", 1);
  info.delay = 800;  // set when the server was lost during a conference
  ASSERT_TRUE(info.startAttempt());
  EXPECT_EQ(info.scheduleAttempt(5000), 800u);
}

TEST(TransportAttemptTest, OnlyOneAttemptAtATime) {
  Info info;
  info.stopConnection();
  EXPECT_FALSE(info.startAttempt());  // stopped
  info.startServerConnection("h", 1);
  EXPECT_TRUE(info.startAttempt());
  EXPECT_FALSE(info.startAttempt());  // running
  EXPECT_EQ(info.counter, -4);
  info.abandonAttempt();
  EXPECT_EQ(info.getAccessibility(), Info::eWaiting);
  EXPECT_EQ(info.counter, -5);
}

TEST(TransportAttemptTest, AnswerWhileWaitingOrStoppedIsIgnored) {
  for (int32_t access : {Info::eStopped, Info::eWaiting}) {
    Info info;
    info.startServerConnection("h", 1);
    info.setAccessibility(access);
    EXPECT_FALSE(info.serverConnected(Param("c", "h", 1, "s#vcs")));
    EXPECT_EQ(info.params.getCID(), "");
    EXPECT_EQ(info.lastConnectedAddress, "");
  }
  Info info;
  info.startServerConnection("h", 1);
  ASSERT_TRUE(info.startAttempt());
  info.delay = 750;
  ASSERT_TRUE(info.serverConnected(Param("c", "h2", 2, "s#vcs")));
  EXPECT_EQ(info.getAccessibility(), Info::eConnected);
  EXPECT_EQ(info.counter, -5);
  EXPECT_EQ(info.delay, 0u);
  EXPECT_EQ(info.params.getCID(), "c");
  EXPECT_EQ(info.lastConnectedAddress, "h2");
  EXPECT_EQ(info.lastConnectedPort, 2);
  EXPECT_EQ(info.lastConnectedSid, "s#vcs");
}

TEST(TransportAttemptTest, CidLivesThirtySecondsAfterTheLoss) {
  struct Case {
    bool loggedIn;
    long reason;
    uint64_t after;  // seconds between the loss and the check
    uint64_t left;
  } cases[] = {
      {true, -4, 0, 30},   {true, -4, 27, 3},   {true, -4, 25, 5},  {true, -4, 26, 4},
      {true, -4, 30, 0},   {true, -1, 10, 20},  {false, -4, 0, 0},  {true, -3, 0, 0},
      {true, -2, 0, 0},    {true, 5000, 0, 25}, {true, 31000, 0, 0}, {true, 0, 1, 29},
  };
  for (const Case& c : cases) {
    Info info;
    info.startServerConnection("h", 1);
    info.params.setCID("cid");
    const uint64_t lost = 100000;
    info.serverUnavailable(c.loggedIn, c.reason, lost);
    EXPECT_EQ(info.getAccessibility(), Info::eWaiting);
    EXPECT_EQ(info.checkCID(lost + c.after, 30), c.left) << c.loggedIn << " " << c.reason << " " << c.after;
    EXPECT_EQ(info.params.getCID().empty(), c.left == 0);
  }
}

TEST(TransportAttemptTest, ConnectLimitFromTheCidsRemainingLife) {
  struct Case {
    uint64_t left;
    uint64_t limit;
  } cases[] = {{0, 5000}, {1, 1000}, {3, 3000}, {4, 4000}, {5, 3000}, {29, 3000}};
  for (const Case& c : cases) EXPECT_EQ(Info::connectLimitMs(c.left), c.limit) << c.left;
}

TEST(TransportAttemptTest, LastConnectedServerBySidOrAddress) {
  Info info;
  info.startServerConnection("h", 1);
  ASSERT_TRUE(info.startAttempt());
  ASSERT_TRUE(info.serverConnected(Param("c", "host", 4307, "s1#as")));
  EXPECT_TRUE(info.isLastConnected(Param("", "host", 4307, "other")));
  EXPECT_TRUE(info.isLastConnected(Param("", "elsewhere", 80, "s1#as")));
  EXPECT_FALSE(info.isLastConnected(Param("", "host", 80, "other")));
  EXPECT_FALSE(info.isLastConnected(Param("", "HOST", 4307, "other")));
  info.clearLastConnectedServer();
  EXPECT_EQ(info.params.getCID(), "");
  EXPECT_FALSE(info.isLastConnected(Param("", "host", 4307, "other")));
}

TEST(TransportAttemptTest, LoginAndLogoutMoveTheAccessibility) {
  Info info;
  info.startServerConnection("h", 1);
  info.setAccessibility(Info::eConnected);
  EXPECT_TRUE(info.userLoggedIn());
  EXPECT_EQ(info.getAccessibility(), Info::eLoggedIn);
  info.userLoggedOut();
  EXPECT_EQ(info.getAccessibility(), Info::eConnected);
  info.setAccessibility(Info::eWaiting);
  int32_t from = -1;
  EXPECT_TRUE(info.userLoggedIn(&from));  // logged, and still made
  EXPECT_EQ(from, Info::eWaiting);
  EXPECT_EQ(info.getAccessibility(), Info::eLoggedIn);
  info.setAccessibility(Info::eWaiting);
  info.userLoggedOut();  // only 5 becomes 3
  EXPECT_EQ(info.getAccessibility(), Info::eWaiting);
}

TEST(TransportDomainTest, SessionDomainFromServerId) {
  struct Case {
    bool described;
    const char* describedDomain;
    const char* sid;
    const char* address;
    const char* domain;
  } cases[] = {
      {false, "", "a.b.c#as", "vcs2.tcp.b.c", "b.c"},
      {false, "", "a.b.c#as", "a.b.c", "dom.b.c"},
      {false, "", "a.b#as", "a.b", "a.b"},
      {false, "", "a#vcs", "a", "a"},
      {false, "", "a.b.c#vcs", "vcs2.tcp.b.c", "a.b.c"},
      {true, "cloud.example", "s1.cloud.example#as", "10.0.0.1", "cloud.example"},
      {true, "cloud.example", "s1.cloud.example#vcs", "10.0.0.1", "s1.cloud.example"},
      {false, "", "", "h", ""},
  };
  for (const Case& c : cases) {
    const std::string sid = c.sid;
    const bool service = sid.find("#as") != std::string::npos;
    EXPECT_EQ(hx::transport::SessionDomain(c.described, c.describedDomain, service, sid, c.address), c.domain)
        << c.sid << " via " << c.address;
  }
}

}  // namespace
