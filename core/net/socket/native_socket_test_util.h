#pragma once
// A fixture for tests of the native helper on loopback: a native helper under a null parent
// (nothing asynchronous happens), handlers over fresh descriptors that are closed at the end,
// connected TCP pairs, and waits for readiness with a generous limit.

#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/net/address/ip_address.h"
#include "core/net/address/sock_addr.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/socket/native_socket.h"
#include "core/net/socket/native_socket_details.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/net/socket/socket_data_handler.h"
#include "core/net/socket/socket_helper_null.h"

namespace hx::testing {

// A socket address from an address text, a port and a protocol.
inline HXSockAddr SockAddr(const char* address, uint16_t port,
                           ip::Proto::type proto = ip::Proto::tcp) {
  HXIpAddress ip;
  ip.set(address);
  return HXSockAddr(proto, ip, port);
}

inline std::shared_ptr<HXZEndpointSockAddr> Endpoint(const char* address, uint16_t port,
                                                     ip::Proto::type proto = ip::Proto::tcp) {
  return std::make_shared<HXZEndpointSockAddr>(SockAddr(address, port, proto));
}

// Waits until `events` are reported for `handle`; false after 5 s.
inline bool WaitReady(int handle, short events) {
  pollfd item{handle, events, 0};
  return poll(&item, 1, 5000) == 1 && (item.revents & events) != 0;
}

inline int IntOption(int handle, int level, int name) {
  int value = -1;
  socklen_t length = sizeof(value);
  if (getsockopt(handle, level, name, &value, &length) != 0) return -1000;
  return value;
}

class NativeSocketFixture : public ::testing::Test {
 protected:
  struct TcpPair {
    HXZADataHandler* client;
    HXZADataHandler* server;
  };

  NativeSocketFixture() : helper(new HXZNativeSocketHelper(new HXZASocketNullHelper())) {
    helper->addRef();
  }
  ~NativeSocketFixture() override {
    for (auto& handler : handlers) {
      if (handler != nullptr) helper->CloseImp(handler.get());
    }
    HXZASocketHelper::release(helper);
  }

  // A handler over a new descriptor of the core's kind (non-blocking), closed at the end.
  HXZADataHandler* Open(int family, int type, int protocol) {
    return Keep(std::make_unique<HXZANullDataHandler>(native_socket(family, type, protocol),
                                                      family, type, protocol));
  }
  HXZADataHandler* Keep(std::unique_ptr<HXZADataHandler> handler) {
    handlers.push_back(std::move(handler));
    return handlers.back().get();
  }

  // A TCP handler listening on 127.0.0.1 at a port of the system's choice.
  HXZADataHandler* Listen(uint16_t* port) {
    HXZADataHandler* listener = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    auto endpoint = Endpoint("127.0.0.1", 0);
    EXPECT_TRUE(helper->BindImp(endpoint.get(), listener));
    *port = HXZNativeSocketDetails(*listener, true).PortLocal();
    return listener;
  }

  // A client and the accepted server side of one loopback TCP connection.
  TcpPair ConnectedPair() {
    uint16_t port = 0;
    HXZADataHandler* listener = Listen(&port);
    HXZADataHandler* client = Open(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_TRUE(helper->ConnectImp(Endpoint("127.0.0.1", port), client));
    EXPECT_TRUE(WaitReady(listener->GetHandle(), POLLIN));
    HXZADataHandler* server = Keep(helper->AcceptImp(listener));
    EXPECT_TRUE(WaitReady(client->GetHandle(), POLLOUT));
    return {client, server};
  }

  HXZNativeSocketHelper* helper;
  std::vector<std::unique_ptr<HXZADataHandler>> handlers;
};

}  // namespace hx::testing
