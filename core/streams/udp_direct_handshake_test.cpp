// The hello handshake of one trial, driven event by event at chosen ticks. The handler is a
// recording one (its requests would go through the cross connector's queue); the socket side is a
// real UDP socket on loopback, so every hello and reply really leaves and is read back by a peer
// socket, and a send the system refuses (to the broadcast address, EACCES) really fails.
#include "core/streams/udp_direct_handshake.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/base/net_message.h"
#include "testing/udp_nat_proxy/udp_nat_proxy.h"

namespace hx::streams {
namespace {

using Bytes = std::vector<uint8_t>;
using Calls = std::vector<std::string>;
using State = UdpDirectHandshakeHelper::State;

constexpr int32_t kOwnCtrl = 4242;
constexpr int32_t kPeerCtrl = -99;

// What the handler and the socket were last asked for, when a test runs both sides as a loop
// would: the send readiness and the armed timers with their due ticks.
struct LoopState {
  const uint64_t* tick = nullptr;
  bool sendOn = false;
  std::map<uint32_t, uint64_t> timers;

  void timer(uint32_t type, uint64_t ms) { timers[type] = *tick + ms; }
};

class RecordingHandler : public UdpDirectHandshakeHandler {
 public:
  uint32_t getSocketId() const override { return socketId; }
  void setSendStateAsync(bool on) override {
    calls.push_back(on ? "send on" : "send off");
    if (loop) loop->sendOn = on;
  }
  void startTimer(uint32_t type, uint64_t ms) override {
    calls.push_back("timer " + std::to_string(type) + " " + std::to_string(ms));
    if (loop) loop->timer(type, ms);
  }
  void stopTimer(uint32_t type) override {
    calls.push_back("stop " + std::to_string(type));
    if (loop) loop->timers.erase(type);
  }
  void changeSocket(uint32_t id, const HXSockAddr& address) override {
    calls.push_back("move " + std::to_string(id) + " " + address.strBind());
  }

  uint32_t socketId = 1;
  Calls calls;
  LoopState* loop = nullptr;
};

// A UDP socket bound to 127.0.0.1 on a free port.
class BoundSocket {
 public:
  BoundSocket() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
    EXPECT_TRUE(address_.setFromLiveLocal(fd_));
    timeval limit{5, 0};  // a lost datagram fails the test instead of hanging it
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  }
  ~BoundSocket() { ::close(fd_); }
  int fd() const { return fd_; }
  const HXSockAddr& address() const { return address_; }
  Bytes Receive() const {
    Bytes data(65536);
    const ssize_t n = ::recv(fd_, data.data(), data.size(), 0);
    data.resize(n > 0 ? n : 0);
    return data;
  }

 private:
  int fd_;
  HXSockAddr address_;
};

// The listener socket side: real sends, recorded requests.
class LoopbackSocket : public UdpDirectHandshakeSocket {
 public:
  explicit LoopbackSocket(uint32_t id) : id_(id) {}
  uint32_t getSocketId() const override { return id_; }
  HXSockAddr getBoundAddress() const override { return socket_.address(); }
  size_t sendTo(const void* data, size_t size, const HXSockAddr& to) override {
    const ssize_t n = ::sendto(socket_.fd(), data, size, 0, to.sockaddr(), to.sa_len());
    return n > 0 ? static_cast<size_t>(n) : 0;
  }
  void setSendState(bool on) override {
    calls.push_back(on ? "send on" : "send off");
    if (loop) loop->sendOn = on;
  }
  void startTimer(uint32_t type, uint64_t ms) override {
    calls.push_back("timer " + std::to_string(type) + " " + std::to_string(ms));
    if (loop) loop->timer(type, ms);
  }
  bool assocFromAddr(const HXSockAddr& address) override {
    calls.push_back("assoc " + address.strBind());
    return true;
  }

  int fd() const { return socket_.fd(); }

  Calls calls;
  LoopState* loop = nullptr;

 private:
  uint32_t id_;
  BoundSocket socket_;
};

HXSockAddr Udp(const char* host, const char* port) {
  HXSockAddr address;
  EXPECT_TRUE(address.set(ip::Proto::udp, host, port, 0, 0));
  return address;
}

Bytes ToBytes(const HXNetMessage& message) {
  return Bytes(message.buffer(), message.buffer() + message.size());
}

class UdpDirectHandshakeTest : public ::testing::Test {
 protected:
  UdpDirectHandshakeTest() : helper_(Connection(), kOwnCtrl) {
    helper_.setTickSource([this] { return tick_; });
  }

  udp::TrialDirectConnection Connection() {
    udp::TrialDirectConnection connection;
    connection.epn = 3;
    connection.local = socket_.getBoundAddress();
    connection.remote = peer_.address();
    connection.peerName = "Bob";
    connection.socketId = 1;
    connection.rtt = 77;  // must not survive construction
    connection.confInfo = std::make_shared<udp::ConferenceInfo>();
    connection.confInfo->ownName = "alice";
    connection.confInfo->conferenceName = "sid-1";
    return connection;
  }

  // What the peer "bob" sends, built field by field.
  static udp::HelloRequestData PeerFields(uint64_t sendTime, const HXSockAddr& localIntEp) {
    udp::HelloRequestData fields;
    fields.conferenceName = "SID-1";  // names compare without regard to case
    fields.participantName = "bob";
    fields.connectedParticipantName = "Alice";
    fields.sendTime = sendTime;
    fields.localIntEp = localIntEp;
    return fields;
  }
  Bytes PeerHello(int version, uint64_t sendTime, const HXSockAddr& localIntEp = {}) {
    HX_Container body;
    if (version > 0) {
      udp::addCommonReqFields(PeerFields(sendTime, localIntEp), body);
    } else {
      udp::HelloRequestData names = PeerFields(0, {});
      body.AddValue("ConferenceName", names.conferenceName.c_str());
      body.AddValue("participantName", names.participantName.c_str());
      body.AddValue("connectedParticipantName", names.connectedParticipantName.c_str());
    }
    udp::addCtrlNum(body, kPeerCtrl);
    HXNetMessage message;
    EXPECT_TRUE(udp::fillMsg(message, body, udp::kHelloText, udp::kHelloHeaderSize));
    return ToBytes(message);
  }
  Bytes PeerOk(int version, int32_t ctrl, uint64_t retBackTime = 0) {
    HX_Container body;
    udp::addCtrlNum(body, ctrl);
    if (version > 0) {
      udp::addCommonReqFields(PeerFields(tick_, {}), body);
      if (retBackTime != 0) udp::addRetBackTime(body, retBackTime);
    }
    HXNetMessage message;
    EXPECT_TRUE(udp::fillMsg(message, body, udp::kOkReplyText, udp::kOkReplyHeaderSize));
    return ToBytes(message);
  }

  void Deliver(const Bytes& datagram, const HXSockAddr& source) {
    UdpDirectDatagram message{datagram.data(), datagram.size(), source, socket_.getBoundAddress()};
    helper_.onRecvMsg(handler_, socket_, message);
  }
  void Deliver(const Bytes& datagram) { Deliver(datagram, peer_.address()); }
  void ReadySend() { helper_.onReadySend(handler_, socket_); }
  void At(uint64_t tick) { tick_ = tick; }

  // Starts at tick 1000 and sends the first hello; the peer reads it.
  void StartAndSendFirstHello() {
    At(1000);
    helper_.startHandshake(handler_);
    ReadySend();
    udp::HelloRequestData hello;
    const Bytes sent = peer_.Receive();
    ASSERT_TRUE(udp::readHelloRequest(sent.data(), sent.size(), hello));
    EXPECT_EQ(hello.controlNumber, kOwnCtrl);
    EXPECT_EQ(hello.sendTime, 1000u);
    EXPECT_EQ(hello.participantName, "alice");
    EXPECT_EQ(hello.connectedParticipantName, "Bob");
    handler_.calls.clear();
    socket_.calls.clear();
  }

  // Both messages accepted with a version-1 peer and no round-trip time: the peer's hello at
  // 1100 is answered at 1110, the peer's OK reply (no "RetBackTime") arrives at 1200.
  void RunVersion1UntilBothAccepted() {
    StartAndSendFirstHello();
    At(1100);
    Deliver(PeerHello(1, 5000));
    At(1110);
    ReadySend();
    At(1200);
    Deliver(PeerOk(1, kOwnCtrl));
  }

  uint64_t tick_ = 0;
  RecordingHandler handler_;
  LoopbackSocket socket_{1};
  BoundSocket peer_;
  UdpDirectHandshakeHelper helper_;
};

TEST_F(UdpDirectHandshakeTest, HellosRepeatEvery300MsUntilAnOkReplyIsAccepted) {
  EXPECT_EQ(helper_.getConnection().rtt, 0u);
  StartAndSendFirstHello();
  EXPECT_EQ(helper_.getState(), State::kRunning);

  At(1300);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
  EXPECT_EQ(handler_.calls, Calls{"send on"});
  ReadySend();
  EXPECT_EQ(socket_.calls, (Calls{"timer 1 300", "send off"}));
  peer_.Receive();

  // An OK reply echoing a foreign control number changes nothing: hellos go on.
  At(1420);
  Deliver(PeerOk(1, kOwnCtrl + 1, 1300));
  EXPECT_FALSE(helper_.isOkReplyAccepted());
  EXPECT_EQ(helper_.getOkRepliesAccepted(), 0u);
  EXPECT_EQ(helper_.getConnection().rtt, 0u);
  handler_.calls.clear();
  At(1600);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
  EXPECT_EQ(handler_.calls, Calls{"send on"});
  ReadySend();
  peer_.Receive();
  EXPECT_EQ(helper_.getHellosSent(), 3u);

  // The right one stops the resends and gives the round-trip time from the echoed send time.
  At(1650);
  Deliver(PeerOk(1, kOwnCtrl, 1600));
  EXPECT_TRUE(helper_.isOkReplyAccepted());
  EXPECT_EQ(helper_.getConnection().rtt, 50u);
  handler_.calls.clear();
  At(1900);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
  EXPECT_TRUE(handler_.calls.empty());
  EXPECT_EQ(helper_.getHellosSent(), 3u);
}

TEST_F(UdpDirectHandshakeTest, HelloTimerTwentyMsEarlyIsOnTimeThirtyMsEarlyIsRestarted) {
  StartAndSendFirstHello();  // next hello due at 1300
  At(1270);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
  EXPECT_EQ(handler_.calls, Calls{"timer 1 30"});
  handler_.calls.clear();
  At(1280);
  helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
  EXPECT_EQ(handler_.calls, Calls{"send on"});
}

TEST_F(UdpDirectHandshakeTest, Version1ConversationEnds600MsAfterTheLastOkReplySent) {
  RunVersion1UntilBothAccepted();
  // Our reply at 1110 echoed the peer's send time.
  udp::ReplyData reply;
  const Bytes sent = peer_.Receive();
  ASSERT_TRUE(udp::readOkReply(sent.data(), sent.size(), reply));
  EXPECT_EQ(reply.controlNumber, kPeerCtrl);
  EXPECT_EQ(reply.retBackTime, 5000u);
  EXPECT_EQ(reply.version, 1);
  EXPECT_EQ(helper_.getConnection().rtt, 0u);
  EXPECT_EQ(socket_.calls.back(), "timer 2 510");  // 1110 + 3 x 100 + 300 = 1710

  // A later hello is answered again, which moves the end: 1400 + 600.
  At(1400);
  Deliver(PeerHello(1, 5300));
  ReadySend();
  peer_.Receive();
  EXPECT_EQ(socket_.calls.back(), "timer 2 600");

  struct Case {
    uint64_t fired;
    State state;
    Calls calls;
  };
  const Case cases[] = {
      {1970, State::kRunning, {"timer 2 30"}},
      {1980, State::kDone, {"stop 1", "stop 2", "send off"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fired);
    handler_.calls.clear();
    At(c.fired);
    helper_.onTimer(handler_, UdpDirectHandshakeHelper::kConversationEndTimer);
    EXPECT_EQ(helper_.getState(), c.state);
    EXPECT_EQ(handler_.calls, c.calls);
  }
}

TEST_F(UdpDirectHandshakeTest, Version0ConversationEndsSixSecondsAfterStartOrAtTheFifthOk) {
  StartAndSendFirstHello();
  At(1040);
  Deliver(PeerOk(0, kOwnCtrl));  // the start of the conversation; round trip 40
  EXPECT_EQ(helper_.getConnection().rtt, 40u);
  At(1100);
  Deliver(PeerHello(0, 0));
  EXPECT_EQ(socket_.calls.back(), "send on");
  At(1110);
  ReadySend();
  // 1040 - 40 / 2 + 6000 = 7020
  EXPECT_EQ(socket_.calls.back(), "timer 2 5910");

  // A version-0 peer gets the header and "CtrlNum" alone.
  const Bytes sent = peer_.Receive();
  ASSERT_GE(sent.size(), 16u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(sent.data())), "UDP_CONN_OK");
  HX_Container body;
  ASSERT_TRUE(body.Deserialize(sent.data() + 16, sent.size() - 16));
  body.Reset();
  ASSERT_TRUE(body.Next());
  EXPECT_STREQ(body.GetName(), "CtrlNum");
  int32_t ctrl = 0;
  ASSERT_TRUE(body.GetValue(ctrl));
  EXPECT_EQ(ctrl, kPeerCtrl);
  EXPECT_FALSE(body.Next());

  for (uint64_t at : {1200, 1210, 1220}) {
    At(at);
    Deliver(PeerOk(0, kOwnCtrl));
    EXPECT_EQ(helper_.getState(), State::kRunning);
  }
  EXPECT_EQ(socket_.calls.back(), "timer 2 5800");
  At(1230);
  Deliver(PeerOk(0, kOwnCtrl));
  EXPECT_EQ(helper_.getOkRepliesAccepted(), 5u);
  EXPECT_EQ(helper_.getState(), State::kDone);
}

TEST_F(UdpDirectHandshakeTest, Version0RoundTripCountsUnansweredHellos) {
  StartAndSendFirstHello();
  for (uint64_t at : {1300, 1600}) {
    At(at);
    helper_.onTimer(handler_, UdpDirectHandshakeHelper::kHelloTimer);
    ReadySend();
    peer_.Receive();
  }
  At(1650);
  Deliver(PeerOk(0, kOwnCtrl));
  // The last hello left 50 ms ago; two more hellos than replies add 2 x 300.
  EXPECT_EQ(helper_.getConnection().rtt, 650u);
}

// A send the socket refuses ends the handshake. Before both messages were accepted nothing is
// proven: state 5, never the success state 4.
TEST_F(UdpDirectHandshakeTest, RefusedSendBeforeBothMessagesFails) {
  helper_.getConnection().remote = Udp("255.255.255.255", "9");
  At(1000);
  helper_.startHandshake(handler_);
  ReadySend();
  EXPECT_EQ(helper_.getState(), State::kFailed);
  EXPECT_EQ(handler_.calls, (Calls{"send on", "stop 1", "stop 2", "send off"}));
  EXPECT_EQ(socket_.calls, Calls{});  // neither a hello timer nor a conversation end
}

TEST_F(UdpDirectHandshakeTest, RefusedSendAfterBothMessagesStillCountsAsDone) {
  StartAndSendFirstHello();
  At(1100);
  Deliver(PeerOk(1, kOwnCtrl));
  At(1150);
  Deliver(PeerHello(0, 0));  // version 0: the source does not redirect the sends
  ASSERT_TRUE(helper_.isHelloAccepted() && helper_.isOkReplyAccepted());
  helper_.getConnection().remote = Udp("255.255.255.255", "9");
  handler_.calls.clear();
  ReadySend();
  EXPECT_EQ(helper_.getState(), State::kDone);
  EXPECT_EQ(handler_.calls, (Calls{"stop 1", "stop 2", "send off"}));
}

TEST_F(UdpDirectHandshakeTest, PeerBehindNatIsAnsweredAtItsSourceOnceItsLocalEndpointHolds) {
  BoundSocket mapped;  // the peer's datagrams come from here, not from the address we know
  StartAndSendFirstHello();
  At(1100);
  Deliver(PeerHello(1, 5000, Udp("10.9.9.9", "4000")), mapped.address());
  EXPECT_EQ(helper_.getConnection().remote.strBind(), mapped.address().strBind());
  // Its local endpoint differed from the remote NAT address: that resets, and the hello no
  // longer counts.
  EXPECT_EQ(helper_.getConnection().remoteNat.strBind(), mapped.address().strBind());
  EXPECT_FALSE(helper_.isHelloAccepted());

  At(1200);
  Deliver(PeerHello(1, 5100, mapped.address()), mapped.address());
  EXPECT_TRUE(helper_.isHelloAccepted());
  ReadySend();
  udp::ReplyData reply;
  const Bytes sent = mapped.Receive();
  ASSERT_TRUE(udp::readOkReply(sent.data(), sent.size(), reply));
  EXPECT_EQ(reply.retBackTime, 5100u);
}

TEST_F(UdpDirectHandshakeTest, HelloFromOutsideTheBindingMovesTheTrialOrIsRefused) {
  LoopbackSocket other{2};
  BoundSocket source;
  auto apply = [&](const Bytes& datagram) {
    udp::HelloRequestData hello;
    EXPECT_TRUE(udp::readHelloRequest(datagram.data(), datagram.size(), hello));
    hello.source = source.address();
    UdpDirectDatagram message{datagram.data(), datagram.size(), source.address(),
                              other.getBoundAddress()};
    return helper_.applyMsg(handler_, other, message, hello);
  };
  // Not started: accepted, the first hello becomes due. (Version 0, so that the sends are not
  // redirected to the hello's source.)
  EXPECT_TRUE(apply(PeerHello(0, 0)));
  EXPECT_EQ(helper_.getState(), State::kCreated);
  EXPECT_TRUE(helper_.isHelloAccepted());

  helper_.initVars(kOwnCtrl);
  StartAndSendFirstHello();
  EXPECT_FALSE(apply(PeerHello(1, 5000, Udp("10.9.9.9", "4000"))));
  EXPECT_EQ(helper_.getState(), State::kRunning);
  EXPECT_TRUE(handler_.calls.empty());

  EXPECT_FALSE(apply(PeerHello(1, 5000, peer_.address())));
  EXPECT_EQ(helper_.getState(), State::kMoved);
  EXPECT_EQ(handler_.calls, Calls{"move 2 " + source.address().strBind()});
  EXPECT_EQ(helper_.getConnection().socketId, 2u);
  EXPECT_EQ(helper_.getConnection().local.strBind(), other.getBoundAddress().strBind());
}

// One end of a trial run as a loop would run it: its own helper, real loopback socket and loop
// state; Round() hands it what arrived, a send opportunity when it asked for one, and its timers
// that are due.
struct Side {
  Side(const char* own, const char* peer, int32_t ctrl, uint64_t* tick)
      : own(own), peer(peer), ctrl(ctrl) {
    loop.tick = tick;
    handler.loop = &loop;
    socket.loop = &loop;
  }
  void Start(const HXSockAddr& remote, const uint64_t* tick) {
    udp::TrialDirectConnection connection;
    connection.local = socket.getBoundAddress();
    connection.remote = remote;
    connection.peerName = peer;
    connection.socketId = 1;
    connection.confInfo = std::make_shared<udp::ConferenceInfo>();
    connection.confInfo->ownName = own;
    connection.confInfo->conferenceName = "sid-7";
    helper = std::make_unique<UdpDirectHandshakeHelper>(std::move(connection), ctrl);
    helper->setTickSource([tick] { return *tick; });
    helper->startHandshake(handler);
  }
  void Round(uint64_t now) {
    uint8_t data[2048];
    sockaddr_storage from{};
    socklen_t length = sizeof(from);
    ssize_t n;
    while ((n = ::recvfrom(socket.fd(), data, sizeof(data), MSG_DONTWAIT,
                           reinterpret_cast<sockaddr*>(&from), &length)) > 0) {
      UdpDirectDatagram message{data, static_cast<size_t>(n), {}, socket.getBoundAddress()};
      message.source.set(ip::Proto::udp, reinterpret_cast<sockaddr*>(&from), length);
      helper->onRecvMsg(handler, socket, message);
      length = sizeof(from);
    }
    if (loop.sendOn) helper->onReadySend(handler, socket);
    for (auto it = loop.timers.begin(); it != loop.timers.end();) {
      const uint32_t type = it->first;
      if (it->second > now) {
        ++it;
        continue;
      }
      it = loop.timers.erase(it);
      helper->onTimer(handler, type);
    }
  }
  const char* own;
  const char* peer;
  int32_t ctrl;
  LoopState loop;
  RecordingHandler handler;
  LoopbackSocket socket{1};
  std::unique_ptr<UdpDirectHandshakeHelper> helper;
};

// Both ends over real loopback sockets; simulated ticks advance 5 ms per round.
TEST(UdpDirectHandshakeTwoSides, BothSidesFinishTheHandshake) {
  uint64_t tick = 1000;
  Side alice("alice", "bob", 11, &tick);
  Side bob("bob", "alice", 22, &tick);
  alice.Start(bob.socket.getBoundAddress(), &tick);
  bob.Start(alice.socket.getBoundAddress(), &tick);
  while (tick < 10000 && (alice.helper->getState() == State::kRunning ||
                          bob.helper->getState() == State::kRunning)) {
    alice.Round(tick);
    bob.Round(tick);
    tick += 5;
  }
  for (Side* side : {&alice, &bob}) {
    SCOPED_TRACE(side->own);
    EXPECT_EQ(side->helper->getState(), State::kDone);
    EXPECT_TRUE(side->helper->isHelloAccepted() && side->helper->isOkReplyAccepted());
    EXPECT_EQ(side->helper->getPeerVersion(), 1);
    EXPECT_FALSE(side->loop.sendOn);
    EXPECT_TRUE(side->loop.timers.empty());
  }
  // Each hello is heard at once, so each side is done within a second of simulated time.
  EXPECT_LT(tick, 2000u);
}

// Alice sits behind the NAT proxy and sends to its inner address. Bob, outside, knows Alice only by
// her local address (his remote NAT address, as a trial made from her hello has it) and at first
// sends nowhere useful: his sends must follow where her datagrams come from, through a change of
// the mapping too. Bob's local address is not the one Alice sends to, so Alice's side never counts
// his hello as accepted and does not finish.
TEST(UdpDirectHandshakeBehindNat, OutsideSideFollowsTheMappingInsideSideDoesNotFinish) {
  uint64_t tick = 1000;
  Side alice("alice", "bob", 11, &tick);
  Side bob("bob", "alice", 22, &tick);
  hx::testing::UdpNatProxy proxy(Udp("127.0.0.1", "0"), Udp("127.0.0.2", "0"),
                                 bob.socket.getBoundAddress());
  ASSERT_TRUE(proxy.start());
  // Alice hears nothing until her mapping has changed, so that she keeps sending hellos.
  proxy.dropNext(hx::testing::NatDirection::kInbound, 1000);
  alice.Start(proxy.innerAddress(), &tick);
  bob.Start(Udp("127.0.0.3", "9"), &tick);
  bob.helper->getConnection().remoteNat = alice.socket.getBoundAddress();

  const HXSockAddr aliceLocal = alice.socket.getBoundAddress();
  auto bobSendsTo = [&] { return bob.helper->getConnection().remote.strBind(); };
  // Datagrams pass the proxy's thread in real time: each round waits a little for them.
  auto runUntil = [&](const std::function<bool()>& done) {
    while (tick < 60000 && !done()) {
      pollfd fds[] = {{alice.socket.fd(), POLLIN, 0}, {bob.socket.fd(), POLLIN, 0}};
      ::poll(fds, 2, 2);
      alice.Round(tick);
      bob.Round(tick);
      tick += 5;
    }
    return done();
  };
  ASSERT_TRUE(runUntil([&] {
    const HXSockAddr outer = proxy.outerAddressFor(aliceLocal);
    return !outer.empty() && bobSendsTo() == outer.strBind();
  }));
  const HXSockAddr moved = proxy.remap(aliceLocal);
  ASSERT_FALSE(moved.empty());
  proxy.dropNext(hx::testing::NatDirection::kInbound, 0);
  ASSERT_TRUE(runUntil([&] { return bobSendsTo() == moved.strBind(); }));
  ASSERT_TRUE(runUntil([&] { return bob.helper->getState() != State::kRunning; }));

  EXPECT_EQ(bob.helper->getState(), State::kDone);
  EXPECT_EQ(bobSendsTo(), moved.strBind());
  EXPECT_EQ(alice.helper->getState(), State::kRunning);
  EXPECT_TRUE(alice.helper->isOkReplyAccepted());
  EXPECT_FALSE(alice.helper->isHelloAccepted());
}

}  // namespace
}  // namespace hx::streams
