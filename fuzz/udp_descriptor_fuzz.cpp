// Arbitrary datagrams from a few sources through a UDP listener socket descriptor to recording
// handlers, mixed with the requests that change the handlers (register, remove, move, send
// state, timers, shutdown) and with send, timer and error events. There is no network loop: the
// socket is scripted, and the connector's queue runs from the descriptor's callbacks and from
// explicit passes. Each handler checks what it is given (size, buffer, source, that it is tied to
// the socket or is the default handler) and aborts on a violation.
//
// Input: a list of operations, each an op byte and its argument bytes:
//   0 k s a d: register handler k, socket s%3, source a%5 (4: none), default when d is odd
//   1 k: remove handler k        2 src status n bytes: a datagram of n bytes from source src%5
//   3: send opportunity          4 k on: send state     5 k start type ms: timer request
//   6 id: socket timer id fires  7: socket error         8 k s a: change socket
//   9: shutdown                  10: run the queue       11 k b: handler k's behaviour byte
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/net/socket/socket_helper_null.h"
#include "core/streams/udp_cross_connector.h"
#include "core/streams/udp_handlers.h"
#include "core/streams/udp_listener_socket.h"

namespace {

using hx::streams::HandlerUDP;
using hx::streams::ListenerSocketUDP;
using hx::streams::UDPCrossConnector;
using hx::streams::UDPListenerSocketDescriptor;

HXSockAddr Source(uint32_t index) {
  HXSockAddr address;
  const std::string port = std::to_string(5000 + index);
  address.set(ip::Proto::udp, index % 2 == 0 ? "127.0.0.1" : "::1", port.c_str(), 0, 0);
  return address;
}

// Hands out the datagram the harness put in, or reports the receive status it was given.
class ScriptedListenerSocket : public ListenerSocketUDP {
 public:
  ScriptedListenerSocket()
      : ListenerSocketUDP(new HXZASocketNullHelper(), -1, AF_INET, SOCK_DGRAM, IPPROTO_UDP) {}

  size_t RecvFrom(void* buffer, size_t length, int, HXSockAddr* from) override {
    SetRecvStatus(status);
    if (status != HXZRecvStatus::data) return 0;
    *from = source;
    const size_t n = std::min(length, payload.size());
    if (n > 0) std::memcpy(buffer, payload.data(), n);
    return n;
  }

  HXZRecvStatus status = HXZRecvStatus::wouldBlock;
  HXSockAddr source;
  std::vector<uint8_t> payload;
};

class Connector : public UDPCrossConnector {
 public:
  void onSocketListEvent(bool, uint32_t, ListenerSocketUDP*, bool) override {}
  void onShutdownCcnCompleted() override {}
};

class FuzzHandler : public HandlerUDP {
 public:
  FuzzHandler(Connector* connector, const ScriptedListenerSocket* socket)
      : HandlerUDP(connector), m_connector(connector), m_socket(socket) {}

  void onRecvMsg(UDPListenerSocketDescriptor* descriptor, const MsgDescriptor& message) override {
    if (message.size > UDPCrossConnector::kRecvBufferSize) std::abort();
    if (message.data != m_connector->recvBuffer()) std::abort();
    if (message.source.cmp(m_socket->source) != 0) std::abort();
    if (message.size != m_socket->payload.size()) std::abort();
    checkTied();
    act(descriptor);
  }
  void onReadySend(UDPListenerSocketDescriptor* descriptor) override {
    checkTied();
    act(descriptor);
  }
  void onTimer(uint32_t) override { checkTied(); }

  uint8_t behaviour = 0;

 private:
  void checkTied() const {
    if (m_connector->defaultHandler() == this) return;
    if (getSocketId() == 0 || getState() != kTied) std::abort();
  }
  // The "at once" operations a handler may make inside a callback, and queued ones.
  void act(UDPListenerSocketDescriptor* descriptor) {
    switch (behaviour % 6) {
      case 1: setSendState(descriptor, (behaviour & 0x10) != 0); break;
      case 2: assocFromAddr(descriptor, Source(behaviour >> 4), (behaviour & 8) != 0); break;
      case 3: startTimer(descriptor, behaviour >> 5, behaviour & 7); break;
      case 4: stopTimer(descriptor, behaviour >> 5); break;
      case 5: DeleteLater(); break;
      default: break;
    }
  }

  Connector* m_connector;
  const ScriptedListenerSocket* m_socket;
};

UDPListenerSocketDescriptor* DescriptorOf(ScriptedListenerSocket* socket) {
  return dynamic_cast<UDPListenerSocketDescriptor*>(socket->Callback());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto connector = std::make_unique<Connector>();
  auto* socket = new ScriptedListenerSocket();
  {
    HXAutoLock lock(connector->getLock());
    connector->addSocketNL(socket);
  }
  connector->processCtrlQueue();
  std::array<std::shared_ptr<FuzzHandler>, 4> handlers;
  for (auto& handler : handlers) handler = std::make_shared<FuzzHandler>(connector.get(), socket);

  size_t at = 0;
  auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  while (at < size) {
    const uint8_t op = next() % 12;
    UDPListenerSocketDescriptor* descriptor = DescriptorOf(socket);
    switch (op) {
      case 0: {
        const uint8_t k = next() % 4;
        const uint8_t s = next() % 3;
        const uint8_t a = next() % 5;
        const bool isDefault = (next() & 1) != 0;
        // A fresh object per registration: the old one stays with the connector if it is there.
        const uint8_t behaviour = handlers[k]->behaviour;
        handlers[k] = std::make_shared<FuzzHandler>(connector.get(), socket);
        handlers[k]->behaviour = behaviour;
        connector->registerHandler(handlers[k], s, a < 4 ? Source(a) : HXSockAddr(), isDefault);
        break;
      }
      case 1: handlers[next() % 4]->DeleteLater(); break;
      case 2: {
        const uint8_t src = next() % 5;
        const uint8_t status = next();
        const size_t wanted = next();
        const size_t n = std::min(wanted, size - at);
        socket->source = Source(src);
        socket->payload.assign(data + at, data + at + n);
        at += n;
        socket->status = status % 8 == 1   ? HXZRecvStatus::wouldBlock
                         : status % 8 == 2 ? HXZRecvStatus::failed
                                           : HXZRecvStatus::data;
        if (descriptor != nullptr) descriptor->OnReadyRecvImp(socket, socket);
        break;
      }
      case 3:
        if (descriptor != nullptr) descriptor->OnReadySendImp(socket, socket);
        break;
      case 4: {
        const uint8_t k = next() % 4;
        handlers[k]->setSendStateAsync((next() & 1) != 0);
        break;
      }
      case 5: {
        const uint8_t k = next() % 4;
        const bool start = (next() & 1) != 0;
        const uint8_t type = next() % 4;
        const uint64_t ms = next() == 255 ? UINT64_MAX : 1;
        if (start) {
          handlers[k]->startTimer(type, ms);
        } else {
          handlers[k]->stopTimer(type);
        }
        break;
      }
      case 6: {
        const uint8_t id = next();
        if (descriptor != nullptr) descriptor->OnTimer(id % 8 == 7 ? UINT32_MAX : id % 8);
        break;
      }
      case 7:
        if (descriptor != nullptr) descriptor->OnError();
        break;
      case 8: {
        const uint8_t k = next() % 4;
        const uint8_t s = next() % 3;
        const HXSockAddr address = Source(next() % 4);
        handlers[k]->changeSocket(s, &address);
        break;
      }
      case 9: connector->shutdown(); break;
      case 10: connector->processCtrlQueue(); break;
      case 11: {
        const uint8_t k = next() % 4;
        handlers[k]->behaviour = next();
        break;
      }
    }
  }
  connector->shutdown();
  connector->processCtrlQueue();
  connector.reset();
  // No loop deletes it: the scripted socket ends here, after the connector let go of it.
  delete socket;
  return 0;
}
