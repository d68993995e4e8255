// The client application object at run time, driven directly: the coarse state's rules over the
// transport session's states and the conference counts (on the real conference store), the
// own presence status, server-sent limits, conference limits, calls (on the real store, with the
// network loop's worker pool running the scheduled jobs) and the network settings. The stand-ins of
// the services not built yet record what they were asked.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/base/call_record.h"
#include "core/base/container.h"
#include "core/client/best_media_format.h"
#include "core/client/console_client.h"
#include "core/client/network_rate.h"
#include "core/conference/conf_manager.h"
#include "core/contacts/contact_managers.h"
#include "core/media/format/media_format_adapter.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/common_socket.h"
#include "core/streams/sender_base.h"
#include "testing/test_console_client.h"
#include "testing/test_support.h"

namespace {

using hx::testing::TestConsoleClient;
using S = HX_TransportSession::State;

constexpr int kWaitMs = 10000;

// Records every step of the coarse state and the thread of each call-flow operation.
class RunClient : public TestConsoleClient {
 public:
  std::vector<int> Steps() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_steps;
  }
  void ClearSteps() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_steps.clear();
  }
  HX_ConfStorage* store() { return confManager()->confStorage(); }
  // How often the contacts manager took every contact offline.
  size_t OfflineRebuilds() { return m_offlineRebuilds.load(); }
  void CountOfflineRebuilds() { contactsManager()->beginContactListUpdate.Connect(this, &RunClient::OnListBegin); }
  std::vector<std::string> Helper() { return m_helperCalls.Calls(); }
  std::thread::id HelperThread() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_helperThread;
  }

  // Walks the session through `states` from wherever it is, each change running the rules.
  void Walk(const std::vector<int32_t>& states) {
    for (int32_t state : states) setStateTrs(state);
  }
  // A requested conference of the own user; its id.
  int32_t Requested(HX_Conference_Type type = 5) {
    ConferenceLock lock;
    EXPECT_TRUE(store()->storageRequestCreateConferenceLock(lock, "room", "", "me@test.invalid", 16, 0, type, 0, 0,
                                                            nullptr, false));
    return lock ? lock->getId() : 0;
  }
  // A joined conference confirmed as `sid`; its id.
  int32_t Joined(const std::string& sid, HX_Conference_Type type = 5) {
    const int32_t id = Requested(type);
    {
      ConferenceLock lock;
      EXPECT_TRUE(store()->getConferenceLock(lock, id));
      EXPECT_TRUE(store()->storageCreateConferenceCommit(lock, sid.c_str(), 1));
    }
    ConferenceLock lock;
    EXPECT_TRUE(store()->getConferenceLock(lock, id));
    lock->setState(lock, conference::kStateJoined);
    return id;
  }
  // Conferences that are neither deleted nor gone.
  unsigned Open() {
    unsigned requested = 0, joined = 0, deleted = 0;
    store()->getConferenceCount(requested, joined, deleted);
    return requested + joined;
  }

  // The call flow's own steps are the helper's tests; here they are only recorded.
  bool AcceptPeer(const std::string& peer, int32_t id) override {
    Note();
    m_helperCalls.Record("AcceptPeer", peer, id);
    return true;
  }
  void OpenConferenceP2P(std::string peer, std::string sid, std::string key) override {
    Note();
    m_helperCalls.Record("OpenConferenceP2P", peer, sid, key);
  }
  void OpenConferenceMulti(std::string sid, std::string key) override {
    Note();
    m_helperCalls.Record("OpenConferenceMulti", sid, key);
  }
  HXCapabilites _GetCapabilites(HX_Conference* conference, bool group) override {
    Record(std::string("_GetCapabilites ") + (conference != nullptr ? conference->getSID() : "") +
           (group ? " true" : " false"));
    HXCapabilites caps;
    caps.level = 40;
    caps.screenWidthLimit = 1280;
    caps.screenHeightLimit = 720;
    caps.videoCodecs = {0x30387670};
    return caps;
  }

  using HXConsoleClient::OnAccept;
  using HXConsoleClient::OnConferenceJoinResult;
  using HXConsoleClient::OnRestrictBitrateReceived;
  using HXConsoleClient::OnUpdateConnectionInfo;

  void OnFSMStateChanged(hx::fsm newState, hx::fsm oldState) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_steps.push_back(static_cast<int>(newState));
    }
    HXConsoleClient::OnFSMStateChanged(newState, oldState);
  }

 private:
  void Note() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_helperThread = std::this_thread::get_id();
  }
  std::mutex m_mutex;
  std::vector<int> m_steps;
  std::thread::id m_helperThread;
  hx::CallRecord m_helperCalls;
  std::atomic<size_t> m_offlineRebuilds{0};
  void OnListBegin(bool, bool offline) {
    if (offline) m_offlineRebuilds.fetch_add(1);
  }
};

class ConsoleClientRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client = std::make_unique<RunClient>();
    client->CreateApplication();
  }
  void TearDown() override {
    // Jobs point at the client object: the loop goes first.
    HXZServer* loop = client->networkServer();
    if (loop->isRunning()) {
      loop->Shutdown();
      loop->Wait4Done();
    }
    client.reset();
    hx::network::ResetRates();
  }
  void StartLoop() { ASSERT_EQ(client->networkServer()->startServerLoop(), 0); }

  std::unique_ptr<RunClient> client;
};

// Every rule of the session-state reaction, each case on a client object of its own walking the
// session from 0 through `before` (joining a conference on reaching state 5 when asked), then
// making the one change `to`.
TEST_F(ConsoleClientRunTest, SessionStateRules) {
  enum Conference { kNone, kJoined };
  const struct Case {
    const char* name;
    std::vector<int32_t> before;
    Conference conference;
    int32_t to;
    int expected;
    std::vector<int> steps;  // emitted during the change
    bool closed;             // the joined conference was closed
    bool peersOffline;       // DisablePeersFromCache
    // clang-format off
  } cases[] = {
      {"0->1 starts", {}, kNone, S::eConnecting, 1, {1}, false, false},
      {"0->2 starts too", {}, kNone, S::eConnectingAutoLogin, 1, {1}, false, false},
      {"1->3 connected", {S::eConnecting}, kNone, S::eConnected, 2, {2}, false, false},
      {"2->4 connected, logging in", {S::eConnectingAutoLogin}, kNone, S::eLoggingIn, 2, {2}, false, false},
      {"3->4 changes nothing", {S::eConnecting, S::eConnected}, kNone, S::eLoggingIn, 2, {}, false, false},
      {"4->5 logged in", {S::eConnecting, S::eConnected, S::eLoggingIn}, kNone, S::eLoggedIn, 3, {3}, false, false},
      {"3->5 logged in", {S::eConnecting, S::eConnected}, kNone, S::eLoggedIn, 3, {3}, false, false},
      {"5->2 steps down, peers offline", {S::eConnecting, S::eConnected, S::eLoggedIn}, kNone,
       S::eConnectingAutoLogin, 1, {2, 1}, false, true},
      {"5->1 steps down", {S::eConnecting, S::eConnected, S::eLoggedIn}, kNone, S::eConnecting, 1, {2, 1}, false,
       false},
      {"3->1", {S::eConnecting, S::eConnected}, kNone, S::eConnecting, 1, {1}, false, false},
      {"4->2 peers offline", {S::eConnectingAutoLogin, S::eLoggingIn}, kNone, S::eConnectingAutoLogin, 1, {1}, false,
       true},
      {"5->3 logged out", {S::eConnecting, S::eConnected, S::eLoggedIn}, kNone, S::eConnected, 2, {2}, false, false},
      {"5->0 stops", {S::eConnecting, S::eConnected, S::eLoggedIn}, kNone, S::eNoConnection, 0, {2, 1, 0}, false,
       false},
      // A joined conference: connection changes leave the state alone; a logout or a stop closes it.
      {"joined, 5->3 closes and logs out", {S::eConnecting, S::eConnected, S::eLoggedIn}, kJoined, S::eConnected, 2,
       {4, 3, 2}, true, false},
      {"joined, 5->2 keeps the call", {S::eConnecting, S::eConnected, S::eLoggedIn}, kJoined,
       S::eConnectingAutoLogin, 5, {}, false, true},
      {"joined, 5->4 keeps the call", {S::eConnecting, S::eConnected, S::eLoggedIn}, kJoined, S::eLoggingIn, 5, {},
       false, false},
      {"joined, back 2->4 after a loss", {S::eConnecting, S::eConnected, S::eLoggedIn, S::eConnectingAutoLogin},
       kJoined, S::eLoggingIn, 5, {}, false, false},
      {"joined, back 4->5 after a loss",
       {S::eConnecting, S::eConnected, S::eLoggedIn, S::eConnectingAutoLogin, S::eLoggingIn}, kJoined, S::eLoggedIn,
       5, {}, false, false},
      {"joined, 5->0 closes and stops", {S::eConnecting, S::eConnected, S::eLoggedIn}, kJoined, S::eNoConnection, 0,
       {4, 3, 2, 1, 0}, true, false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto one = std::make_unique<RunClient>();
    one->CreateApplication();
    bool joinedYet = false;
    for (int32_t state : c.before) {
      one->setStateTrs(state);
      if (c.conference == kJoined && state == S::eLoggedIn && !joinedYet) {
        one->Joined("conf@test.invalid");
        joinedYet = true;
        ASSERT_EQ(one->getFSM()->GetFSMState(), hx::fsm::in_conference);
      }
    }
    const unsigned openBefore = one->Open();
    one->ClearSteps();
    one->CountOfflineRebuilds();
    const size_t offlineBefore = one->OfflineRebuilds();
    one->setStateTrs(c.to);
    EXPECT_EQ(static_cast<int>(one->getFSM()->GetFSMState()), c.expected);
    EXPECT_EQ(one->Steps(), c.steps);
    if (c.conference == kJoined) EXPECT_EQ(one->Open(), c.closed ? openBefore - 1 : openBefore);
    EXPECT_EQ(one->OfflineRebuilds() - offlineBefore, c.peersOffline ? 1u : 0u);
  }
}

// The conference counts against the session state T and the coarse state S: the target state and
// whether the conferences are closed (seen on one requested conference put in the store first).
TEST_F(ConsoleClientRunTest, ConferenceCountRules) {
  const struct Case {
    const char* name;
    std::vector<int32_t> path;  // the session's states from 0
    hx::fsm state;
    uint32_t requested, joined, deleted;
    hx::fsm expected;
    bool cleanup;
    // clang-format off
  } cases[] = {
      {"logged in, one requested", {S::eConnecting, S::eConnected, S::eLoggedIn}, hx::fsm::logged_in, 1, 0, 0,
       hx::fsm::conference_pending, false},
      {"pending, joined", {S::eConnecting, S::eConnected, S::eLoggedIn}, hx::fsm::conference_pending, 0, 1, 0,
       hx::fsm::in_conference, false},
      {"logged in, two joined", {S::eConnecting, S::eConnected, S::eLoggedIn}, hx::fsm::logged_in, 0, 2, 0,
       hx::fsm::in_conference, false},
      {"in conference, three joined", {S::eConnecting, S::eConnected, S::eLoggedIn}, hx::fsm::in_conference, 0, 3, 0,
       hx::fsm::in_conference, false},
      {"joined, being deleted", {S::eConnecting, S::eConnected, S::eLoggedIn}, hx::fsm::in_conference, 0, 0, 1,
       hx::fsm::conference_pending, false},
      {"deleted and gone", {S::eConnecting, S::eConnected, S::eLoggedIn}, hx::fsm::conference_pending, 0, 0, 0,
       hx::fsm::logged_in, false},
      {"drop from 5 while joined stays", {S::eConnecting, S::eConnected}, hx::fsm::in_conference, 0, 1, 0,
       hx::fsm::in_conference, false},
      {"drop from 5 to connected", {S::eConnecting, S::eConnected}, hx::fsm::in_conference, 0, 0, 1,
       hx::fsm::connected, true},
      {"drop from 5 to connected, nothing left", {S::eConnecting, S::eConnected}, hx::fsm::in_conference, 0, 0, 0,
       hx::fsm::connected, false},
      {"drop from 5 to not connected", {S::eConnecting}, hx::fsm::in_conference, 1, 0, 0, hx::fsm::disconnected,
       true},
      {"drop from 5 to stopped", {}, hx::fsm::in_conference, 0, 0, 2, hx::fsm::stopped, true},
      {"ignored below 3: connected", {S::eConnecting, S::eConnected}, hx::fsm::connected, 0, 1, 0,
       hx::fsm::connected, false},
      {"ignored below 3: not connected", {S::eConnecting}, hx::fsm::disconnected, 1, 0, 0, hx::fsm::disconnected,
       false},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto one = std::make_unique<RunClient>();
    one->CreateApplication();
    one->Walk(c.path);
    // A requested conference while the state is below 3, so that its own count change is ignored.
    one->getFSM()->SetFSMState(hx::fsm::stopped);
    one->Requested();
    ASSERT_EQ(one->Open(), 1u);
    one->getFSM()->SetFSMState(c.state);
    one->onConfCountChange(c.requested, c.joined, c.deleted);
    EXPECT_EQ(one->getFSM()->GetFSMState(), c.expected);
    EXPECT_EQ(one->Open(), c.cleanup ? 0u : 1u);
  }
}

// A change that lost the race to another one cleans nothing up.
TEST_F(ConsoleClientRunTest, ConferenceCountChangeThatLostTheRaceCleansNothing) {
  client->Walk({S::eConnecting, S::eConnected});
  client->getFSM()->SetFSMState(hx::fsm::stopped);
  client->Requested();
  client->getFSM()->SetFSMState(hx::fsm::in_conference);
  // Another thread moves the state while this reaction runs: the first step's listener does it.
  struct Racer {
    HXFSMShared* fsm;
    bool done = false;
    void On(hx::fsm newState, hx::fsm) {
      if (!done && newState == hx::fsm::conference_pending) {
        done = true;
        fsm->SetFSMState(hx::fsm::stopped);
      }
    }
  } racer{client->getFSM()};
  client->getFSM()->stateChanged.Connect(&racer, &Racer::On);
  client->onConfCountChange(0, 0, 1);
  EXPECT_EQ(client->getFSM()->GetFSMState(), hx::fsm::stopped);
  EXPECT_EQ(client->Open(), 1u);
  client->getFSM()->stateChanged.Disconnect(&racer, &Racer::On);
}

// The own presence status on the states 3 and 5, published only while the session is logged in.
TEST_F(ConsoleClientRunTest, OwnPresenceStatusFollowsTheState) {
  HXFSMShared* fsm = client->getFSM();
  client->OnFSMStateChanged(hx::fsm::connected, hx::fsm::logged_in);
  // Not logged in: nothing is published and the own status stays.
  client->OnFSMStateChanged(hx::fsm::logged_in, hx::fsm::connected);
  EXPECT_EQ(fsm->GetMyStatus(), USER_STATUS_UNDEF);
  EXPECT_FALSE(client->presenceManager()->UpdateStatus(USER_BUSY, nullptr, true));
  EXPECT_EQ(fsm->GetMyStatus(), USER_STATUS_UNDEF);

  client->Walk({S::eConnecting, S::eConnected, S::eLoggedIn});
  fsm->SetMyStatus(USER_STATUS_UNDEF);
  client->OnFSMStateChanged(hx::fsm::logged_in, hx::fsm::connected);
  EXPECT_EQ(fsm->GetMyStatus(), USER_AVAIL);
  fsm->SetMyStatus(USER_STATUS_UNDEF);
  client->OnFSMStateChanged(hx::fsm::conference_pending, hx::fsm::logged_in);
  EXPECT_EQ(fsm->GetMyStatus(), USER_STATUS_UNDEF);

  // In a private call: busy.
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->storageCreateForeignConferenceLock(
        lock, "p2p@test.invalid", "call", "", "peer@test.invalid", 2, 0, 0, 0, 0, nullptr, false));
  }
  client->OnFSMStateChanged(hx::fsm::in_conference, hx::fsm::conference_pending);
  EXPECT_EQ(fsm->GetMyStatus(), USER_BUSY);
  // In a group conference as an operator: multi-host; as a plain participant (its owner too):
  // busy.
  client->store()->closeAllConferences();
  client->store()->StorageClean();
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->storageCreateForeignConferenceLock(
        lock, "room@test.invalid", "room", "", "owner@test.invalid", 16, 0, 6, 0, 0, nullptr, false));
    lock->ownInfo().flags |= conference::ParticipantInfoHolder::kOperator;
  }
  client->OnFSMStateChanged(hx::fsm::in_conference, hx::fsm::conference_pending);
  EXPECT_EQ(fsm->GetMyStatus(), USER_MULTIHOST);
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->getConferenceLock(lock, std::string("room@test.invalid")));
    lock->ownInfo().flags &= ~conference::ParticipantInfoHolder::kOperator;
    lock->ownInfo().flags |= conference::ParticipantInfoHolder::kOwner;
  }
  client->OnFSMStateChanged(hx::fsm::in_conference, hx::fsm::conference_pending);
  EXPECT_EQ(fsm->GetMyStatus(), USER_BUSY);
}

TEST_F(ConsoleClientRunTest, ServerResolutionLimit) {
  const struct {
    const char* value;
    uint32_t width, height;
    // clang-format off
  } cases[] = {
      {"1280x720", 1280, 720}, {"1280x721", 0, 0}, {"32x32", 0, 0},     {"2048x2048", 2048, 2048},
      {"2056x720", 0, 0},      {"64x64", 64, 64},  {"1280x", 0, 0},     {"1280", 0, 0},
      {"x720", 0, 0},          {"", 0, 0},         {"-1280x720", 0, 0}, {"99999999999999999999x720", 0, 0},
      {"1280x720junk", 1280, 720},
  };
  // clang-format on
  HX_MediaFormatManagerAdapter* adapter = client->mediaFormatManager().get();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    adapter->SetResolutionServerLimit(8, 8);
    HX_Container properties;
    properties.AddValue("AllowedByServerMaxWxH", c.value);
    client->SetServerPropertyContainer(properties);
    EXPECT_EQ(adapter->GetSrvResolutionLimit(), c.width << 16 | c.height);
  }
}

TEST_F(ConsoleClientRunTest, ServerBitRateAndFrameRateLimits) {
  const struct {
    const char* bw;
    const char* fps;
    int32_t bwLimit, fpsLimit;
    // clang-format off
  } cases[] = {
      {"1500", "25", 1500, 25},   {nullptr, nullptr, 0, 0},  {"", "", 0, 0},          {"abc", "12abc", 0, 12},
      {"-5", "-1", 0, 0},         {"99999999999", "7", 0, 7}, {"2147483647", "0", 2147483647, 0},
  };
  // clang-format on
  HX_MediaFormatManagerAdapter* adapter = client->mediaFormatManager().get();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.bw != nullptr ? c.bw : "(absent)") + " / " + (c.fps != nullptr ? c.fps : "(absent)"));
    HX_Container properties;
    properties.AddValue("AllowedByServerMaxWxH", "640x480");
    if (c.bw != nullptr) properties.AddValue("AllowedByServerMaxBW", c.bw);
    if (c.fps != nullptr) properties.AddValue("AllowedByServerMaxFPS", c.fps);
    client->SetServerPropertyContainer(properties);
    EXPECT_EQ(adapter->GetSrvUpLimit(), c.bwLimit);
    EXPECT_EQ(adapter->GetSrvFpsLimit(), c.fpsLimit);
  }
}

TEST_F(ConsoleClientRunTest, RightsSwitchHdInput) {
  HX_MediaFormatManagerAdapter* adapter = client->mediaFormatManager().get();
  client->OnRightsUpdated(1048576 | 0x11);
  EXPECT_TRUE(adapter->GetAllowHD());
  client->OnRightsUpdated(0x11);
  EXPECT_FALSE(adapter->GetAllowHD());
}

TEST_F(ConsoleClientRunTest, ConferenceLimitSets) {
  HX_MediaFormatManagerAdapter* adapter = client->mediaFormatManager().get();
  auto limits = [adapter] {
    return std::vector<int64_t>{adapter->GetCnfUpLimit(),
                                adapter->GetCnfVideoUpLimit(),
                                adapter->GetCnfDsUpLimit(),
                                adapter->GetCnfBaseUpLimit(),
                                adapter->GetCnfBaseMaxUpLimit(),
                                adapter->GetCnfFpsLimit(),
                                adapter->GetCnfVideoResolutionLimit(),
                                adapter->GetCnfDsResolutionLimit()};
  };
  client->PrepareConferenceLimits(true);
  EXPECT_EQ(limits(), (std::vector<int64_t>{20480, 640, 640, 640, 640, 1500, 3600, 8100}));
  // The private set leaves the picture-size limits as they are.
  client->PrepareConferenceLimits(false);
  EXPECT_EQ(limits(), (std::vector<int64_t>{20480, 20480, 20480, 20480, 20480, 6000, 3600, 8100}));
}

// The server's restriction: each non-zero field reaches its setter; values the adapter cannot
// take (negative rates, a frame rate whose x100 overflows) lift nothing.
TEST_F(ConsoleClientRunTest, ServerBitRateRestriction) {
  HX_MediaFormatManagerAdapter* adapter = client->mediaFormatManager().get();
  client->PrepareConferenceLimits(true);
  conference::ServerBitrateControl control;
  control.videoLimit = 300;
  control.fpsLimit = 12;
  client->OnRestrictBitrateReceived(control);
  EXPECT_EQ(adapter->GetCnfVideoUpLimit(), 300);
  EXPECT_EQ(adapter->GetCnfFpsLimit(), 1200);
  EXPECT_EQ(adapter->GetCnfUpLimit(), 20480);  // 0: not restricted, left alone
  EXPECT_EQ(adapter->GetCnfVideoResolutionLimit(), 3600);

  control = conference::ServerBitrateControl{100, 200, 300, 400, 500, 6, 700, 800};
  client->OnRestrictBitrateReceived(control);
  EXPECT_EQ(adapter->GetCnfBaseUpLimit(), 100);
  EXPECT_EQ(adapter->GetCnfBaseMaxUpLimit(), 200);
  EXPECT_EQ(adapter->GetCnfVideoUpLimit(), 300);
  EXPECT_EQ(adapter->GetCnfDsUpLimit(), 400);
  EXPECT_EQ(adapter->GetCnfUpLimit(), 500);
  EXPECT_EQ(adapter->GetCnfFpsLimit(), 600);
  EXPECT_EQ(adapter->GetCnfVideoResolutionLimit(), 700u);
  EXPECT_EQ(adapter->GetCnfDsResolutionLimit(), 800u);

  // A peer's uniform value from 2^31 on reads negative: nothing changes.
  client->OnRestrictBitrateReceived(conference::ServerBitrateControl::Uniform(static_cast<int32_t>(0x80000010u)));
  EXPECT_EQ(adapter->GetCnfUpLimit(), 500);
  EXPECT_EQ(adapter->GetCnfBaseUpLimit(), 100);
  // A frame rate whose hundredfold does not fit: the largest limit the adapter takes.
  control = conference::ServerBitrateControl{};
  control.fpsLimit = std::numeric_limits<int32_t>::max();
  client->OnRestrictBitrateReceived(control);
  EXPECT_EQ(adapter->GetCnfFpsLimit(), std::numeric_limits<int32_t>::max());
  // Through the conference service's signal.
  client->confManager()->RestrictBitrateSignal.Emit(conference::ServerBitrateControl::Uniform(256));
  EXPECT_EQ(adapter->GetCnfUpLimit(), 256);
  EXPECT_EQ(adapter->GetCnfBaseMaxUpLimit(), 256);
  EXPECT_EQ(adapter->GetCnfFpsLimit(), std::numeric_limits<int32_t>::max());
}

TEST_F(ConsoleClientRunTest, AcceptFindsTheConferenceAndThePeer) {
  StartLoop();
  // No conference at all.
  EXPECT_FALSE(client->Accept("peer@test.invalid", "conf@test.invalid"));
  EXPECT_FALSE(client->Accept("", ""));
  int32_t id = 0;
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->storageCreateForeignConferenceLock(
        lock, "conf@test.invalid", "room", "", "owner@test.invalid", 16, 0, 5, 0, 0, nullptr, false));
    id = lock->getId();
    lock->addPeer("a@test.invalid", 0);
    lock->addPeer("b@test.invalid", 0);
  }
  const struct {
    const char* peer;
    const char* conference;
    const char* accepted;
    // clang-format off
  } cases[] = {
      {"b@test.invalid", "conf@test.invalid", "b@test.invalid"},
      // An unknown conference name: the active conference.
      {"a@test.invalid", "nosuch@test.invalid", "a@test.invalid"},
      {"a@test.invalid", "", "a@test.invalid"},
      // Not a peer of the group conference: its owner.
      {"stranger@test.invalid", "conf@test.invalid", "owner@test.invalid"},
      {"", nullptr, "owner@test.invalid"},
  };
  // clang-format on
  size_t expected = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + " in " + (c.conference != nullptr ? c.conference : "(null)"));
    ASSERT_TRUE(client->Accept(c.peer, c.conference));
    ++expected;
    ASSERT_TRUE(hx::testing::WaitFor([&] { return client->Helper().size() == expected; }, kWaitMs));
    EXPECT_EQ(client->Helper().back(), "AcceptPeer " + std::string(c.accepted) + " " + std::to_string(id));
    // Run by the worker pool, not by the caller.
    EXPECT_NE(client->HelperThread(), std::this_thread::get_id());
  }
}

TEST_F(ConsoleClientRunTest, AcceptOfAPrivateCallTakesItsSolePeerOnlyOnceVerified) {
  StartLoop();
  int32_t id = 0;
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->storageCreateForeignConferenceLock(
        lock, "p2p@test.invalid", "call", "", "caller@test.invalid", 2, 0, 0, 0, 0, nullptr, false));
    id = lock->getId();
    // The caller is the conference's owner, and with that its sole peer.
    ASSERT_EQ(lock->peers().size(), 1u);
    lock->flagAnd(~HX_Conference::kFlagVerified);
  }
  // Not verified, not a group conference: nobody to accept, nothing scheduled.
  EXPECT_FALSE(client->Accept("someone@test.invalid", "p2p@test.invalid"));
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->getConferenceLock(lock, id));
    lock->flagOr(HX_Conference::kFlagVerified);
  }
  ASSERT_TRUE(client->Accept("someone@test.invalid", "p2p@test.invalid"));
  ASSERT_TRUE(hx::testing::WaitFor([&] { return client->Helper().size() == 1; }, kWaitMs));
  EXPECT_EQ(client->Helper()[0], "AcceptPeer caller@test.invalid " + std::to_string(id));
}

// Without a running network loop nothing can run the job: Accept says so rather than leaving a
// job behind that could outlive the client object.
TEST_F(ConsoleClientRunTest, AcceptWithoutTheLoopSchedulesNothing) {
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->storageCreateForeignConferenceLock(
        lock, "conf@test.invalid", "room", "", "owner@test.invalid", 16, 0, 5, 0, 0, nullptr, false));
  }
  EXPECT_FALSE(client->Accept("", "conf@test.invalid"));
  EXPECT_TRUE(client->Helper().empty());
}

TEST_F(ConsoleClientRunTest, AcceptedCallOpensThePrivateCall) {
  StartLoop();
  HX_MediaFormatManagerAdapter* adapter = client->mediaFormatManager().get();
  client->OnAccept("peer@test.invalid", "Peer", "p2p@test.invalid", "stream-key");
  ASSERT_TRUE(hx::testing::WaitFor([&] { return client->Helper().size() == 1; }, kWaitMs));
  EXPECT_EQ(client->Helper()[0], "OpenConferenceP2P peer@test.invalid p2p@test.invalid stream-key");
  EXPECT_NE(client->HelperThread(), std::this_thread::get_id());
  EXPECT_EQ(adapter->GetCnfVideoUpLimit(), 20480);
  EXPECT_EQ(adapter->GetCnfFpsLimit(), 6000);
  // Through the conference service's signal (peer, display name, SID, key).
  client->confManager()->AcceptReceivedSignal.Emit("other@test.invalid", "Other", "p2p2@test.invalid",
                                                   "key2");
  ASSERT_TRUE(hx::testing::WaitFor([&] { return client->Helper().size() == 2; }, kWaitMs));
  EXPECT_EQ(client->Helper()[1], "OpenConferenceP2P other@test.invalid p2p2@test.invalid key2");
}

TEST_F(ConsoleClientRunTest, JoinResultAsksTheCapabilitiesPathInOrder) {
  StartLoop();
  client->SetLogin("me@test.invalid");
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->storageCreateForeignConferenceLock(
        lock, "room@test.invalid", "room", "", "owner@test.invalid", 16, 0, 6, 0, 0, nullptr, false));
    lock->setSvcMode(3);
  }
  HX_BestMediaFormat* formats = client->mediaSelector().get();
  // A failed join, or one for a conference the store does not hold, does nothing.
  client->OnConferenceJoinResult("room@test.invalid", "room", "key", 5);
  client->OnConferenceJoinResult("gone@test.invalid", "room", "key", 0);
  client->OnConferenceJoinResult(nullptr, "room", "key", 0);
  EXPECT_EQ(client->HookCount("_GetCapabilites room@test.invalid true"), 0u);
  EXPECT_EQ(client->mediaFormatManager()->GetCnfFpsLimit(), 0);

  client->OnConferenceJoinResult("room@test.invalid", "room", "key", 0);
  EXPECT_EQ(client->HookCount("_GetCapabilites room@test.invalid true"), 1u);
  const HX_ClientCaps own = formats->GetPeerMediaFormat("me@test.invalid").caps;
  EXPECT_EQ(own.m_level, 40);
  int32_t width = 0, height = 0;
  own.GetResolutionLimit(width, height);
  EXPECT_EQ(width, 1280);
  EXPECT_EQ(height, 720);
  // The conference's format: a participant's stream in a multicast conference carries its SVC mode.
  EXPECT_EQ(formats->GetMediaFormat("me@test.invalid", "owner@test.invalid", 6, nullptr).svcMode, 3u);
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->getConferenceLock(lock, std::string("room@test.invalid")));
    EXPECT_EQ(lock->getMyCaps().level, 40);
  }
  // The group limits, then the job that opens the conference.
  EXPECT_EQ(client->mediaFormatManager()->GetCnfFpsLimit(), 1500);
  ASSERT_TRUE(hx::testing::WaitFor([&] { return client->Helper().size() == 1; }, kWaitMs));
  EXPECT_EQ(client->Helper()[0], "OpenConferenceMulti room@test.invalid key");
  EXPECT_NE(client->HelperThread(), std::this_thread::get_id());
  // No key: "".
  client->OnConferenceJoinResult("room@test.invalid", "room", nullptr, 0);
  ASSERT_TRUE(hx::testing::WaitFor([&] { return client->Helper().size() == 2; }, kWaitMs));
  EXPECT_EQ(client->Helper()[1], "OpenConferenceMulti room@test.invalid ");
}

// The conference is hung up (closed) and no longer counts as joined; the answer says whether
// the deletion ran here, which the hang-up may have taken over.
TEST_F(ConsoleClientRunTest, StreamUnavailableHangsUpAndDeletes) {
  ConferenceLock lock;
  ASSERT_TRUE(client->store()->storageCreateForeignConferenceLock(lock, "one@test.invalid", "room", "",
                                                                  "owner@test.invalid", 16, 0, 5, 0, 0, nullptr,
                                                                  false));
  const int32_t id = lock->getId();
  lock->setState(lock, conference::kStateJoined);
  client->hangupConferenceOnStreamUnavail(lock);
  lock.Unlock();
  ConferenceLock again;
  if (client->store()->getConferenceLock(again, id)) EXPECT_EQ(again->getState(), conference::kStateDeleted);
  unsigned requested = 0, joined = 0, deleted = 0;
  client->store()->getConferenceCount(requested, joined, deleted);
  EXPECT_EQ(joined, 0u);
  // Without a conference there is nothing to end.
  ConferenceLock none;
  EXPECT_FALSE(client->hangupConferenceOnStreamUnavail(none));
}

TEST_F(ConsoleClientRunTest, CameraPauseReachesTheActiveSendStream) {
  struct Watch {
    std::vector<bool> seen;
    void On(bool pause) { seen.push_back(pause); }
  } watch;
  // Without a conference or a send stream: nothing, no failure.
  client->SetCameraPause(true);
  auto sender = std::make_shared<HX_SenderBase>();
  sender->pauseVideoSignal.Connect(&watch, &Watch::On);
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->storageCreateForeignConferenceLock(
        lock, "conf@test.invalid", "room", "", "owner@test.invalid", 16, 0, 5, 0, 0, nullptr, false));
  }
  client->SetCameraPause(true);
  {
    ConferenceLock lock;
    ASSERT_TRUE(client->store()->activeConferenceWLock(lock));
    lock->setSender(sender);
  }
  client->SetCameraPause(true);
  client->SetCameraPause(false);
  EXPECT_EQ(watch.seen, (std::vector<bool>{true, false}));
}

TEST_F(ConsoleClientRunTest, NetworkSettings) {
  StartLoop();
  ASSERT_TRUE(client->SetNetworkCustomRate(3, 300, 500));
  ASSERT_TRUE(hx::testing::WaitFor([&] { return client->getFSM()->GetNetworkType() == 11; }, kWaitMs));
  EXPECT_EQ(client->getFSM()->GetNetworkMode(), 3u);
  EXPECT_EQ(hx::network::rate[11].send.load(), 300u);
  EXPECT_EQ(hx::network::rate[11].receive.load(), 500u);
  // The other entries keep their values.
  EXPECT_EQ(hx::network::rate[8].send.load(), 320u);
  EXPECT_EQ(hx::network::rate[8].receive.load(), 640u);
  EXPECT_EQ(hx::network::rate[13].send.load(), 10240u);

  client->SetNetworkTLS(true);
  EXPECT_EQ(HXTLSHandler::m_default_mode.load(), HXTLSHandler::modeFallbackPlain);
  client->SetNetworkTLS(false);
  EXPECT_EQ(HXTLSHandler::m_default_mode.load(), HXTLSHandler::modeFailConnection);
}

// The rate table is written by the platform's thread and the loop while the media path reads it.
TEST(NetworkRateTest, EntriesAreWrittenAndReadConcurrently) {
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    uint64_t sum = 0;
    do {
      sum += hx::network::rate[11].send.load() + hx::network::rate[12].receive.load();
    } while (!stop.load());
    EXPECT_GT(sum, 0u);
  });
  for (uint32_t i = 1; i <= 20000; ++i) {
    hx::network::rate[11].set(i, i);
    hx::network::rate[12].receive.store(i);
  }
  stop = true;
  reader.join();
  EXPECT_EQ(hx::network::rate[11].send.load(), 20000u);
  hx::network::ResetRates();
  EXPECT_EQ(hx::network::rate[11].send.load(), 512u);
  EXPECT_EQ(hx::network::rate[12].receive.load(), 4096u);
}

}  // namespace
