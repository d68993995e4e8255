// The loop as socket helper: the synchronous operations of its ZeroMQ pipe sockets, and the
// asynchronous operations of every socket, which become commands for the loop's thread.

#include "core/base/lock.h"
#include "core/base/tick_clock.h"
#include "core/net/address/sock_addr.h"
#include "core/net/loop/zpipe.h"
#include "core/net/loop/zserver.h"

using hx::zcmd::SimpleMessage;

std::unique_ptr<HXZADataHandler> HXZServer::AcceptImp(HXZADataHandler*) { return nullptr; }

size_t HXZServer::SendImp(const void* buffer, size_t length, int flags, HXZADataHandler* handler) {
  const int sent = zmq_send(handler->GetSocket(), buffer, length, flags | ZMQ_DONTWAIT);
  return sent > 0 ? static_cast<size_t>(sent) : 0;
}

size_t HXZServer::RecvImp(void* buffer, size_t length, int flags, HXZADataHandler* handler) {
  const int received = zmq_recv(handler->GetSocket(), buffer, length, flags | ZMQ_DONTWAIT);
  return received > 0 ? static_cast<size_t>(received) : 0;
}

size_t HXZServer::RecvFromImp(void*, size_t, int, HXZADataHandler*, HXSockAddr* from) {
  if (from != nullptr) from->clear();
  return 0;
}

size_t HXZServer::SendToImp(const void*, size_t, const HXSockAddr&, int, HXZADataHandler*) {
  return 0;
}

bool HXZServer::ConnectImp(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                           HXZADataHandler* handler) {
  return endpoint != nullptr &&
         zmq_connect(handler->GetSocket(), endpoint->getAddrStr().c_str()) == 0;
}

bool HXZServer::BindImp(HXZAEndpointHolder* endpoint, HXZADataHandler* handler) {
  return endpoint != nullptr && zmq_bind(handler->GetSocket(), endpoint->getAddrStr().c_str()) == 0;
}

bool HXZServer::CloseImp(HXZADataHandler* handler) {
  if (void* socket = handler->GetSocket()) zmq_close(socket);
  // Forget the socket and mark the handler as without descriptor, so nothing closes it twice.
  handler->Free();
  handler->SetHandle(-1);
  return true;
}

int64_t HXZServer::Ioctl_0(int, HXZADataHandler*) { return 0; }
int64_t HXZServer::Ioctl_1(int, HXZADataHandler*, intptr_t) { return 0; }
int64_t HXZServer::Ioctl_2(int, HXZADataHandler*, intptr_t, intptr_t) { return 0; }
int64_t HXZServer::Ioctl_3(int, HXZADataHandler*, intptr_t, intptr_t, intptr_t) { return 0; }

HXZADataHandler* HXZServer::Clone(HXZADataHandler* handler) { return handler; }

bool HXZServer::sendRecord(const void* record, size_t size) {
  HXAutoLock lock(m_loopLock);
  return m_pipeWrite != nullptr && m_pipeWrite->Send(record, size, 0) == size;
}

bool HXZServer::sendSimple(uint32_t op, HXZASocket* socket, HXZADataHandler* handler, uint64_t due,
                           uint64_t extra) {
  SimpleMessage command;
  command.op = op;
  command.socket = socket;
  command.handler = handler;
  command.serial = socket != nullptr ? socket->getSerial() : 0;
  command.due = due;
  command.extra = extra;
  return sendRecord(&command, sizeof command);
}

bool HXZServer::SetImp(HXZASocket* socket, HXZADataHandler* handler) {
  return sendSimple(hx::zcmd::kSet, socket, handler, 0, 0);
}

bool HXZServer::DeleteImp(HXZASocket* socket, HXZADataHandler* handler) {
  return sendSimple(hx::zcmd::kDelete, socket, handler, 0, 0);
}

bool HXZServer::RescheduleImp(HXZASocket* socket, HXZADataHandler* handler) {
  return sendSimple(hx::zcmd::kWake, socket, handler, 0, 0);
}

bool HXZServer::SendAsync(HXZASocket* socket, HXZADataHandler* handler, bool on) {
  if (!on) {
    handler->ClearFlag(HXZADataHandler::kReadyToSend);
    return true;
  }
  // The next poll preparation picks the bit up; only a loop asleep in its poll needs waking.
  if (handler->SetFlag(HXZADataHandler::kReadyToSend) == 0 || onLoopThread()) return true;
  return sendSimple(hx::zcmd::kSendWake, socket, handler, 0, 0);
}

bool HXZServer::ConnectAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                             HXZASocket* socket, HXZADataHandler* handler) {
  handler->SetAddress(endpoint);
  const uint64_t start = now();
  return sendSimple(hx::zcmd::kConnect, socket, handler, start,
                    start + s_connectTimeLimitMs.load());
}

bool HXZServer::ReBindAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint, HXZASocket* socket,
                            HXZADataHandler* handler) {
  handler->SetAddress(endpoint);
  return sendSimple(hx::zcmd::kBind, socket, handler, 0, 0);
}

bool HXZServer::CloseAsync(HXZASocket* socket, HXZADataHandler* handler, bool silent) {
  handler->SetState(false);
  handler->ClearFlag(HXZADataHandler::kReadyToSend);
  // The copy takes the descriptor along; the socket itself can connect again at once.
  HXZADataHandler* copy = handler->Clone();
  if (copy == nullptr) return false;
  if (!silent) copy->SetState(true);
  bool sent;
  {
    HXAutoLock lock(m_loopLock);
    handler->SetHandle(-1);
    sent = sendSimple(hx::zcmd::kClose, socket, copy, 0, 0);
  }
  if (!sent) {
    // Nobody will close the descriptor for us any more.
    copy->Parent()->CloseImp(copy);
    delete copy;
  }
  return sent;
}

bool HXZServer::StartTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id,
                              uint32_t delay_ms) {
  return sendSimple(hx::zcmd::kTimerStart, socket, handler, now() + delay_ms, id);
}

bool HXZServer::StopTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id) {
  return sendSimple(hx::zcmd::kTimerStop, socket, handler, 0, id);
}
