#include "core/net/loop/socket_scenario.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "core/net/loop/socket_actions.h"
#include "core/net/loop/zserver_test_util.h"
#include "core/net/socket/connect_checker.h"

namespace hx::testing {
namespace {

// A TCP socket that carries a scenario and routes its callbacks to the step in progress.
class ScenarioSocket : public HXZTCPSocketHandy, public HXSocketScenarioBase {
 public:
  ScenarioSocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol)
      : HXZTCPSocketHandy(helper, handle, family, type, protocol) {}

  HXZASocket* getSocketObject() override { return this; }
  const HXZASocket* getSocketObject() const override { return this; }
  int32_t onScenarioDone(HXZASocket*, HXZADataHandler*, bool ok) override {
    (ok ? succeeded : failed).fetch_add(1);
    return ok ? kComplete : kFailed;
  }
  void setCurrentAction(HXSocketActionBase* action) override { m_current = action; }

  void OnBoundLocal(bool ok) override {
    if (m_current != nullptr) m_current->saOnBoundLocal(this, this, ok);
  }
  void OnClose(HXZADataHandler* closed) override {
    if (m_current != nullptr) m_current->saOnClose(this, this, closed);
  }
  void OnTimer(unsigned id) override {
    if (m_current != nullptr) m_current->saOnTimer(this, this, id);
  }

  std::atomic<int> succeeded{0};
  std::atomic<int> failed{0};

 private:
  HXSocketActionBase* m_current = nullptr;
};

// A socket whose bind requests are refused.
class RefusingSocket : public ScenarioSocket {
 public:
  using ScenarioSocket::ScenarioSocket;
  bool Bind(std::shared_ptr<HXZAEndpointHolder>) override { return false; }
};

// A step that waits for an event it never handles itself.
class WaitingStep : public HXSocketActionBase {
 public:
  int32_t startAction(HXZASocket*, HXZADataHandler*) override { return 0; }
};

template <class Socket = ScenarioSocket>
Socket* NewSocket() {
  return HXZServer::implantNative<Socket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

using ScenarioTest = LoopFixture;

TEST_F(ScenarioTest, EmptyScenarioCompletesAtOnce) {
  ScenarioSocket* socket = NewSocket();
  EXPECT_EQ(socket->startScenario(socket, socket), HXSocketScenarioBase::kComplete);
  socket->DeleteLater();
}

TEST_F(ScenarioTest, RefusedBindFailsTheRunWithoutWaiting) {
  RefusingSocket* socket = NewSocket<RefusingSocket>();
  socket->addAction(
      std::make_shared<HXZSocketBindAction>(LoopbackEndpoint(0, ip::Proto::tcp), nullptr));
  EXPECT_EQ(socket->startScenario(socket, socket), HXSocketScenarioBase::kFailed);
  EXPECT_EQ(socket->succeeded.load() + socket->failed.load(), 0);
  socket->DeleteLater();
}

TEST_F(ScenarioTest, BindFailingInTheLoopEndsTheScenarioWithFailure) {
  PlainListener taken;
  ScenarioSocket* socket = NewSocket();
  HXZSocketBindAction bind(LoopbackEndpoint(taken.port(), ip::Proto::tcp));
  socket->addActionStatic(bind);
  OnLoop([&] { EXPECT_EQ(socket->startScenario(socket, socket), 0); });
  EXPECT_TRUE(WaitFor([&] { return socket->failed.load() == 1; }, 10000));
  EXPECT_EQ(socket->succeeded.load(), 0);
  socket->DeleteLater();
}

TEST_F(ScenarioTest, BindCloseBindRunsStepByStep) {
  ScenarioSocket* socket = NewSocket();
  auto first = std::make_shared<HXZSocketBindAction>();
  first->setBindAddress(LoopbackEndpoint(0, ip::Proto::tcp));
  socket->addAction(first);
  socket->addAction(std::make_shared<HXZSocketCloseAction>());
  socket->addAction(
      std::make_shared<HXZSocketBindAction>(LoopbackEndpoint(0, ip::Proto::tcp), nullptr));
  OnLoop([&] { EXPECT_EQ(socket->startScenario(socket, socket), 0); });
  EXPECT_TRUE(WaitFor([&] { return socket->succeeded.load() == 1; }, 10000));
  EXPECT_EQ(socket->failed.load(), 0);
  EXPECT_NE(socket->GetHandle(), -1);
  EXPECT_NE(LocalPort(*socket), 0);
  socket->GC();
}

TEST_F(ScenarioTest, UnexpectedTimerFailsTheStepInProgress) {
  ScenarioSocket* socket = NewSocket();
  socket->addAction(std::make_shared<WaitingStep>());
  OnLoop([&] { EXPECT_EQ(socket->startScenario(socket, socket), 0); });
  ASSERT_TRUE(socket->startTimer(4, 0));
  EXPECT_TRUE(WaitFor([&] { return socket->failed.load() == 1; }, 10000));
  socket->DeleteLater();
}

TEST_F(ScenarioTest, NestedScenarioCompletingAtOnceIsOneCompletedStep) {
  ScenarioSocket* socket = NewSocket();
  auto nested = std::make_shared<HXSocketScenarioDetached>();
  socket->addAction(nested);  // the outer scenario becomes its holder
  nested->addAction(std::make_shared<HXZSocketCloseAction>());
  nested->addAction(std::make_shared<HXZSocketCloseAction>());
  socket->addAction(std::make_shared<HXZSocketCloseAction>());
  EXPECT_EQ(nested->getSocketObject(), socket);
  EXPECT_EQ(socket->startScenario(socket, socket), HXSocketScenarioBase::kComplete);
  socket->DeleteLater();
}

TEST_F(ScenarioTest, NestedScenarioWaitingForAnEventReportsToTheOuterOne) {
  ScenarioSocket* socket = NewSocket();
  auto nested = std::make_shared<HXSocketScenarioDetached>();
  socket->addAction(nested);
  nested->addAction(
      std::make_shared<HXZSocketBindAction>(LoopbackEndpoint(0, ip::Proto::tcp), nullptr));
  socket->addAction(std::make_shared<HXZSocketCloseAction>());
  OnLoop([&] { EXPECT_EQ(socket->startScenario(socket, socket), 0); });
  EXPECT_TRUE(WaitFor([&] { return socket->succeeded.load() == 1; }, 10000));
  EXPECT_EQ(socket->GetHandle(), -1);  // the outer close step ran after the inner bind
  socket->DeleteLater();
}

TEST_F(ScenarioTest, FinishedStepsAreKeptOnlyWhenAsked) {
  ScenarioSocket* socket = NewSocket();
  for (bool keep : {false, true}) {
    auto step = std::make_shared<HXZSocketCloseAction>();
    socket->gcEnable(keep);
    socket->addAction(step);
    EXPECT_EQ(socket->startScenario(socket, socket), HXSocketScenarioBase::kComplete);
    EXPECT_EQ(step.use_count(), keep ? 2 : 1);
    socket->gcCollect();
    EXPECT_EQ(step.use_count(), 1);
  }
  auto pending = std::make_shared<WaitingStep>();
  socket->addAction(pending);
  socket->clearActionsList(true);
  EXPECT_EQ(pending.use_count(), 2);  // kept with the finished ones
  socket->gcCollect();
  EXPECT_EQ(pending.use_count(), 1);
  socket->DeleteLater();
}

using ConnectCheckerTest = LoopFixture;

TEST_F(ConnectCheckerTest, TellsConnectedFromEnded) {
  PlainListener server;
  RecordingTcpSocket* client =
      HXZServer::implantNative<RecordingTcpSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_TRUE(client->Connect(LoopbackEndpoint(server.port(), ip::Proto::tcp)));
  const int peer = server.Accept();
  ASSERT_TRUE(WaitFor([&] { return client->connected.load() == 1; }, 10000));
  // Keep the loop from reading what the checker is to peek at.
  OnLoop([&] { client->SetState(false); });

  HXConnectTCPDataManager checker;
  OnLoop([&] {
    EXPECT_EQ(checker.OnReadySendImp(client, client), 2);
    EXPECT_EQ(checker.OnReadyRecvImp(client, client), 0);  // nothing there yet
  });
  ASSERT_EQ(send(peer, "x", 1, 0), 1);
  ASSERT_TRUE(WaitReadable(client->GetHandle()));
  OnLoop([&] { EXPECT_EQ(checker.OnReadyRecvImp(client, client), 2); });
  char byte;
  OnLoop([&] { EXPECT_EQ(client->Recv(&byte, 1, 0), 1u); });
  close(peer);
  ASSERT_TRUE(WaitReadable(client->GetHandle()));
  OnLoop([&] { EXPECT_EQ(checker.OnReadyRecvImp(client, client), 1); });
  client->GC();
}

}  // namespace
}  // namespace hx::testing
