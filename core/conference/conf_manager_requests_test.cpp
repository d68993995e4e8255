// The conference service's requests against the fake server: one table of every
// request with its keys in order, its destination server and service and its
// time limit, as the server receives them over the client's real transport;
// then the edge cases of creation (transport down, the create timer, the CPU
// figure in "Ping"), accept keys, rejects with a stored request, and the device
// status.

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/base/cpu_load.h"
#include "core/conference/conf_service_test_util.h"
#include "core/conference/service/conf_key.h"
#include "core/net/address/acceptor_info.h"
#include "core/net/address/addr_factory.h"
#include "core/streams/net_listener.h"
#include "core/wire/endpoint_record.h"

namespace hx::testing {
namespace {

constexpr char kSid[] = "room@brk";
constexpr char kServer[] = "srv#1";

using Keys = std::vector<std::string>;

class ConfRequestsTest : public ConfServiceFixture {
 public:
  // A fresh manager on the same connection: each row starts from an empty
  // store.
  void FreshManager() {
    cm.reset();
    cm = std::make_unique<HX_ConfManager>("CONFERENCE", m_client->session, m_client->fsm.get());
    cm->PrepareCapsSignal.Connect(&caps, &CapsFiller::Fill);
  }
  // A round trip on the connection: every answer the server sent before has been handled, so the
  // loop thread is not sending while the next row does.
  void Settle() {
    const std::string round = std::to_string(m_services->Received("GetAppProps").size() + 1);
    ASSERT_TRUE(m_client->netConfig->GetApplicationProperties());
    ASSERT_TRUE(WaitFor([&] { return m_client->session->getProperty("fake_round") == round; },
                        kTransportWaitMs));
  }
  HX_Conference* Locked(ConferenceLock& lock, int32_t id) {
    EXPECT_TRUE(cm->getConferenceLock(lock, id));
    return lock.conference();
  }
};

struct RequestRow {
  const char* label;
  std::function<bool(ConfRequestsTest&)> action;  // returns the request's answer
  const char* method;
  Keys keys;
  const char* service;
  const char* server;  // expected destination server
  const char* user;    // expected destination user
};

TEST_F(ConfRequestsTest, EveryRequestCarriesItsKeysInOrderToItsServer) {
  const auto call = [](ConfRequestsTest& t, HX_Conference_Type type, ::conference::State state) {
    return t.AddConference(kSid, kServer, type, state);
  };
  const std::vector<RequestRow> rows = {
      {"create group",
       [](ConfRequestsTest& t) {
         return t.cm->CreateConference("room", "pw", 16, 3600, 5, 1, 2, false);
       },
       "CreateConference",
       {"Method", "MaxPartisipants", "Duration", "Type", "SubType", "Scope", "Name", "Password",
        "ClientCaps"},
       "CONFERENCE",
       "",
       ""},
      {"create call without name and password",
       [](ConfRequestsTest& t) {
         return t.cm->CreateConference(nullptr, nullptr, 2, 30, 0, 0, 0, false);
       },
       "CreateConference",
       {"Method", "MaxPartisipants", "Duration", "Type", "SubType", "Scope"},
       "CONFERENCE",
       "",
       ""},
      {"join",
       [&](ConfRequestsTest& t) {
         call(t, 5, ::conference::kStateRequested);
         return t.cm->Join(nullptr, nullptr, 5, kSid);
       },
       "Join",
       {"Method", "Type", "Password", "Name", "appId", "UserName", "DisplayName", "ClientCaps"},
       "CONFERENCE",
       "sess-alice@sessions#1",
       ""},
      {"invite to a call",
       [&](ConfRequestsTest& t) {
         ConferenceLock lock;
         return t.cm->InvitePeer2Call(t.Locked(lock, call(t, 0, ::conference::kStateRequested)),
                                      kBob);
       },
       "Invite",
       {"Method", "Conference", "Name", "CallId", "DirectConnect", "ClientCaps"},
       "CONFERENCE",
       "brk",
       ""},
      {"invite to a group, answering a stored request",
       [&](ConfRequestsTest& t) {
         t.cm->AddInviteRequest(kBob, "77");
         ConferenceLock lock;
         return t.cm->InvitePeer2Group(t.Locked(lock, call(t, 5, ::conference::kStateJoined)),
                                       kBob);
       },
       "Invite",
       {"Method", "id", "Conference", "Type", "CallId", "Name", "topic", "Password", "ClientCaps"},
       "CONFERENCE",
       "brk",
       ""},
      {"request an invitation",
       [](ConfRequestsTest& t) { return t.cm->RequestInviteToMulti(kBob); },
       "ReqInvite",
       {"Method", "Type", "CallId", "id", "ClientCaps"},
       "CONFERENCE",
       "",
       ""},
      {"accept an encrypted call",
       [&](ConfRequestsTest& t) {
         {
           ConferenceLock lock;
           t.Locked(lock, call(t, 0, ::conference::kStateRequested));
           lock->addPeer(kBob, 1);
           lock->setStreamEncrypt(true);
         }
         return t.cm->AcceptPeer(kSid, kBob);
       },
       "Accept",
       {"Method", "Conference", "Name", "UserName", "appId", "DirectConnect", "ClientCaps",
        "SymKey"},
       "CONFERENCE",
       "brk",
       ""},
      {"accept a plain call",
       [&](ConfRequestsTest& t) {
         {
           ConferenceLock lock;
           t.Locked(lock, call(t, 0, ::conference::kStateRequested));
           lock->addPeer(kBob, 1);
         }
         return t.cm->AcceptPeer(kSid, kBob);
       },
       "Accept",
       {"Method", "Conference", "Name", "UserName", "appId", "DirectConnect", "ClientCaps"},
       "CONFERENCE",
       "brk",
       ""},
      {"reject answering a stored request",
       [](ConfRequestsTest& t) {
         t.cm->AddInviteRequest(kBob, "42");
         return t.cm->RejectPeer(kSid, kBob, 2);
       },
       "Reject",
       {"id", "Method", "Conference", "Name", "Cause", "UserName"},
       "CONFERENCE",
       "brk",
       ""},
      {"reject without a stored request",
       [](ConfRequestsTest& t) { return t.cm->RejectPeer(kSid, kBob, 2); },
       "Reject",
       {"Method", "Conference", "Name", "Cause", "UserName"},
       "CONFERENCE",
       "brk",
       ""},
      {"hang up with the result flag",
       [&](ConfRequestsTest& t) {
         call(t, 5, ::conference::kStateJoined);
         return t.cm->Hangup(kSid, nullptr, true);
       },
       "Hangup",
       {"Method", "Conference", "Name", "Result", "HangupFlags"},
       "CONFERENCE",
       kServer,
       ""},
      {"hang up without it",
       [&](ConfRequestsTest& t) {
         call(t, 5, ::conference::kStateJoined);
         return t.cm->Hangup(kSid, nullptr, false);
       },
       "Hangup",
       {"Method", "Conference", "Name", "HangupFlags"},
       "CONFERENCE",
       kServer,
       ""},
      {"delete",
       [](ConfRequestsTest& t) { return t.cm->deleteConferenceAux(kSid); },
       "DeleteConference",
       {"Method", "Name"},
       "CONFERENCE",
       "brk",
       ""},
      {"kick",
       [](ConfRequestsTest& t) { return t.cm->KickPeer(kSid, kBob); },
       "Kick",
       {"Method", "Conference", "Name"},
       "CONFERENCE",
       "brk",
       ""},
      {"ping",
       [](ConfRequestsTest& t) { return t.cm->PingConference(kSid, kAlice); },
       "Ping",
       {"Method", "Conference", "UserName", "SystemLoad"},
       "CONFERENCE",
       "brk",
       ""},
      {"receive filter",
       [&](ConfRequestsTest& t) {
         ConferenceLock lock;
         t.Locked(lock, call(t, 5, ::conference::kStateJoined))->addPeer(kBob, 6);
         lock.Unlock();
         return t.cm->SetPeerFltr(kBob, true, false, true, true);
       },
       "ConnectReceiver",
       {"Method", "Name", "UserName", "MediaFiltr"},
       "CONFERENCE",
       kServer,
       ""},
      {"send filter",
       [&](ConfRequestsTest& t) {
         call(t, 5, ::conference::kStateJoined);
         return t.cm->SetPeerFltr(kAlice, true, true, true, true);
       },
       "ConnectSender",
       {"Method", "UserName", "MediaFiltr"},
       "CONFERENCE",
       kServer,
       ""},
      {"picture-size limits, own login first, zero entries left out",
       [&](ConfRequestsTest& t) {
         call(t, 5, ::conference::kStateJoined);
         return t.cm->SetPeerScreenLimit(
             std::map<std::string, unsigned long>{{kBob, 300}, {kCarol, 0}, {"dan@x", 1200}});
       },
       "MBpsList",
       {"Method", "Conference", "UserName", "UserName", "FrameSizeMBUser", "UserName",
        "FrameSizeMBUser"},
       "CONFERENCE",
       "brk",
       ""},
      {"own status",
       [&](ConfRequestsTest& t) {
         call(t, 5, ::conference::kStateJoined);
         return t.cm->SetMyLStatus(3);
       },
       "SetMyLStatus",
       {"Method", "LStatus", "CallId", "Conference"},
       "CONFERENCE",
       "brk",
       ""},
      {"clear statuses",
       [&](ConfRequestsTest& t) {
         call(t, 5, ::conference::kStateJoined);
         return t.cm->ClearAllLStatuses();
       },
       "ClearAllLStatuses",
       {"Method", "CallId", "Conference"},
       "CONFERENCE",
       "brk",
       ""},
      {"device status",
       [&](ConfRequestsTest& t) {
         call(t, 5, ::conference::kStateJoined);
         return t.cm->SetDeviceStatus(0x10);
       },
       "DeviceStatus",
       {"Method", "Conference", "UserName", "DeviceStatus"},
       "CONFERENCE",
       "brk",
       ""},
      {"statistics",
       [](ConfRequestsTest& t) {
         ::conference::Statistics statistics;
         statistics.sid = kSid;
         statistics.login = kAlice;
         statistics.sentKBytes = 12;
         statistics.recvKBytes = 34;
         t.cm->SendConfStat(statistics);
         return true;
       },
       "LogPartStat",
       {"Method", "Conference", "CallId", "BytesSent", "BytesRcvd", "ConferenceBaseStat"},
       "LOG",
       "brk",
       ""},
      {"connection failure",
       [&](ConfRequestsTest& t) {
         ConferenceLock lock;
         HX_Conference* c = t.Locked(lock, call(t, 0, ::conference::kStateRequested));
         auto endpoint = std::make_shared<HX_Endpoint>(nullptr, hx::tcpConnect);
         endpoint->SetHost("10.1.2.3");
         endpoint->SetPort(4307);
         c->addServerMediaEP(endpoint, true);
         return t.cm->SendConnectFailure(c);
       },
       "ConnectFailure",
       {"Method", "Conference", "Owner", "UserName", "Host", "EpConfig"},
       "CONFERENCE",
       kServer,
       ""},
  };

  // The creations stay unanswered: an answer reaching the next row's fresh
  // manager would make the loop thread send at the same time as the test thread
  // (see the report on the loop's wake-up).
  m_conference->ScriptCreateAnswer({std::nullopt, std::chrono::milliseconds(0)});
  m_conference->ScriptCreateAnswer({std::nullopt, std::chrono::milliseconds(0)});
  for (const RequestRow& row : rows) {
    SCOPED_TRACE(row.label);
    FreshManager();
    const size_t before = Count(row.method);
    EXPECT_TRUE(row.action(*this));
    ReceivedMessage m;
    ASSERT_TRUE(Request(row.method, &m, before));
    EXPECT_EQ(KeysOf(m.body), row.keys);
    EXPECT_EQ(m.service(), row.service);
    EXPECT_EQ(m.frame.names.dst_server, row.server);
    EXPECT_EQ(m.frame.names.dst_user, row.user);
    EXPECT_EQ(m.frame.names.src_service, "CONFERENCE");
    EXPECT_EQ(m.frame.time_limit, 20000u);
    Settle();
  }
  ExpectServerSatisfied();
}

TEST_F(ConfRequestsTest, ValuesOfTheRequests) {
  // "ClientCaps" is the record the caps handler filled.
  m_conference->ScriptCreateAnswer({std::nullopt, std::chrono::milliseconds(0)});
  ASSERT_TRUE(cm->CreateConference("room", nullptr, 16, 60, 5, 0, 0, false));
  ReceivedMessage m;
  ASSERT_TRUE(Request("CreateConference", &m));
  size_t capsSize = 0;
  const void* capsBytes = m.body.GetValueRef("ClientCaps", HX_CNT_BINARY_VT, capsSize);
  ASSERT_NE(capsBytes, nullptr);
  HX_ClientCaps sent;
  sent.Set(capsBytes, capsSize);
  EXPECT_EQ(sent.m_bandwidthRcv, 777);
  EXPECT_EQ(sent.m_streamsDirCon, 0x2);
  EXPECT_EQ(caps.calls.Values().back(), std::make_pair(true, true));

  FreshManager();
  // Ping carries the store's CPU figure: 70 before any measurement, 1 once the
  // meter measured.
  ASSERT_TRUE(cm->PingConference(kSid, kAlice));
  ASSERT_TRUE(Request("Ping", &m));
  EXPECT_EQ(IntOf(m.body, "SystemLoad"), 70);
  AddConference(kSid, kServer, 5, ::conference::kStateJoined);
  cm->setCpuLoadMeasurer(HXCpuLoad::Create());
  ASSERT_TRUE(WaitFor([&] { return cm->getCpuLoad() == 1; }, kTransportWaitMs));
  ASSERT_TRUE(cm->PingConference(kSid, kAlice));
  ASSERT_TRUE(Request("Ping", &m, 1));
  EXPECT_EQ(IntOf(m.body, "SystemLoad"), 1);
  cm->setCpuLoadMeasurer(nullptr);

  // The filter bits and the picture sizes.
  ASSERT_TRUE(cm->SetPeerFltr(kBob, true, false, true, false));
  ASSERT_TRUE(Request("ConnectReceiver", &m));
  EXPECT_EQ(IntOf(m.body, "MediaFiltr"), 0x500);
  EXPECT_EQ(HX_ConfManager::CalcPeerScreenLimitMB(1280, 720), 3600u);
  EXPECT_FALSE(cm->SetPeerScreenLimit(kBob, 0ul));
  ASSERT_TRUE(cm->SetPeerScreenLimit(kBob, 640, 480));
  ASSERT_TRUE(Request("MBpsList", &m));
  EXPECT_EQ(IntOf(m.body, "FrameSizeMBUser"), 1200);
  EXPECT_EQ(TextOf(m.body, "UserName"), kAlice);  // the first one: the own login
}

TEST_F(ConfRequestsTest, ConnectFailureEndpointsReadBackByTheServer) {
  ConferenceLock lock;
  ASSERT_TRUE(
      cm->getConferenceLock(lock, AddConference(kSid, kServer, 0, ::conference::kStateRequested)));
  for (const char* host : {"10.1.2.3", "192.168.7.9"}) {
    auto endpoint = std::make_shared<HX_Endpoint>(nullptr, hx::tcpConnect);
    endpoint->SetHost(host);
    endpoint->SetPort(5000);
    lock->addServerMediaEP(endpoint, true);
  }
  HX_TransportEndpointList expected;
  lock->fillEndpointsList(expected);
  ASSERT_FALSE(expected.empty());
  ASSERT_TRUE(cm->SendConnectFailure(lock.conference()));
  lock.Unlock();
  ReceivedMessage m;
  ASSERT_TRUE(Request("ConnectFailure", &m));
  ASSERT_TRUE(WaitFor([&] { return m_conference->ConnectFailureEndpoints().size() == 1; }, 2000));
  const auto read = m_conference->ConnectFailureEndpoints().at(0);
  ASSERT_EQ(read.size(), expected.size());
  size_t i = 0;
  for (const auto& endpoint : expected) {
    EXPECT_EQ(read[i].host, endpoint->getHost());
    EXPECT_EQ(read[i].port, endpoint->GetPort());
    ++i;
  }
  // Without endpoints nothing is sent.
  ConferenceLock other;
  ASSERT_TRUE(cm->getConferenceLock(other, AddConference("room2@brk", kServer, 0, 1)));
  const size_t before = Count("ConnectFailure");
  EXPECT_FALSE(cm->SendConnectFailure(other.conference()));
  other.Unlock();
  EXPECT_EQ(Count("ConnectFailure"), before);
  ExpectServerSatisfied();
}

// "ConfigurationUpdated" goes to the peer as destination user at the broker of the SID, with one
// binding per listening address; without bindings nothing is sent and the answer is true.
TEST_F(ConfRequestsTest, ConnectionInfoGoesToThePeer) {
  EXPECT_TRUE(cm->SendConnectionInfo(kBob, kSid));
  EXPECT_EQ(Count("ConfigurationUpdated"), 0u);
  HXZAcceptorInfo acceptors;
  HXSockAddr bound(ip::Proto::tcp, HXAddrFactory::get("192.0.2.44"), 5000);
  acceptors.tcpAcceptors.push_back(bound);
  m_client->listener->setAcceptorInfo(acceptors);
  ASSERT_TRUE(cm->SendConnectionInfo(kBob, kSid));
  ReceivedMessage m;
  ASSERT_TRUE(Request("ConfigurationUpdated", &m));
  EXPECT_EQ(KeysOf(m.body), (Keys{"Method", "Name", "IPConfig"}));
  EXPECT_EQ(TextOf(m.body, "Name"), kAlice);
  EXPECT_EQ(m.frame.names.dst_user, kBob);
  EXPECT_EQ(m.frame.names.dst_server, "brk");
  EXPECT_EQ(m.frame.time_limit, 20000u);
}

TEST_F(ConfRequestsTest, SymKeyOnlyForEncryptedConferencesWhoseOwnCapsAllowIt) {
  struct Case {
    bool encrypted;
    int32_t streamsDirCon;
    bool keyed;
  };
  for (const Case& c : {Case{true, 0x2, true}, Case{true, 0x1, false}, Case{false, 0x2, false}}) {
    FreshManager();
    caps.streamsDirCon = c.streamsDirCon;
    {
      ConferenceLock lock;
      ASSERT_TRUE(cm->getConferenceLock(lock, AddConference(kSid, kServer, 0, 1)));
      lock->addPeer(kBob, 1);
      lock->setStreamEncrypt(c.encrypted);
    }
    const size_t before = Count("Accept");
    ASSERT_TRUE(cm->AcceptPeer(kSid, kBob));
    ReceivedMessage m;
    ASSERT_TRUE(Request("Accept", &m, before));
    const std::string key = TextOf(m.body, "SymKey");
    if (!c.keyed) {
      EXPECT_TRUE(key.empty());
      continue;
    }
    ASSERT_EQ(key.size(), 32u);
    for (char ch : key) EXPECT_TRUE(std::isdigit(ch) || (ch >= 'A' && ch <= 'F')) << key;
  }
}

TEST_F(ConfRequestsTest, InvitationAndHangupEdgeCases) {
  std::vector<int> causes;
  struct Recorder {
    std::vector<int>* causes;
    void On(const char*, const char*, const char*, int cause) { causes->push_back(cause); }
  } recorder{&causes};
  cm->RejectReceivedSignal.Connect(&recorder, &Recorder::On);

  // A peer already in the group (state 6): cause 2, the conference stays.
  const int32_t group = AddConference(kSid, kServer, 5, ::conference::kStateJoined);
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, group));
    lock->addPeer(kBob, 6);
    EXPECT_FALSE(cm->InvitePeer2Group(lock.conference(), kBob));
  }
  EXPECT_EQ(causes, std::vector<int>{2});
  EXPECT_EQ(Count("Invite"), 0u);
  {
    ConferenceLock lock;
    EXPECT_TRUE(cm->getConferenceLock(lock, group));
  }

  // Hang up with an unknown SID but a known peer: the peer's conference.
  ASSERT_TRUE(cm->Hangup("unknown@brk", kBob, false));
  ReceivedMessage m;
  ASSERT_TRUE(Request("Hangup", &m));
  EXPECT_EQ(TextOf(m.body, "Conference"), kSid);
  EXPECT_EQ(IntOf(m.body, "HangupFlags"), 2);

  // Accept: a peer whose direct-connect type is not known yet is told 0.
  FreshManager();
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, AddConference(kSid, kServer, 0, 1)));
    ASSERT_EQ(lock->addPeer(kBob, 1)->getDCType(), 4);
  }
  ASSERT_TRUE(cm->AcceptPeer(kSid, kBob));
  ASSERT_TRUE(Request("Accept", &m));
  EXPECT_EQ(IntOf(m.body, "DirectConnect"), 0);
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, std::string(kSid)));
  EXPECT_TRUE(lock->isFlag(HX_Conference::kFlagDCTestsEnded));
  EXPECT_EQ(lock->getPeer(kBob)->getPeerState(), 4);
}

TEST(ConfKeyTest, TwoKeysInOneSecondDifferAndShortBuffersGetNothing) {
  char first[33];
  char second[33];
  ASSERT_TRUE(HX_GenKeyByMD5(first, sizeof(first)));
  ASSERT_TRUE(HX_GenKeyByMD5(second, sizeof(second)));
  EXPECT_EQ(std::strlen(first), 32u);
  EXPECT_STRNE(first, second);
  char shortBuffer[32];
  std::memset(shortBuffer, 'x', sizeof(shortBuffer));
  EXPECT_FALSE(HX_GenKeyByMD5(shortBuffer, sizeof(shortBuffer)));
  EXPECT_EQ(shortBuffer[0], 'x');
  EXPECT_FALSE(HX_GenKeyByMD5(nullptr, 64));
}

TEST_F(ConfRequestsTest, RejectUsesTheStoredRequestIdOnce) {
  cm->AddInviteRequest(kBob, "42");
  cm->AddInviteRequest(kBob, "43");  // an existing entry is kept
  ASSERT_TRUE(cm->RejectPeer(kSid, kBob, 2));
  ASSERT_TRUE(cm->RejectPeer(kSid, kBob, 2));
  ReceivedMessage first;
  ReceivedMessage second;
  ASSERT_TRUE(Request("Reject", &first, 0));
  ASSERT_TRUE(Request("Reject", &second, 1));
  EXPECT_EQ(TextOf(first.body, "id"), "42");
  EXPECT_EQ(KeysOf(second.body).front(), "Method");
  EXPECT_EQ(cm->GetAndRemoveInviteRequest(kBob), "");
}

TEST_F(ConfRequestsTest, SecondCreationAndOtherTypesAreRefusedWithoutAMessage) {
  ASSERT_TRUE(cm->CreateConference("room", nullptr, 16, 60, 5, 0, 0, false));
  EXPECT_FALSE(cm->CreateConference("room", nullptr, 16, 60, 5, 0, 0, false));
  FreshManager();
  EXPECT_FALSE(cm->CreateConference("room", nullptr, 16, 60, 6, 0, 0, false));
  EXPECT_FALSE(cm->CreateConference("room", nullptr, 16, 60, 1, 0, 0, false));
  ReceivedMessage m;
  ASSERT_TRUE(Request("CreateConference", &m));
  EXPECT_FALSE(m_server->WaitForMessage(
      [seen = 0](const ReceivedMessage& r) mutable {
        return r.method == "CreateConference" && ++seen == 2;
      },
      200));
}

// The create timer, shortened: an unconfirmed record is deleted with cause 10;
// one the server confirmed in time stays.
TEST_F(ConfRequestsTest, CreateTimerDeletesOnlyUnconfirmedRecords) {
  SignalLog<std::tuple<std::string, std::string, std::string, int>> rejects;
  struct Recorder {
    SignalLog<std::tuple<std::string, std::string, std::string, int>>* log;
    void On(const char* p, const char* n, const char* s, int cause) {
      log->Add({p ? p : "", n ? n : "", s ? s : "", cause});
    }
  } recorder{&rejects};
  cm->RejectReceivedSignal.Connect(&recorder, &Recorder::On);
  cm->setCreateCheckDelayForTest(300);

  m_conference->ScriptCreateAnswer({std::nullopt, std::chrono::milliseconds(0)});
  ASSERT_TRUE(cm->CreateConference("room", nullptr, 16, 60, 5, 0, 0, false));
  ASSERT_TRUE(rejects.WaitSize(1, 3000));
  EXPECT_EQ(rejects.Values()[0], std::make_tuple(std::string(), std::string(), std::string(), 10));
  ASSERT_TRUE(WaitFor(
      [&] {
        unsigned r = 0, j = 0, d = 0;
        cm->getConferenceCount(r, j, d);
        return r == 0;
      },
      3000));

  // Confirmed by the server's "ConferenceCreated": left alone.
  ASSERT_TRUE(cm->CreateConference("room", nullptr, 16, 60, 5, 0, 0, false));
  ASSERT_TRUE(WaitFor([&] { return !cm->lastConferenceSID().empty(); }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(rejects.Size(), 1u);
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, cm->lastConferenceSID()));
  // The server's SID names the server its handshake named: broker, server id and domain follow.
  EXPECT_EQ(lock->getSID(), "c2@127.0.0.1#vcs");
  EXPECT_EQ(lock->getServerId(), "127.0.0.1#vcs");
  EXPECT_EQ(lock->getDomain(), "127.0.0.1");
  EXPECT_TRUE(lock->isVerified());
}

TEST_F(ConfRequestsTest, WithTheTransportDownCreationFailsAndReportsCauseTenAtOnce) {
  m_client->transport->DisconnectServer();
  ASSERT_TRUE(WaitFor(
      [&] { return m_client->transport->getTransportState() != HXZTransport::stateConnected; },
      kTransportWaitMs));
  std::vector<int> causes;
  struct Recorder {
    std::vector<int>* causes;
    void On(const char*, const char*, const char*, int cause) { causes->push_back(cause); }
  } recorder{&causes};
  cm->RejectReceivedSignal.Connect(&recorder, &Recorder::On);
  EXPECT_FALSE(cm->CreateConference("room", nullptr, 16, 60, 5, 0, 0, false));
  // In the same call: the record is gone and cause 10 was raised.
  EXPECT_EQ(causes, std::vector<int>{10});
  unsigned r = 9, j = 9, d = 9;
  cm->getConferenceCount(r, j, d);
  EXPECT_EQ(r + j, 0u);
  HXAutoLock guard(cm->StorageLock());
  HX_Conference* first = nullptr;
  EXPECT_EQ(cm->getConferenceByTypeCountNL(first, HX_ConfStorage::kAnyConference, 0), 0u);
}

// A mute set while the call is still being set up is refused, so that the
// caller sends it again once joined; the first status after the join is always
// sent; an unchanged one is not.
TEST_F(ConfRequestsTest, DeviceStatusOutsideTheJoinedStateIsRefused) {
  const int32_t id = AddConference(kSid, kServer, 5, ::conference::kStateRequested);
  EXPECT_FALSE(cm->SetDeviceStatus(0x10));
  EXPECT_EQ(Count("DeviceStatus"), 0u);
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, id));
  lock->setState(lock, ::conference::kStateJoined);
  EXPECT_TRUE(cm->SetDeviceStatus(lock, 0x10001));
  EXPECT_TRUE(cm->SetDeviceStatus(lock, 0x10001));
  lock.Unlock();
  ReceivedMessage m;
  ASSERT_TRUE(Request("DeviceStatus", &m));
  EXPECT_EQ(IntOf(m.body, "DeviceStatus"), 0x10001);
  EXPECT_FALSE(m_server->WaitForMessage(
      [seen = 0](const ReceivedMessage& r) mutable {
        return r.method == "DeviceStatus" && ++seen == 2;
      },
      200));
}

// A request for an invitation that could not be sent leaves no record behind to refuse the next
// conference.
TEST_F(ConfRequestsTest, UnsentInvitationRequestLeavesNoRecord) {
  m_client->transport->DisconnectServer();
  ASSERT_TRUE(WaitFor(
      [&] { return m_client->transport->getTransportState() != HXZTransport::stateConnected; },
      kTransportWaitMs));
  EXPECT_FALSE(cm->RequestInviteToMulti(kBob));
  ASSERT_TRUE(WaitFor(
      [&] {
        HXAutoLock guard(cm->StorageLock());
        HX_Conference* first = nullptr;
        return cm->getConferenceByTypeCountNL(first, HX_ConfStorage::kAnyConference, 0) == 0;
      },
      2000));
}

TEST_F(ConfRequestsTest, DeviceStatusThatCannotBeSentIsRolledBack) {
  const int32_t id = AddConference(kSid, kServer, 5, ::conference::kStateJoined);
  m_client->transport->DisconnectServer();
  ASSERT_TRUE(WaitFor(
      [&] { return m_client->transport->getTransportState() != HXZTransport::stateConnected; },
      kTransportWaitMs));
  ConferenceLock lock;
  ASSERT_TRUE(cm->getConferenceLock(lock, id));
  EXPECT_FALSE(cm->SetDeviceStatus(lock, 0x10));
  // Rolled back: the next call tries again (and fails again) instead of
  // answering "unchanged".
  EXPECT_FALSE(cm->SetDeviceStatus(lock, 0x10));
}

}  // namespace
}  // namespace hx::testing
