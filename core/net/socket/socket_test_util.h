#pragma once
// Test doubles for the socket tests: a socket whose operations go straight to its helper (as the
// concrete sockets do) and that records the events reaching it, a callback layer that records
// and passes events on, and a helper that accepts every request and records it.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/net/loop/endpoint_holder.h"
#include "core/net/socket/abstract_socket.h"
#include "core/net/socket/socket_callbacks.h"
#include "core/net/socket/socket_helper_null.h"
#include "core/net/tls/tls_handler.h"

namespace hx::testing {

// One request that reached a helper.
struct HelperCall {
  std::string op;
  HXZASocket* socket = nullptr;
  HXZADataHandler* handler = nullptr;
  int64_t argument = 0;
};

// Accepts every request like the null helper and records it. Sets *deleted when destroyed.
class RecordingHelper : public HXZASocketNullHelper {
 public:
  explicit RecordingHelper(bool* deleted = nullptr) : m_deleted(deleted) {}
  ~RecordingHelper() override {
    if (m_deleted != nullptr) *m_deleted = true;
  }

  std::vector<HelperCall> calls;

  size_t SendImp(const void* buffer, size_t length, int flags, HXZADataHandler* handler) override {
    Note("SendImp", nullptr, handler, static_cast<int64_t>(length));
    return HXZASocketNullHelper::SendImp(buffer, length, flags, handler);
  }
  size_t RecvImp(void* buffer, size_t length, int flags, HXZADataHandler* handler) override {
    Note("RecvImp", nullptr, handler, static_cast<int64_t>(length));
    return HXZASocketNullHelper::RecvImp(buffer, length, flags, handler);
  }
  bool CloseImp(HXZADataHandler* handler) override {
    Note("CloseImp", nullptr, handler, 0);
    return true;
  }
  int64_t Ioctl_1(int func, HXZADataHandler* handler, intptr_t a) override {
    Note("Ioctl_1", nullptr, handler, func * 1000 + a);
    return 0;
  }
  bool SetImp(HXZASocket* socket, HXZADataHandler* handler) override {
    return Note("SetImp", socket, handler, 0);
  }
  bool DeleteImp(HXZASocket* socket, HXZADataHandler* handler) override {
    return Note("DeleteImp", socket, handler, 0);
  }
  bool SendAsync(HXZASocket* socket, HXZADataHandler* handler, bool on) override {
    return Note("SendAsync", socket, handler, on);
  }
  bool ConnectAsync(const std::shared_ptr<HXZAEndpointHolder>&, HXZASocket* socket,
                    HXZADataHandler* handler) override {
    return Note("ConnectAsync", socket, handler, 0);
  }
  bool ReBindAsync(const std::shared_ptr<HXZAEndpointHolder>&, HXZASocket* socket,
                   HXZADataHandler* handler) override {
    return Note("ReBindAsync", socket, handler, 0);
  }
  bool CloseAsync(HXZASocket* socket, HXZADataHandler* handler, bool silent) override {
    return Note("CloseAsync", socket, handler, silent);
  }
  bool StartTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id,
                     uint32_t delay_ms) override {
    return Note("StartTimerImp", socket, handler, id * 100000 + delay_ms);
  }
  bool StopTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id) override {
    return Note("StopTimerImp", socket, handler, id);
  }

 private:
  bool Note(const char* op, HXZASocket* socket, HXZADataHandler* handler, int64_t argument) {
    calls.push_back({op, socket, handler, argument});
    return true;
  }

  bool* m_deleted;
};

// Writes the name of every event it gets into a shared log.
class EventLog {
 public:
  std::vector<std::string> lines;
  void Add(const std::string& who, const std::string& what) { lines.push_back(who + ":" + what); }
};

// A socket whose operations go straight to its helper, recording the events that reach it as
// the bottom of its chain.
class PlainSocket : public HXZASocket {
 public:
  PlainSocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol,
              EventLog* log = nullptr)
      : HXZASocket(helper, handle, family, type, protocol), m_log(log) {}
  PlainSocket(HXZASocketHelper* helper, HXZADataHandler& other, EventLog* log = nullptr)
      : HXZASocket(helper, other), m_log(log) {}

  bool Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) override {
    return Parent()->ConnectAsync(endpoint, this, this);
  }
  bool Bind(std::shared_ptr<HXZAEndpointHolder> endpoint) override {
    SetAddress(endpoint);
    return Parent()->ReBindAsync(endpoint, this, this);
  }
  bool Close(bool silent) override { return Parent()->CloseAsync(this, this, silent); }
  size_t Send(const void* buffer, size_t length, int flags) override {
    return Parent()->SendImp(buffer, length, flags, this);
  }
  size_t SendTo(const void* buffer, size_t length, const HXSockAddr& to, int flags) override {
    return Parent()->SendToImp(buffer, length, to, flags, this);
  }
  size_t Recv(void* buffer, size_t length, int flags) override {
    return Parent()->RecvImp(buffer, length, flags, this);
  }

  int32_t OnReadyRecvImp(HXZASocket*, HXZADataHandler*) override { return Note("recv", 20); }
  int32_t OnReadySendImp(HXZASocket*, HXZADataHandler*) override { return Note("send", 21); }
  void OnClose(HXZADataHandler*) override { Note("close", 0); }
  void OnError() override { Note("error", 0); }
  void OnTimer(unsigned id) override { Note("timer" + std::to_string(id), 0); }

 private:
  int32_t Note(const std::string& what, int32_t result) {
    if (m_log != nullptr) m_log->Add("socket", what);
    return result;
  }

  EventLog* m_log;
};

// A layer that records each event under its name and passes it to the layer below. `Base` is
// HX_SocketCallbackLink or a kind of layer derived from it.
template <class Base>
class PassingLayerOf : public Base {
 public:
  PassingLayerOf(std::string name, EventLog* log) : m_name(std::move(name)), m_log(log) {}

  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override {
    m_log->Add(m_name, "recv");
    return this->getSocketNextCallback()->OnReadyRecvImp(socket, handler);
  }
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override {
    m_log->Add(m_name, "send");
    return this->getSocketNextCallback()->OnReadySendImp(socket, handler);
  }
  void OnClose(HXZADataHandler* closed) override {
    m_log->Add(m_name, "close");
    this->getSocketNextCallback()->OnClose(closed);
  }
  void OnError() override {
    m_log->Add(m_name, "error");
    this->getSocketNextCallback()->OnError();
  }
  void OnTimer(unsigned id) override {
    m_log->Add(m_name, "timer" + std::to_string(id));
    this->getSocketNextCallback()->OnTimer(id);
  }

 private:
  std::string m_name;
  EventLog* m_log;
};

using PassingLayer = PassingLayerOf<HX_SocketCallbackLink>;
using PassingTlsLayer = PassingLayerOf<HXTLSHandler>;

}  // namespace hx::testing
