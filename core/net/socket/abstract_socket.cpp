#include "core/net/socket/abstract_socket.h"

#include <atomic>
#include <utility>

#include "core/base/net_message.h"
#include "core/net/socket/socket_helper.h"
#include "core/net/tls/tls_handler.h"

HXZASocket::HXZASocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol)
    : HXZADataHPHolder(helper, handle, nullptr, family, type, protocol), m_serial(NextSerial()) {
  SetCallbackTop(this);
  Register();
}

HXZASocket::HXZASocket(HXZASocketHelper* helper, HXZASocketCallbacks* callbacks, void* zmq_socket)
    : HXZADataHPHolder(helper, zmq_socket, callbacks), m_serial(NextSerial()) {
  Register();
}

HXZASocket::HXZASocket(HXZASocketHelper* helper, void* zmq_socket)
    : HXZADataHPHolder(helper, zmq_socket, nullptr), m_serial(NextSerial()) {
  SetCallbackTop(this);
  Register();
}

HXZASocket::HXZASocket(HXZASocketHelper* helper, HXZADataHandler& other)
    : HXZADataHPHolder(helper, other.GetHandle(), nullptr, other.GetFamily(), other.GetType(),
                       other.GetProtocol()),
      m_serial(NextSerial()) {
  SetCallbackTop(this);
  if (std::shared_ptr<HXTLSHandler> tls = other.YieldTlsHandler()) {
    other.RemoveCallback(tls.get());
    PushCallback(tls.get());
    SetTlsHandler(std::move(tls));
  }
  other.SetHandle(-1);
  Register();
  setDataBuffer(other.getDataBuffer(true));
}

HXZASocket::~HXZASocket() {
  // A socket deleted without a close would leave its native descriptor open for good. ZeroMQ
  // sockets are closed by whoever made them.
  if (GetSocket() == nullptr && GetHandle() != -1) Parent()->CloseImp(this);
}

bool HXZASocket::SendAsync(bool on) { return Parent()->SendAsync(this, this, on); }

HXZTLSContext* HXZASocket::GetTlsContext() { return nullptr; }

void HXZASocket::DeleteLater() {
  SetState(false);
  Parent()->DeleteImp(this, this);
}

int32_t HXZASocket::OnReadyRecv() { return Callback()->OnReadyRecvImp(this, this); }

int32_t HXZASocket::OnReadySend() { return Callback()->OnReadySendImp(this, this); }

void HXZASocket::eventClose(HXZADataHandler* closed) { Callback()->OnClose(closed); }

void HXZASocket::eventError() { Callback()->OnError(); }

void HXZASocket::eventTimer(unsigned id) { Callback()->OnTimer(id); }

bool HXZASocket::startTimer(uint32_t id, uint32_t delay_ms) {
  return Parent()->StartTimerImp(this, this, id, delay_ms);
}

bool HXZASocket::stopTimer(uint32_t id) { return Parent()->StopTimerImp(this, this, id); }

uint32_t HXZASocket::NextSerial() {
  static std::atomic<uint32_t> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

void HXZASocket::Register() { Parent()->SetImp(this, this); }
