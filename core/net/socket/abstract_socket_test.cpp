#include "core/net/socket/abstract_socket.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/base/net_message.h"
#include "core/net/socket/socket_test_util.h"

namespace {

using hx::testing::EventLog;
using hx::testing::PassingLayer;
using hx::testing::PassingTlsLayer;
using hx::testing::PlainSocket;
using hx::testing::RecordingHelper;
using Names = std::vector<std::string>;

// A socket over a ZeroMQ socket pointer (descriptor 0).
class PlainSocketOverZmq : public PlainSocket {
 public:
  PlainSocketOverZmq(HXZASocketHelper* helper, void* zmq_socket)
      : PlainSocket(helper, -1, AF_INET, SOCK_STREAM, IPPROTO_TCP) {
    SetSocket(zmq_socket);
    SetHandle(0);
  }
};

std::unique_ptr<PlainSocket> NewSocket(HXZASocketHelper* helper, EventLog* log = nullptr) {
  return std::make_unique<PlainSocket>(helper, -1, AF_INET, SOCK_STREAM, IPPROTO_TCP, log);
}

TEST(Socket, RegistersWithItsHelperAndTakesTheNextSerial) {
  auto* helper = new RecordingHelper();
  auto first = NewSocket(helper);
  auto second = NewSocket(helper);
  EXPECT_EQ(second->getSerial(), first->getSerial() + 1);
  EXPECT_GE(first->getSerial(), 1u);

  ASSERT_EQ(helper->calls.size(), 2u);
  EXPECT_EQ(helper->calls[0].op, "SetImp");
  EXPECT_EQ(helper->calls[0].socket, first.get());
  EXPECT_EQ(helper->calls[0].handler, static_cast<HXZADataHandler*>(first.get()));
  EXPECT_EQ(first->Callback(), static_cast<HXZASocketCallbacks*>(first.get()));
  EXPECT_EQ(first->Handler(), static_cast<HXZADataHandler*>(first.get()));
}

TEST(Socket, OperationsGoToTheHelperWithTheSocketAsHandler) {
  auto* helper = new RecordingHelper();
  auto socket = NewSocket(helper);
  socket->SetState(true);
  helper->calls.clear();

  EXPECT_TRUE(socket->SendAsync(true));
  EXPECT_TRUE(socket->startTimer(3, 250));
  EXPECT_TRUE(socket->stopTimer(3));
  socket->DeleteLater();

  ASSERT_EQ(helper->calls.size(), 4u);
  const Names expected{"SendAsync", "StartTimerImp", "StopTimerImp", "DeleteImp"};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(helper->calls[i].op, expected[i]);
    EXPECT_EQ(helper->calls[i].socket, socket.get());
    EXPECT_EQ(helper->calls[i].handler, static_cast<HXZADataHandler*>(socket.get()));
  }
  EXPECT_EQ(helper->calls[1].argument, 3 * 100000 + 250);
  EXPECT_FALSE(socket->GetState()) << "no event may reach a socket waiting to be deleted";
  EXPECT_EQ(socket->GetTlsContext(), nullptr);
}

TEST(Socket, EventsEnterAtTheTopOfTheChain) {
  EventLog log;
  auto socket = NewSocket(new RecordingHelper(), &log);
  PassingLayer layer("layer", &log);
  socket->PushCallback(&layer);

  EXPECT_EQ(socket->OnReadyRecv(), 20);
  EXPECT_EQ(socket->OnReadySend(), 21);
  socket->eventClose(nullptr);
  socket->eventError();
  socket->eventTimer(9);
  EXPECT_EQ(log.lines, (Names{"layer:recv", "socket:recv", "layer:send", "socket:send",
                              "layer:close", "socket:close", "layer:error", "socket:error",
                              "layer:timer9", "socket:timer9"}));
}

TEST(Socket, HelperLivesAsLongAsTheLastSocketOnIt) {
  bool deleted = false;
  auto* helper = new RecordingHelper(&deleted);
  auto first = NewSocket(helper);
  auto second = NewSocket(helper);
  first.reset();
  EXPECT_FALSE(deleted);
  second.reset();
  EXPECT_TRUE(deleted);
}

TEST(Socket, DeletionClosesADescriptorStillOpen) {
  auto* helper = new RecordingHelper();
  helper->addRef();
  auto open = std::make_unique<PlainSocket>(helper, 42, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  HXZADataHandler* open_handler = open.get();
  auto closed = NewSocket(helper);
  helper->calls.clear();

  closed.reset();
  EXPECT_TRUE(helper->calls.empty());
  open.reset();
  ASSERT_EQ(helper->calls.size(), 1u);
  EXPECT_EQ(helper->calls[0].op, "CloseImp");
  EXPECT_EQ(helper->calls[0].handler, open_handler);

  int zmq_socket = 0;
  auto pipe_end = std::make_unique<PlainSocketOverZmq>(helper, &zmq_socket);
  helper->calls.clear();
  pipe_end.reset();
  EXPECT_TRUE(helper->calls.empty()) << "a ZeroMQ socket is closed by its maker";
  HXZASocketHelper::release(helper);
}

TEST(SocketAdoption, TakesDescriptorTlsLayerAndPendingDataWhichComeFirst) {
  EventLog log;
  auto* helper = new RecordingHelper();
  PlainSocket old_socket(helper, 42, AF_INET6, SOCK_STREAM, IPPROTO_TCP);
  auto tls = std::make_shared<PassingTlsLayer>("tls", &log);
  old_socket.PushCallback(tls.get());
  old_socket.SetTlsHandler(tls);
  auto pending = std::make_shared<HXNetMessage>(16);
  pending->append("hello", 5);
  old_socket.setDataBuffer(pending);
  helper->calls.clear();

  PlainSocket adopted(helper, old_socket, &log);

  EXPECT_EQ(adopted.GetHandle(), 42);
  EXPECT_EQ(adopted.GetFamily(), AF_INET6);
  EXPECT_EQ(adopted.GetType(), SOCK_STREAM);
  EXPECT_EQ(adopted.GetProtocol(), IPPROTO_TCP);
  EXPECT_EQ(old_socket.GetHandle(), -1) << "the old handler no longer owns the descriptor";

  EXPECT_EQ(old_socket.GetTlsHandler(), nullptr);
  EXPECT_EQ(old_socket.Callback(), static_cast<HXZASocketCallbacks*>(&old_socket));
  EXPECT_EQ(adopted.GetTlsHandler(), tls);
  EXPECT_EQ(adopted.Callback(), static_cast<HXZASocketCallbacks*>(tls.get()));
  EXPECT_EQ(tls->getSocketNextCallback(), static_cast<HXZASocketCallbacks*>(&adopted));

  EXPECT_EQ(old_socket.getDataBuffer(false), nullptr);
  EXPECT_EQ(old_socket.GetFlags() & HXZADataHandler::kBufferedData, 0u);
  EXPECT_EQ(adopted.getDataBuffer(false), pending);
  EXPECT_NE(adopted.GetFlags() & HXZADataHandler::kBufferedData, 0u)
      << "the loop delivers buffered data before it polls";

  ASSERT_EQ(helper->calls.size(), 1u);
  EXPECT_EQ(helper->calls[0].op, "SetImp");
  EXPECT_EQ(helper->calls[0].socket, &adopted);

  // The delivery of the buffered bytes passes the TLS layer first.
  adopted.OnReadyRecv();
  EXPECT_EQ(log.lines, (Names{"tls:recv", "socket:recv"}));
}

TEST(SocketAdoption, AcceptedBareHandlerGivesAPlainSocket) {
  EventLog log;
  HXZANullDataHandler accepted(17, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  PlainSocket adopted(new RecordingHelper(), accepted, &log);
  EXPECT_EQ(adopted.GetHandle(), 17);
  EXPECT_EQ(accepted.GetHandle(), -1);
  EXPECT_EQ(adopted.GetTlsHandler(), nullptr);
  EXPECT_EQ(adopted.GetFlags() & HXZADataHandler::kBufferedData, 0u);
  adopted.OnReadyRecv();
  EXPECT_EQ(log.lines, (Names{"socket:recv"}));
}

}  // namespace
