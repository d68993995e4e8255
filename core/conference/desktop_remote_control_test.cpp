// The remote desktop control service "DS_CONTROL" against the fake server: alice's client with its
// conference manager and HX_DesktopRemoteControlManager; the fake's "DS_CONTROL" service records
// every message with its destination server and sends what a test scripts. The conference
// "ds1@broker.example#vcs" (server id given apart, so that the destination server can only come
// from the SID's broker) is joined and active.
//
// Incoming messages are fed either through the server (the dispatch path, a fence message after
// them makes sure they were handled) or straight to ParseIncomimgMessage where its answer matters.
#include "core/conference/desktop_remote_control.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/conference/conf_service_test_util.h"
#include "core/conference/store/conference_lock.h"
#include "testing/fake_server/fake_ds_control.h"

namespace hx::testing {
namespace {

constexpr char kSid[] = "ds1@broker.example#vcs";
constexpr char kBroker[] = "broker.example#vcs";
constexpr char kUnknownSid[] = "gone@elsewhere#1";
constexpr char kFence[] = "fence";

struct Signals {
  void Sent(const char* peer, const char* sid) { sent.Add(std::string(peer) + " " + sid); }
  void Received(const char* from, const char* sid) { received.Add(std::string(from) + " " + sid); }
  void Finished(const char* from, const char* to, const char* sid) {
    if (std::string(from) == kFence) {
      fences.Add(1);
      return;
    }
    finished.Add(std::string(from) + " " + to + " " + sid);
  }
  void Command(const char* from, const char* sid, const void* data, unsigned long size) {
    command.Add(std::string(from) + " " + sid + " [" +
                (data != nullptr ? std::string(static_cast<const char*>(data), size) : "null") +
                "]");
  }
  void Response(const char* responder, const char* sid, bool granted, int result) {
    response.Add(std::string(responder) + " " + sid + " " + (granted ? "granted" : "refused") +
                 " " + std::to_string(result));
  }
  SignalLog<std::string> sent, received, finished, command, response;
  SignalLog<int> fences;
};

// A body from (name, value) pairs in order; a value starting with '#' is an integer.
HX_Container Msg(std::initializer_list<std::pair<const char*, std::string>> entries) {
  HX_Container body;
  for (const auto& [name, value] : entries) {
    if (!value.empty() && value[0] == '#') {
      body.AddValue(name, static_cast<int32_t>(std::stoi(value.substr(1))));
    } else {
      body.AddValue(name, value.c_str());
    }
  }
  return body;
}

class DsControl : public ConfServiceFixture {
 protected:
  void SetUp() override {
    ConfServiceFixture::SetUp();
    if (HasFatalFailure()) return;
    fake = std::make_unique<FakeDsControl>(*m_server, *m_services);
    // The conference manager is owned by the fixture; the remote-control manager goes first.
    ds = std::make_unique<HX_DesktopRemoteControlManager>(
        m_client->session, m_client->fsm.get(),
        std::shared_ptr<HX_ConfManager>(cm.get(), [](HX_ConfManager*) {}));
    ds->ControlRequestSentSignal.Connect(&sig, &Signals::Sent);
    ds->ControlRequestReceivedSignal.Connect(&sig, &Signals::Received);
    ds->ControlFinishedSignal.Connect(&sig, &Signals::Finished);
    ds->ControlCommandSignal.Connect(&sig, &Signals::Command);
    ds->ControlResponseSignal.Connect(&sig, &Signals::Response);
    ASSERT_NE(AddConference(kSid, "other#srv", 5, ::conference::kStateJoined), 0);
    HXAutoLock guard(cm->StorageLock());
    ASSERT_NE(cm->activeConferenceNL(), nullptr);
    ASSERT_EQ(cm->activeConferenceNL()->getSID(), kSid);
  }
  void TearDown() override {
    ds.reset();
    fake.reset();
    ConfServiceFixture::TearDown();
  }

  // Sends `body` through the server and waits until the client handled it.
  void Deliver(const HX_Container& body) {
    ASSERT_TRUE(fake->SendToUser(kAlice, body));
    ASSERT_TRUE(fake->SendToUser(kAlice, Msg({{"Method", "DSControlFinished"},
                                              {"From", kFence},
                                              {"To", kFence},
                                              {"Conference", kSid}})));
    ASSERT_TRUE(sig.fences.WaitSize(++fences));
  }
  bool Parse(const HX_Container& body) {
    HX_Container copy = body;
    return ds->ParseIncomimgMessage(copy);
  }
  // The four sets for bob and carol: "in:.. out:.. me:.. mine:..".
  std::string Sets(const char* sid = kSid) {
    ConferenceLock lock;
    if (!cm->getConferenceLock(lock, sid)) return "unknown";
    std::string text;
    const auto list = [&](const char* name, auto has) {
      text += text.empty() ? "" : " ";
      text += name;
      text += ":";
      for (const char* id : {kBob, kCarol}) {
        if ((lock.conference()->*has)(id)) text += std::string(id).substr(0, 1);
      }
    };
    list("in", &HX_Conference::isIncomingControlRequestPending);
    list("out", &HX_Conference::isOutgoingControlRequestPending);
    list("me", &HX_Conference::isControlMe);
    list("mine", &HX_Conference::isUnderMyControl);
    return text;
  }
  void SetSource(HX_VideoSourceType type) {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, kSid));
    lock->setVideoSourceType(type);
  }
  // Waits for the `n`th "DS_CONTROL" message (1-based) and returns it.
  FakeDsMessage Sent(size_t n) {
    EXPECT_TRUE(fake->WaitForCount(n, kTransportWaitMs));
    const auto all = fake->Received();
    return all.size() >= n ? all[n - 1] : FakeDsMessage();
  }
  // Nothing more than `n` messages arrives (a ping through the conference service is the fence:
  // the server handles one connection's messages in order).
  void ExpectSentCount(size_t n) {
    const size_t pings = Count("Ping");
    ASSERT_TRUE(cm->PingConference(kSid, kAlice));
    ReceivedMessage ping;
    ASSERT_TRUE(Request("Ping", &ping, pings));
    EXPECT_EQ(fake->Received().size(), n);
  }

  std::unique_ptr<FakeDsControl> fake;
  std::unique_ptr<HX_DesktopRemoteControlManager> ds;
  Signals sig;
  size_t fences = 0;
};

TEST_F(DsControl, EverySenderKeysInOrderAndDestinationServer) {
  struct Row {
    const char* what;
    std::function<void()> before;
    std::function<bool()> call;
    const char* method;
    std::vector<std::string> keys;
    std::map<std::string, std::string> texts;
    std::map<std::string, int32_t> ints;
    const char* server;
  };
  const std::vector<Row> rows = {
      {"video source",
       nullptr,
       [&] { return ds->SendVideosource(kSid, 3); },
       "VideoSourceType",
       {"Method", "UserName", "Conference", "Type"},
       {{"UserName", kAlice}, {"Conference", kSid}},
       {{"Type", 3}},
       ""},
      {"request",
       nullptr,
       [&] { return ds->SendRequestControl(kBob, kSid); },
       "DSControlRequest",
       {"Method", "From", "To", "Conference"},
       {{"From", kAlice}, {"To", kBob}, {"Conference", kSid}},
       {},
       kBroker},
      {"response granted",
       [&] {
         EXPECT_TRUE(Parse(Msg({{"Method", "DSControlRequest"},
                                {"From", kCarol},
                                {"To", kAlice},
                                {"Conference", kSid}})));
       },
       [&] { return ds->SendResponseToControlRequest(kCarol, kSid, true, false); },
       "DSControlResponse",
       {"Method", "From", "To", "Conference", "Result"},
       {{"From", kCarol}, {"To", kAlice}, {"Conference", kSid}},
       {{"Result", 1}},
       kBroker},
      {"stop controlling me: one",
       nullptr,
       [&] { return ds->SendStopControlMeSpecific(kCarol, kSid); },
       "DSControlFinish",
       {"Method", "To", "From", "Conference"},
       {{"To", kAlice}, {"From", kCarol}},
       {},
       kBroker},
      {"stop controlling me: all",
       nullptr,
       [&] { return ds->SendStopControlMeAll(kSid); },
       "DSControlFinish",
       {"Method", "To", "Conference"},
       {{"To", kAlice}},
       {},
       kBroker},
      {"command with data",
       [&] {
         EXPECT_TRUE(Parse(Msg({{"Method", "DSControlResponse"},
                                {"To", kBob},
                                {"Conference", kSid},
                                {"Result", "#1"}})));
       },
       [&] { return ds->SendControlCommand(kBob, kSid, "key:a", 5); },
       "DSCommand",
       {"Method", "To", "From", "Data"},
       {{"To", kBob}, {"From", kAlice}},
       {},
       kBroker},
      {"command of size 0",
       nullptr,
       [&] { return ds->SendControlCommand(kBob, kSid, "x", 0); },
       "DSCommand",
       {"Method", "To", "From"},
       {},
       {},
       kBroker},
      {"command without data",
       nullptr,
       [&] { return ds->SendControlCommand(kBob, kSid, nullptr, 7); },
       "DSCommand",
       {"Method", "To", "From"},
       {},
       {},
       kBroker},
      {"finish one",
       nullptr,
       [&] { return ds->SendFinishParticularRemoteControl(kBob, kSid); },
       "DSControlFinish",
       {"Method", "From", "To", "Conference"},
       {{"From", kAlice}, {"To", kBob}},
       {},
       kBroker},
      {"finish all",
       nullptr,
       [&] { return ds->SendFinishAllRemoteControls(kSid); },
       "DSControlFinish",
       {"Method", "From", "Conference"},
       {{"From", kAlice}},
       {},
       kBroker},
      {"response for an unknown conference has no result",
       nullptr,
       [&] { return ds->SendResponseToControlRequest(kBob, kUnknownSid, true, false); },
       "DSControlResponse",
       {"Method", "From", "To", "Conference"},
       {{"From", kBob}, {"To", kAlice}, {"Conference", kUnknownSid}},
       {},
       "elsewhere#1"},
  };
  size_t n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.before) row.before();
    EXPECT_TRUE(row.call());
    const FakeDsMessage m = Sent(++n);
    EXPECT_EQ(m.method, row.method);
    EXPECT_EQ(KeysOf(m.body), row.keys);
    EXPECT_EQ(m.dst_server, row.server);
    EXPECT_EQ(m.dst_user, "");
    EXPECT_EQ(m.sender, kAlice);
    for (const auto& [key, value] : row.texts) EXPECT_EQ(TextOf(m.body, key.c_str()), value) << key;
    for (const auto& [key, value] : row.ints) EXPECT_EQ(IntOf(m.body, key.c_str()), value) << key;
  }
  const std::vector<FakeDsMessage> all = fake->Received();
  ASSERT_GT(all.size(), 5u);
  size_t size = 0;
  const auto* data =
      static_cast<const char*>(all[5].body.GetValueRef("Data", HX_CNT_BINARY_VT, size));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(std::string(data, size), "key:a");
  ExpectSentCount(rows.size());
}

// SendControlCommand and SendVideosource answer whether the message was queued: with the
// transport down both are false (the source type is still stored).
TEST_F(DsControl, SendersAnswerFalseWithTheTransportDown) {
  SetSource(3);
  ASSERT_TRUE(Parse(Msg({{"Method", "DSControlRequest"}, {"From", kCarol}, {"Conference", kSid}})));
  m_client->transport->DisconnectServer();
  ASSERT_TRUE(WaitFor([&] { return !ds->SendControlCommand(kBob, kUnknownSid, "k", 1); },
                      kTransportWaitMs));
  EXPECT_FALSE(ds->SendControlCommand(kBob, kUnknownSid, nullptr, 0));
  EXPECT_FALSE(ds->SendVideosource(kSid, 4));
  {
    ConferenceLock lock;
    ASSERT_TRUE(cm->getConferenceLock(lock, kSid));
    EXPECT_EQ(lock->getVideoSourceType(), 4);
  }
  // A request that never left leaves nothing pending, and no signal; an answer that never left
  // grants nothing and leaves the request to be answered again.
  EXPECT_FALSE(ds->SendRequestControl(kBob, kSid));
  EXPECT_FALSE(ds->SendResponseToControlRequest(kCarol, kSid, true, false));
  EXPECT_EQ(Sets(), "in:c out: me: mine:");
  EXPECT_EQ(sig.sent.Size(), 0u);
  EXPECT_FALSE(ds->SendFinishAllRemoteControls(kSid));
  EXPECT_FALSE(ds->SendResponseToControlRequest(kBob, kUnknownSid, false, false));
}

TEST_F(DsControl, UnknownConferenceSendsAndVideosourceRefuses) {
  EXPECT_FALSE(ds->SendVideosource(kUnknownSid, 3));
  EXPECT_TRUE(ds->SendRequestControl(kBob, kUnknownSid));
  EXPECT_TRUE(ds->SendRequestControl(kBob, kUnknownSid));  // nothing to remember it in
  EXPECT_TRUE(ds->SendFinishParticularRemoteControl(kBob, kUnknownSid));
  EXPECT_TRUE(ds->SendStopControlMeSpecific(kBob, kUnknownSid));
  EXPECT_TRUE(ds->SendControlCommand(kBob, kUnknownSid, "x", 1));
  EXPECT_EQ(sig.sent.Values(), std::vector<std::string>({std::string(kBob) + " " + kUnknownSid,
                                                         std::string(kBob) + " " + kUnknownSid}));
  ExpectSentCount(5);
  EXPECT_EQ(Sets(), "in: out: me: mine:");
}

// The requesting side: pending until answered, granted by result 1 only, ended by either side.
TEST_F(DsControl, RequesterSetsFollowResponseFinishAndFinished) {
  ASSERT_TRUE(ds->SendRequestControl(kBob, kSid));
  EXPECT_FALSE(ds->SendRequestControl(kBob, kSid));  // already pending
  EXPECT_EQ(Sets(), "in: out:b me: mine:");
  EXPECT_EQ(sig.sent.Values(), std::vector<std::string>({std::string(kBob) + " " + kSid}));

  // The answer comes through the server as scripted.
  fake->ScriptAnswer("DSControlRequest", Msg({{"Method", "DSControlResponse"},
                                              {"From", kAlice},
                                              {"To", kCarol},
                                              {"Conference", kSid},
                                              {"Result", "#1"}}));
  ASSERT_TRUE(ds->SendRequestControl(kCarol, kSid));
  ASSERT_TRUE(sig.response.WaitSize(1));
  EXPECT_EQ(sig.response.Values()[0], std::string(kCarol) + " " + kSid + " granted 1");
  EXPECT_EQ(Sets(), "in: out:b me: mine:c");
  EXPECT_FALSE(ds->SendRequestControl(kCarol, kSid));  // already under control

  // A repeated grant changes nothing and raises nothing.
  EXPECT_FALSE(Parse(Msg(
      {{"Method", "DSControlResponse"}, {"To", kCarol}, {"Conference", kSid}, {"Result", "#1"}})));
  EXPECT_EQ(sig.response.Size(), 1u);

  // Bob refuses (3): pending entry gone, nothing granted; he can be asked again.
  EXPECT_TRUE(Parse(Msg({{"Method", "DSControlResponse"},
                         {"From", kAlice},
                         {"To", kBob},
                         {"Conference", kSid},
                         {"Result", "#3"}})));
  EXPECT_EQ(sig.response.Values()[1], std::string(kBob) + " " + kSid + " refused 3");
  EXPECT_EQ(Sets(), "in: out: me: mine:c");

  // Commands go only to a controlled peer.
  EXPECT_FALSE(ds->SendControlCommand(kBob, kSid, "k", 1));
  EXPECT_TRUE(ds->SendControlCommand(kCarol, kSid, "k", 1));

  // Carol ends it from her side: the notice names alice as the controller.
  EXPECT_TRUE(Parse(Msg(
      {{"Method", "DSControlFinished"}, {"From", kAlice}, {"To", kCarol}, {"Conference", kSid}})));
  EXPECT_EQ(Sets(), "in: out: me: mine:");
  EXPECT_EQ(sig.finished.Values(),
            std::vector<std::string>({std::string(kAlice) + " " + kCarol + " " + kSid}));
  EXPECT_FALSE(ds->SendFinishParticularRemoteControl(kCarol, kSid));  // nothing to end

  // Granted again, then ended from here.
  ASSERT_TRUE(ds->SendRequestControl(kBob, kSid));
  EXPECT_TRUE(Parse(Msg(
      {{"Method", "DSControlResponse"}, {"To", kBob}, {"Conference", kSid}, {"Result", "#1"}})));
  EXPECT_EQ(Sets(), "in: out: me: mine:b");
  EXPECT_TRUE(ds->SendFinishParticularRemoteControl(kBob, kSid));
  EXPECT_EQ(Sets(), "in: out: me: mine:");
}

// The controlled side: a request is kept until answered; a grant makes the requester control this
// client; its commands are delivered only while a desktop is the source.
TEST_F(DsControl, ControlledSetsFollowRequestAnswerCommandsAndFinished) {
  ASSERT_TRUE(ds->SendVideosource(kSid, 2));
  Deliver(
      Msg({{"Method", "DSControlRequest"}, {"From", kBob}, {"To", kAlice}, {"Conference", kSid}}));
  EXPECT_EQ(sig.received.Values(), std::vector<std::string>({std::string(kBob) + " " + kSid}));
  EXPECT_EQ(Sets(), "in:b out: me: mine:");
  // The same request again is not reported again.
  EXPECT_FALSE(Parse(Msg({{"Method", "DSControlRequest"}, {"From", kBob}, {"Conference", kSid}})));
  EXPECT_EQ(sig.received.Size(), 1u);

  EXPECT_TRUE(Parse(Msg({{"Method", "DSControlRequest"}, {"From", kCarol}, {"Conference", kSid}})));
  EXPECT_EQ(Sets(), "in:bc out: me: mine:");

  ASSERT_TRUE(ds->SendResponseToControlRequest(kBob, kSid, true, false));
  EXPECT_EQ(Sets(), "in:c out: me:b mine:");
  // Answered already: nothing more is sent.
  EXPECT_FALSE(ds->SendResponseToControlRequest(kBob, kSid, false, false));
  // A controlling peer cannot be queued as a requester again.
  EXPECT_FALSE(Parse(Msg({{"Method", "DSControlRequest"}, {"From", kBob}, {"Conference", kSid}})));
  EXPECT_EQ(Sets(), "in:c out: me:b mine:");

  ASSERT_TRUE(ds->SendResponseToControlRequest(kCarol, kSid, true, true));  // second reason
  EXPECT_EQ(Sets(), "in: out: me:b mine:");

  // Commands: from the controller while the source is a desktop, through the server.
  HX_Container command =
      Msg({{"Method", "DSCommand"}, {"From", kBob}, {"To", kAlice}, {"Conference", kSid}});
  command.AddValue("Data", HX_CNT_BINARY_VT, "move 1 2", 8);
  Deliver(command);
  HX_Container fromCarol = Msg({{"Method", "DSCommand"}, {"From", kCarol}, {"Conference", kSid}});
  fromCarol.AddValue("Data", HX_CNT_BINARY_VT, "evil", 4);
  EXPECT_TRUE(Parse(fromCarol));
  SetSource(1);
  EXPECT_TRUE(Parse(command));
  SetSource(4);
  EXPECT_TRUE(Parse(Msg({{"Method", "DSCommand"}, {"From", kBob}, {"Conference", kSid}})));
  EXPECT_EQ(sig.command.Values(),
            std::vector<std::string>({std::string(kBob) + " " + kSid + " [move 1 2]",
                                      std::string(kBob) + " " + kSid + " [null]"}));

  // Bob ends his control.
  Deliver(
      Msg({{"Method", "DSControlFinished"}, {"From", kBob}, {"To", kAlice}, {"Conference", kSid}}));
  EXPECT_EQ(Sets(), "in: out: me: mine:");
  EXPECT_TRUE(Parse(command));
  EXPECT_EQ(sig.command.Size(), 2u);

  // Granted again, then this side stops every control.
  EXPECT_TRUE(Parse(Msg({{"Method", "DSControlRequest"}, {"From", kCarol}, {"Conference", kSid}})));
  ASSERT_TRUE(ds->SendResponseToControlRequest(kCarol, kSid, true, false));
  EXPECT_EQ(Sets(), "in: out: me:c mine:");
  ASSERT_TRUE(ds->SendStopControlMeAll(kSid));
  EXPECT_EQ(Sets(), "in: out: me: mine:");
}

// Answers to a pending request: 2 without a desktop source, 4 for the second reason, 3 refused.
TEST_F(DsControl, AnswerResults) {
  const struct {
    HX_VideoSourceType source;
    bool accept, second;
    int32_t result;
    const char* sets;
  } rows[] = {
      {0, true, false, 2, "in: out: me: mine:"}, {5, true, true, 2, "in: out: me: mine:"},
      {3, true, true, 4, "in: out: me: mine:"},  {3, false, false, 3, "in: out: me: mine:"},
      {4, false, true, 4, "in: out: me: mine:"}, {2, true, false, 1, "in: out: me:b mine:"},
  };
  size_t n = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.result);
    SetSource(3);
    ASSERT_TRUE(Parse(Msg({{"Method", "DSControlRequest"}, {"From", kBob}, {"Conference", kSid}})));
    SetSource(row.source);
    ASSERT_TRUE(ds->SendResponseToControlRequest(kBob, kSid, row.accept, row.second));
    EXPECT_EQ(IntOf(Sent(++n).body, "Result"), row.result);
    EXPECT_EQ(Sets(), row.sets);
  }
}

// A request while the own source is not a desktop is answered "Result" 2 at once, every time, and
// nothing is kept or reported; a pending entry of that peer is cleared.
TEST_F(DsControl, RequestWithoutDesktopIsAnsweredTwoAndNotKept) {
  const HX_Container request =
      Msg({{"Method", "DSControlRequest"}, {"From", kBob}, {"To", kAlice}, {"Conference", kSid}});
  Deliver(request);
  FakeDsMessage answer = Sent(1);
  EXPECT_EQ(answer.method, "DSControlResponse");
  EXPECT_EQ(KeysOf(answer.body),
            std::vector<std::string>({"Method", "From", "To", "Conference", "Result"}));
  EXPECT_EQ(TextOf(answer.body, "From"), kBob);
  EXPECT_EQ(TextOf(answer.body, "To"), kAlice);
  EXPECT_EQ(IntOf(answer.body, "Result"), 2);
  EXPECT_EQ(answer.dst_server, kBroker);
  EXPECT_EQ(Sets(), "in: out: me: mine:");
  EXPECT_EQ(sig.received.Size(), 0u);

  EXPECT_FALSE(Parse(request));  // again: answered again
  EXPECT_EQ(IntOf(Sent(2).body, "Result"), 2);

  // Pending from a desktop time, then the source changed: answered 2 and cleared.
  SetSource(3);
  EXPECT_TRUE(Parse(request));
  EXPECT_EQ(Sets(), "in:b out: me: mine:");
  SetSource(0);
  EXPECT_FALSE(Parse(request));
  EXPECT_EQ(IntOf(Sent(3).body, "Result"), 2);
  EXPECT_EQ(Sets(), "in: out: me: mine:");
  EXPECT_EQ(sig.received.Size(), 1u);
  ExpectSentCount(3);
}

// The requester's side of that answer: its pending entry goes, the response is reported refused,
// and it may ask again.
TEST_F(DsControl, RefusalForNoDesktopLetsTheRequesterAskAgain) {
  fake->ScriptAnswer("DSControlRequest", Msg({{"Method", "DSControlResponse"},
                                              {"From", kAlice},
                                              {"To", kBob},
                                              {"Conference", kSid},
                                              {"Result", "#2"}}));
  ASSERT_TRUE(ds->SendRequestControl(kBob, kSid));
  ASSERT_TRUE(sig.response.WaitSize(1));
  EXPECT_EQ(sig.response.Values()[0], std::string(kBob) + " " + kSid + " refused 2");
  EXPECT_EQ(Sets(), "in: out: me: mine:");
  EXPECT_TRUE(ds->SendRequestControl(kBob, kSid));
}

TEST_F(DsControl, ResponseWithoutResultIsARefusal) {
  ASSERT_TRUE(ds->SendRequestControl(kBob, kSid));
  // "Name" stands in for an absent "To"; "Result" of another type reads as absent.
  EXPECT_TRUE(Parse(Msg(
      {{"Method", "DSControlResponse"}, {"Name", kBob}, {"Conference", kSid}, {"Result", "1"}})));
  EXPECT_EQ(sig.response.Values(),
            std::vector<std::string>({std::string(kBob) + " " + kSid + " refused 0"}));
  EXPECT_EQ(Sets(), "in: out: me: mine:");
}

// Without "Conference" the active conference is meant, except for a request.
TEST_F(DsControl, AbsentConferenceTakesTheActiveOne) {
  ASSERT_TRUE(ds->SendRequestControl(kBob, kSid));
  EXPECT_TRUE(Parse(Msg({{"Method", "DSControlResponse"}, {"To", kBob}, {"Result", "#1"}})));
  EXPECT_EQ(sig.response.Values().back(), std::string(kBob) + " " + kSid + " granted 1");
  EXPECT_EQ(Sets(), "in: out: me: mine:b");

  SetSource(3);
  EXPECT_FALSE(Parse(Msg({{"Method", "DSControlRequest"}, {"From", kCarol}})));
  EXPECT_EQ(sig.received.Size(), 0u);
  ASSERT_TRUE(Parse(Msg({{"Method", "DSControlRequest"}, {"From", kCarol}, {"Conference", kSid}})));
  ASSERT_TRUE(ds->SendResponseToControlRequest(kCarol, kSid, true, false));
  EXPECT_TRUE(Parse(Msg({{"Method", "DSCommand"}, {"From", kCarol}})));
  EXPECT_EQ(sig.command.Values(),
            std::vector<std::string>({std::string(kCarol) + " " + kSid + " [null]"}));

  EXPECT_TRUE(Parse(Msg({{"Method", "DSControlFinished"}, {"From", kAlice}, {"To", kBob}})));
  EXPECT_TRUE(Parse(Msg({{"Method", "DSControlFinished"}, {"From", kCarol}, {"To", kAlice}})));
  EXPECT_EQ(Sets(), "in: out: me: mine:");
  EXPECT_EQ(sig.finished.Size(), 2u);
}

TEST_F(DsControl, UnknownConference) {
  SetSource(3);
  // A request is still reported; nothing is kept anywhere.
  EXPECT_TRUE(
      Parse(Msg({{"Method", "DSControlRequest"}, {"From", kBob}, {"Conference", kUnknownSid}})));
  EXPECT_EQ(sig.received.Values(),
            std::vector<std::string>({std::string(kBob) + " " + kUnknownSid}));
  for (const char* method : {"DSControlResponse", "DSControlFinished"}) {
    EXPECT_FALSE(Parse(Msg({{"Method", method},
                            {"From", kAlice},
                            {"To", kBob},
                            {"Conference", kUnknownSid},
                            {"Result", "#1"}})))
        << method;
  }
  EXPECT_TRUE(Parse(Msg({{"Method", "DSCommand"}, {"From", kBob}, {"Conference", kUnknownSid}})));
  EXPECT_EQ(sig.response.Size() + sig.finished.Size() + sig.command.Size(), 0u);
  EXPECT_EQ(Sets(), "in: out: me: mine:");
}

// Messages from the server that lack or mistype what they need change nothing.
TEST_F(DsControl, BadInputChangesNothing) {
  SetSource(3);
  ASSERT_TRUE(ds->SendRequestControl(kBob, kSid));
  ASSERT_TRUE(Parse(Msg({{"Method", "DSControlRequest"}, {"From", kCarol}, {"Conference", kSid}})));
  ASSERT_TRUE(ds->SendResponseToControlRequest(kCarol, kSid, true, false));
  ASSERT_EQ(Sets(), "in: out:b me:c mine:");
  const size_t received = sig.received.Size();

  const struct {
    const char* what;
    HX_Container body;
    bool answer;
  } rows[] = {
      {"empty", HX_Container(), false},
      {"no method", Msg({{"From", kBob}, {"Conference", kSid}}), false},
      {"method of another type", Msg({{"Method", "#1"}, {"From", kBob}}), false},
      {"method in lower case",
       Msg({{"Method", "dscontrolresponse"}, {"To", kBob}, {"Conference", kSid}, {"Result", "#1"}}),
       false},
      {"method with a suffix",
       Msg({{"Method", "DSControlResponses"},
            {"To", kBob},
            {"Conference", kSid},
            {"Result", "#1"}}),
       false},
      {"other method", Msg({{"Method", "DSControlFinish"}, {"From", kCarol}, {"To", kAlice}}),
       false},
      {"request without From", Msg({{"Method", "DSControlRequest"}, {"Conference", kSid}}), false},
      {"request with an empty From",
       Msg({{"Method", "DSControlRequest"}, {"From", ""}, {"Conference", kSid}}), false},
      {"request with From of another type",
       Msg({{"Method", "DSControlRequest"}, {"From", "#7"}, {"Conference", kSid}}), false},
      {"response without To or Name",
       Msg({{"Method", "DSControlResponse"},
            {"From", kBob},
            {"Conference", kSid},
            {"Result", "#1"}}),
       false},
      {"response with Conference of another type",
       Msg({{"Method", "DSControlResponse"},
            {"To", kCarol},
            {"Conference", "#3"},
            {"Result", "#3"}}),
       true},
      {"finished without To",
       Msg({{"Method", "DSControlFinished"}, {"From", kAlice}, {"Conference", kSid}}), true},
      {"finished without From",
       Msg({{"Method", "DSControlFinished"}, {"To", kAlice}, {"Conference", kSid}}), true},
      {"finished between others",
       Msg({{"Method", "DSControlFinished"}, {"From", kBob}, {"To", kCarol}, {"Conference", kSid}}),
       true},
      {"command without From", Msg({{"Method", "DSCommand"}, {"Conference", kSid}}), true},
      {"command from someone else",
       Msg({{"Method", "DSCommand"}, {"From", kBob}, {"Conference", kSid}}), true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(Parse(row.body), row.answer);
    EXPECT_EQ(Sets(), "in: out:b me:c mine:");
  }
  EXPECT_EQ(sig.received.Size(), received);
  EXPECT_EQ(sig.command.Size(), 0u);
  // Only the refusal for the mistyped "Conference" (carol was not asked) was reported.
  EXPECT_EQ(sig.response.Values(),
            std::vector<std::string>({std::string(kCarol) + " " + kSid + " refused 3"}));
}

// Without a conference manager every conference is unknown and no active one exists.
TEST(DsControlAlone, WithoutConferenceManager) {
  HX_DesktopRemoteControlManager ds(nullptr, nullptr, nullptr);
  const auto parse = [&](HX_Container body) { return ds.ParseIncomimgMessage(body); };
  EXPECT_FALSE(parse(Msg({{"Method", "DSControlResponse"}, {"To", kBob}, {"Result", "#1"}})));
  EXPECT_FALSE(parse(Msg({{"Method", "DSControlFinished"}, {"From", kBob}, {"To", kAlice}})));
  EXPECT_FALSE(parse(Msg({{"Method", "DSCommand"}, {"From", kBob}})));
  EXPECT_TRUE(parse(Msg({{"Method", "DSControlRequest"}, {"From", kBob}, {"Conference", kSid}})));
  EXPECT_FALSE(ds.SendVideosource(kSid, 3));
  EXPECT_FALSE(ds.SendRequestControl(kBob, kSid));  // no transport to queue on
  EXPECT_FALSE(ds.SendRequestControl(nullptr, kSid));
  EXPECT_FALSE(ds.SendControlCommand(kBob, nullptr, "x", 1));
}

}  // namespace
}  // namespace hx::testing
