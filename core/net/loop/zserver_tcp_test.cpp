#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "core/net/loop/endpoint_fqdn.h"
#include "core/net/loop/zserver.h"
#include "core/net/loop/zserver_test_util.h"

namespace hx::testing {
namespace {

using TcpLoopTest = LoopFixture;

RecordingTcpSocket* NewTcpSocket() {
  return HXZServer::implantNative<RecordingTcpSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
}

std::string ReadSome(int handle, size_t count) {
  std::string data(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t n = recv(handle, data.data() + got, count - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  data.resize(got);
  return data;
}

TEST_F(TcpLoopTest, ConnectsSendsAndReceivesWhenAskedFromAnotherThread) {
  PlainListener server;
  std::atomic<int> destroyed{0};
  RecordingTcpSocket* client = nullptr;
  std::thread caller([&] {
    client = NewTcpSocket();
    client->destroyed = &destroyed;
    client->toSend = "ping";
    EXPECT_TRUE(client->Connect(LoopbackEndpoint(server.port(), ip::Proto::tcp)));
  });
  caller.join();

  const int peer = server.Accept();
  ASSERT_GE(peer, 0);
  EXPECT_EQ(ReadSome(peer, 4), "ping");
  ASSERT_EQ(send(peer, "pong", 4, 0), 4);
  EXPECT_TRUE(WaitFor([&] { return client->received() == "pong"; }, 10000));
  EXPECT_EQ(client->connected.load(), 1);

  close(peer);
  EXPECT_TRUE(WaitFor([&] { return client->ended.load() == 1; }, 10000));
  EXPECT_EQ(client->errors.load(), 0);
  client->GC();
  EXPECT_TRUE(WaitFor([&] { return destroyed.load() == 1; }, 10000));
}

// Leaves readiness to read alone, so that the error that comes with it reaches OnError.
class NotReadingSocket : public RecordingTcpSocket {
 public:
  using RecordingTcpSocket::RecordingTcpSocket;
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override { return 0; }
};

TEST_F(TcpLoopTest, RefusedConnectEndsInError) {
  const uint16_t port = FreeLoopbackPort(SOCK_STREAM);
  auto* client = HXZServer::implantNative<NotReadingSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_TRUE(client->Connect(LoopbackEndpoint(port, ip::Proto::tcp)));
  EXPECT_TRUE(WaitFor([&] { return client->errors.load() == 1; }, 10000));
  EXPECT_FALSE(client->GetState());
  client->GC();
}

TEST_F(TcpLoopTest, NameThatNeverResolvesFailsAtTheConnectDeadline) {
  HXZServer::setConnectTimeLimit(300);
  RecordingTcpSocket* client = NewTcpSocket();
  auto endpoint = HXZEndpointFqdn::remoteTCP("never-resolves.invalid", 80);
  EXPECT_EQ(endpoint->state(), HXZAEndpointHolder::stateResolving);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(client->Connect(endpoint));
  ASSERT_TRUE(WaitFor([&] { return client->errors.load() == 1; }, 10000));
  const auto waited = std::chrono::steady_clock::now() - start;
  // The tick clock counts whole milliseconds, so allow one of them.
  EXPECT_GE(waited, std::chrono::milliseconds(299));
  EXPECT_EQ(client->connected.load(), 0);
  client->GC();
}

TEST_F(TcpLoopTest, ConnectWaitingForANameGoesOnWhenTheAnswerArrives) {
  PlainListener server;
  RecordingTcpSocket* client = NewTcpSocket();
  auto endpoint = HXZEndpointFqdn::remoteTCP("later.invalid", server.port());
  ASSERT_TRUE(client->Connect(endpoint));
  // Once the loop has run a job queued after the connect request, the connect waits for the
  // name, however slow the machine.
  OnLoop([] {});
  EXPECT_EQ(endpoint->state(), HXZAEndpointHolder::stateResolving);
  EXPECT_EQ(client->connected.load(), 0);
  // The DNS client answers on a thread of its own.
  std::thread resolver([&] { endpoint->OnCallbackQueryA("later.invalid", "127.0.0.1"); });
  resolver.join();
  EXPECT_TRUE(WaitFor([&] { return client->connected.load() == 1; }, 10000));
  const int peer = server.Accept();
  EXPECT_GE(peer, 0);
  close(peer);
  client->GC();
}

TEST_F(TcpLoopTest, FailedLookupEndsTheWaitingConnectAtOnce) {
  HXZServer::setConnectTimeLimit(60000);
  RecordingTcpSocket* client = NewTcpSocket();
  auto endpoint = HXZEndpointFqdn::remoteTCP("fails.invalid", 80);
  ASSERT_TRUE(client->Connect(endpoint));
  OnLoop([] {});  // the connect request has been taken: it waits for the name
  EXPECT_EQ(endpoint->state(), HXZAEndpointHolder::stateResolving);
  EXPECT_EQ(client->errors.load(), 0);
  endpoint->OnCallbackQueryA("fails.invalid", nullptr);
  EXPECT_TRUE(WaitFor([&] { return client->errors.load() == 1; }, 10000));
  client->GC();
}

TEST_F(TcpLoopTest, CloseThenReconnectOnTheSameSocket) {
  PlainListener server;
  RecordingTcpSocket* client = NewTcpSocket();
  ASSERT_TRUE(client->Connect(LoopbackEndpoint(server.port(), ip::Proto::tcp)));
  const int first = server.Accept();
  ASSERT_TRUE(WaitFor([&] { return client->connected.load() == 1; }, 10000));

  ASSERT_TRUE(client->Close(false));
  EXPECT_EQ(client->GetHandle(), -1);
  ASSERT_TRUE(client->Connect(LoopbackEndpoint(server.port(), ip::Proto::tcp)));
  const int second = server.Accept();
  EXPECT_TRUE(WaitFor([&] { return client->connected.load() == 2; }, 10000));
  EXPECT_EQ(client->closed.load(), 1);
  // The first connection was closed by the loop: its peer reads the end of the stream.
  char byte;
  EXPECT_EQ(recv(first, &byte, 1, 0), 0);
  close(first);
  close(second);
  client->GC();
}

// A listening socket on the loop that hands every accepted connection to a socket of its own.
class Listener : public RecordingTcpSocket {
 public:
  using RecordingTcpSocket::RecordingTcpSocket;
  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override {
    std::unique_ptr<HXZADataHandler> accepted = Parent()->AcceptImp(this);
    if (accepted == nullptr) return 1;
    RecordingTcpSocket* socket = HXZServer::inheritNative<RecordingTcpSocket>(accepted.get());
    EXPECT_EQ(accepted->GetHandle(), -1);
    EXPECT_FALSE(accepted->GetState());
    socket->SetState(true);
    std::lock_guard<std::mutex> lock(mutex);
    sockets.push_back(socket);
    return 0;
  }
  std::mutex mutex;
  std::vector<RecordingTcpSocket*> sockets;
};

TEST_F(TcpLoopTest, AcceptedConnectionIsTakenOverBySocketOfRequestedClass) {
  auto* listener = HXZServer::implantNative<Listener>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_TRUE(listener->Bind(LoopbackEndpoint(0, ip::Proto::tcp)));
  ASSERT_TRUE(WaitFor([&] { return listener->bound.load() == 1; }, 10000));
  const uint16_t port = LocalPort(*listener);

  RecordingTcpSocket* client = NewTcpSocket();
  client->toSend = "hello";
  ASSERT_TRUE(client->Connect(LoopbackEndpoint(port, ip::Proto::tcp)));
  ASSERT_TRUE(WaitFor(
      [&] {
        std::lock_guard<std::mutex> lock(listener->mutex);
        return !listener->sockets.empty() && listener->sockets[0]->received() == "hello";
      },
      10000));
  RecordingTcpSocket* accepted = listener->sockets[0];
  accepted->Send("back", 4, 0);
  EXPECT_TRUE(WaitFor([&] { return client->received() == "back"; }, 10000));

  RecordingTcpSocket* none = nullptr;
  OnLoop([&] {
    HXZANullDataHandler without_descriptor(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
    none = HXZServer::inheritNative<RecordingTcpSocket>(&without_descriptor);
  });
  EXPECT_EQ(none, nullptr);
  accepted->GC();
  client->GC();
  listener->GC();
}

TEST_F(TcpLoopTest, FailedBindIsReportedWithTheDescriptorClosed) {
  PlainListener taken;
  RecordingTcpSocket* socket = NewTcpSocket();
  ASSERT_TRUE(socket->Bind(LoopbackEndpoint(taken.port(), ip::Proto::tcp)));
  EXPECT_TRUE(WaitFor([&] { return socket->bindFailed.load() == 1; }, 10000));
  EXPECT_EQ(socket->GetHandle(), -1);
  EXPECT_FALSE(socket->GetState());
  socket->GC();
}

TEST_F(TcpLoopTest, EverySocketIsPolledBeyondSixtyFour) {
  PlainListener server;
  std::vector<RecordingTcpSocket*> clients;
  constexpr int kClients = 70;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(NewTcpSocket());
    ASSERT_TRUE(clients.back()->Connect(LoopbackEndpoint(server.port(), ip::Proto::tcp)));
  }
  std::vector<int> peers;
  for (int i = 0; i < kClients; ++i) peers.push_back(server.Accept());
  EXPECT_TRUE(WaitFor(
      [&] {
        for (RecordingTcpSocket* client : clients) {
          if (client->connected.load() != 1) return false;
        }
        return true;
      },
      10000));
  // Two pipe ends, the DNS client's two sockets and the clients are registered.
  EXPECT_EQ(HXZServer::_free_sockets.load(), 64 - kClients - 4);
  for (int peer : peers) close(peer);
  for (RecordingTcpSocket* client : clients) client->GC();
}

// Sockets of this class always live at the same address, so a new one reuses the address of
// the one deleted before it.
class SameAddressSocket : public RecordingTcpSocket {
 public:
  using RecordingTcpSocket::RecordingTcpSocket;
  static void* operator new(size_t size) {
    EXPECT_LE(size, sizeof(s_slot));
    s_slotFree.store(false);
    return s_slot;
  }
  // Runs after every destructor of the socket: only then may the slot be used again.
  static void operator delete(void*) { s_slotFree.store(true); }

  static std::atomic<bool> s_slotFree;

 private:
  alignas(std::max_align_t) static unsigned char s_slot[sizeof(RecordingTcpSocket) + 64];
};
alignas(std::max_align_t) unsigned char SameAddressSocket::s_slot[sizeof(RecordingTcpSocket) + 64];
std::atomic<bool> SameAddressSocket::s_slotFree{true};

TEST_F(TcpLoopTest, WorkOfADeletedSocketDoesNotReachTheNextSocketAtItsAddress) {
  auto* first = HXZServer::implantNative<SameAddressSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  const uint32_t first_serial = first->getSerial();
  HXZServer::setConnectTimeLimit(400);
  ASSERT_TRUE(first->startTimer(1, 300));
  ASSERT_TRUE(first->Connect(HXZEndpointFqdn::remoteTCP("pending.invalid", 80)));
  first->DeleteLater();
  ASSERT_TRUE(WaitFor([] { return SameAddressSocket::s_slotFree.load(); }, 10000));

  auto* second = HXZServer::implantNative<SameAddressSocket>(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(static_cast<void*>(second), static_cast<void*>(first));
  EXPECT_NE(second->getSerial(), first_serial);
  ASSERT_TRUE(second->startTimer(2, 600));
  // Past the first socket's timer and connect deadline, and the second's own timer.
  ASSERT_TRUE(WaitFor([&] { return !second->timers().empty(); }, 10000));
  EXPECT_EQ(second->timers(), std::vector<unsigned>{2});
  EXPECT_EQ(second->errors.load(), 0);
  second->DeleteLater();
}

TEST_F(TcpLoopTest, ShutdownWithOpenSocketsClosesThemAndLeavesNothingBehind) {
  PlainListener server;
  std::vector<RecordingTcpSocket*> clients;
  std::vector<int> peers;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(NewTcpSocket());
    ASSERT_TRUE(clients.back()->Connect(LoopbackEndpoint(server.port(), ip::Proto::tcp)));
    peers.push_back(server.Accept());
  }
  ASSERT_TRUE(WaitFor(
      [&] {
        for (RecordingTcpSocket* client : clients) {
          if (client->connected.load() != 1) return false;
        }
        return true;
      },
      10000));
  clients[0]->startTimer(7, 60000);
  ASSERT_TRUE(HXZServer::ScheduleNetworkJob(new FunctionTask([] {}), 60000));

  loop->Shutdown();
  ASSERT_TRUE(loop->Wait4Done());
  for (RecordingTcpSocket* client : clients) {
    EXPECT_EQ(client->closed.load(), 1);
    EXPECT_EQ(client->GetHandle(), -1);
  }
  char byte;
  for (int peer : peers) {
    EXPECT_EQ(recv(peer, &byte, 1, 0), 0);
    close(peer);
  }
  // Handed back after the loop ended: the loop's destructor deletes them.
  for (RecordingTcpSocket* client : clients) client->DeleteLater();
  EndLoop();
}

}  // namespace
}  // namespace hx::testing
