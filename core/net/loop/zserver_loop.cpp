// The loop thread: poll preparation, the poll, event delivery, the due queues and the commands.

#include <algorithm>
#include <climits>
#include <cstring>

#include "core/base/net_message.h"
#include "core/base/stored_task.h"
#include "core/net/dns/dns_handler.h"
#include "core/net/loop/zpipe.h"
#include "core/net/loop/zserver.h"
#include "core/net/socket/abstract_socket.h"
#include "core/net/socket/native_socket.h"

using hx::zcmd::CallbackMessage;
using hx::zcmd::SimpleMessage;

namespace {

// Commands read per wake-up of the pipe; the rest wait for the next pass, so sockets are not
// starved by a flood of commands.
constexpr int kCommandsPerWake = 64;
constexpr int32_t kSocketSlots = 64;

thread_local const HXZServer* t_loopOfThisThread = nullptr;

}  // namespace

bool HXZServer::onLoopThread() const { return t_loopOfThisThread == this; }

void HXZServer::Run() {
  t_loopOfThisThread = this;
  fireZServerStart.Emit();
  m_dns.store(new HXDNSHandler());
  m_dnsCreated.Set();
  while (!Terminated()) {
    preparePoll();
    const long timeout = pollTimeout();
    if (m_pollCount > 0 && zmq_poll(m_pollItems.data(), m_pollCount, timeout) != 0) {
      processEvents();
    }
    if (ZQueueProcess() > 0) drainPipe();
  }
  endLoop();
  fireZServerStop.Emit();
  t_loopOfThisThread = nullptr;
}

void HXZServer::endLoop() {
  drainPipe();
  for (const auto& [socket, handler] : m_sockets) {
    if (socket == m_pipeRead.get() || socket == m_pipeWrite.get()) continue;
    handler->SetState(false);
    if (handler->GetHandle() != -1) socket->Close(false);
  }
  deleteDnsClient();
  drainPipe();
  HXAutoLock lock(m_loopLock);
  clearQueues();
}

void HXZServer::clearQueues() {
  for (auto& [due, job] : m_jobQueue) {
    if (job.task->IsAutoDelete()) delete job.task;
  }
  m_jobQueue.clear();
  m_dueQueue.clear();
  m_resolveQueue.clear();
}

void HXZServer::preparePoll() {
  m_pollCount = 0;
  const size_t registered = m_sockets.size();
  _free_sockets.store(kSocketSlots - static_cast<int32_t>(registered), std::memory_order_relaxed);
  if (m_pollItems.size() < registered) {
    // Grow with room to spare, so that a growing socket count does not allocate at every pass.
    const size_t capacity = std::max<size_t>(registered * 2, kSocketSlots);
    m_pollItems.resize(capacity);
    m_pollSockets.resize(capacity);
    m_pollHandlers.resize(capacity);
  }
  for (const auto& [socket, handler] : m_sockets) {
    if (!handler->GetState()) continue;
    if ((handler->GetFlags() & HXZADataHandler::kBufferedData) != 0) {
      // Bytes read earlier go first; what the socket leaves in the buffer is dropped.
      socket->OnReadyRecv();
      if ((handler->GetFlags() & HXZADataHandler::kBufferedData) != 0) handler->getDataBuffer(true);
      if (!handler->GetState()) continue;
    }
    zmq_pollitem_t& item = m_pollItems[static_cast<size_t>(m_pollCount)];
    item.socket = handler->GetSocket();
    item.fd = handler->GetHandle();
    item.events = static_cast<short>((handler->GetFlags() & 0xffff) | ZMQ_POLLIN | ZMQ_POLLERR);
    item.revents = 0;
    m_pollSockets[static_cast<size_t>(m_pollCount)] = socket;
    m_pollHandlers[static_cast<size_t>(m_pollCount)] = handler;
    ++m_pollCount;
  }
}

long HXZServer::pollTimeout() const {
  uint64_t earliest = UINT64_MAX;
  if (!m_dueQueue.empty()) earliest = std::min(earliest, m_dueQueue.begin()->first);
  if (!m_resolveQueue.empty()) earliest = std::min(earliest, m_resolveQueue.begin()->first);
  if (!m_jobQueue.empty()) earliest = std::min(earliest, m_jobQueue.begin()->first);
  if (earliest == UINT64_MAX) return -1;
  const uint64_t current = now();
  if (earliest <= current) return 0;
  return static_cast<long>(std::min<uint64_t>(earliest - current, LONG_MAX));
}

void HXZServer::processEvents() {
  // Backwards, with the count lowered first, so that commands read while one item is served
  // (a delete, a close) see exactly the items that are still to be served.
  for (int32_t index = m_pollCount - 1; index >= 0; --index) {
    m_pollCount = index;
    const short events = m_pollItems[static_cast<size_t>(index)].revents;
    if (events == 0) continue;  // also the items of sockets deleted meanwhile
    HXZASocket* socket = m_pollSockets[static_cast<size_t>(index)];
    HXZADataHandler* handler = m_pollHandlers[static_cast<size_t>(index)];
    // A descriptor closed or replaced during the callbacks has a new edition: its remaining
    // events belong to the old descriptor and are dropped.
    const uint32_t edition = handler->getHandleEdition();
    if ((events & ZMQ_POLLIN) != 0 && handler->GetState()) socket->OnReadyRecv();
    if ((events & ZMQ_POLLOUT) != 0 && handler->GetState() &&
        handler->getHandleEdition() == edition) {
      socket->OnReadySend();
    }
    if ((events & ZMQ_POLLERR) != 0 && handler->GetState() &&
        handler->getHandleEdition() == edition) {
      handler->SetState(false);
      socket->eventError();
    }
  }
  m_pollCount = 0;
}

int HXZServer::ZQueueProcess() {
  // The queues belong to this thread: no need for the lock to see that nothing waits.
  if (m_dueQueue.empty() && m_resolveQueue.empty() && m_jobQueue.empty()) return 0;
  HXAutoLock lock(m_loopLock);
  const uint64_t current = now();
  int count = 0;
  for (auto it = m_dueQueue.begin(); it != m_dueQueue.end() && it->first <= current;) {
    if (isRegistered(it->second.socket, it->second.serial) &&
        sendRecord(&it->second, sizeof(SimpleMessage))) {
      ++count;
    }
    it = m_dueQueue.erase(it);
  }
  for (auto it = m_resolveQueue.begin(); it != m_resolveQueue.end() && it->first <= current;) {
    if (isRegistered(it->second.socket, it->second.serial) &&
        sendRecord(&it->second, sizeof(SimpleMessage))) {
      ++count;
    }
    it = m_resolveQueue.erase(it);
  }
  for (auto it = m_jobQueue.begin(); it != m_jobQueue.end() && it->first <= current;) {
    if (sendRecord(&it->second, sizeof(CallbackMessage))) {
      ++count;
    } else if (it->second.task->IsAutoDelete()) {
      delete it->second.task;
    }
    it = m_jobQueue.erase(it);
  }
  return count;
}

int32_t HXZServer::OnReadyRecvImp(HXZASocket*, HXZADataHandler*) {
  readCtrlMessages(kCommandsPerWake);
  return 0;
}

int32_t HXZServer::OnReadySendImp(HXZASocket*, HXZADataHandler*) { return 0; }

void HXZServer::drainPipe() {
  while (readCtrlMessages(kCommandsPerWake) > 0) {
  }
}

int HXZServer::readCtrlMessages(int max) {
  // Records are copied out under the lock and processed without it: processing may send.
  alignas(8) uint8_t records[kCommandsPerWake][hx::zcmd::kMaxRecord];
  size_t sizes[kCommandsPerWake];
  int count = 0;
  {
    HXAutoLock lock(m_loopLock);
    for (; count < std::min(max, kCommandsPerWake); ++count) {
      sizes[count] = m_pipeRead->Recv(records[count], hx::zcmd::kMaxRecord, 0);
      if (sizes[count] == 0) break;
    }
  }
  for (int i = 0; i < count; ++i) processRecord(records[i], sizes[i]);
  return count;
}

void HXZServer::processRecord(const uint8_t* record, size_t size) {
  uint32_t type;
  std::memcpy(&type, record, sizeof type);
  if (type == hx::zcmd::kCallback && size >= sizeof(CallbackMessage)) {
    CallbackMessage job;
    std::memcpy(&job, record, sizeof job);
    runJob(job);
  } else if (type == hx::zcmd::kSimple && size >= sizeof(SimpleMessage)) {
    SimpleMessage command;
    std::memcpy(&command, record, sizeof command);
    runCommand(command);
  }
}

void HXZServer::runJob(const CallbackMessage& job) {
  if (now() < job.due) {
    m_jobQueue.emplace(job.due, job);
    return;
  }
  HXStoredTask* task = job.task;
  if (!task->IsSkipped()) task->Execute();
  if (task->IsAutoDelete()) delete task;
}

bool HXZServer::isRegistered(const HXZASocket* socket, uint32_t serial) const {
  // Only a registered socket is known to be alive; the serial tells it from an earlier socket
  // that lived at the same address.
  const auto it = m_sockets.find(const_cast<HXZASocket*>(socket));
  return it != m_sockets.end() && it->first->getSerial() == serial;
}

void HXZServer::runCommand(const SimpleMessage& command) {
  switch (command.op) {
    case hx::zcmd::kSet:
      m_sockets.emplace(command.socket, command.handler);
      return;
    case hx::zcmd::kClose:
      closeNow(command);
      return;
    case hx::zcmd::kDelete:
      deleteNow(command);
      return;
    default:
      break;
  }
  if (!isRegistered(command.socket, command.serial)) return;
  switch (command.op) {
    case hx::zcmd::kConnect:
      if (now() < command.due) {
        m_dueQueue.emplace(command.due, command);
      } else {
        connectNow(command);
      }
      break;
    case hx::zcmd::kBind:
      bindNow(command);
      break;
    case hx::zcmd::kRecv:
      command.socket->OnReadyRecv();
      break;
    case hx::zcmd::kTimerStart:
      timerStart(command);
      break;
    case hx::zcmd::kTimerStop:
      removeTimers(command);
      break;
    default:  // wake-ups and unknown codes
      break;
  }
}

void HXZServer::connectNow(const SimpleMessage& command) {
  HXZASocket* socket = command.socket;
  HXZADataHandler* handler = command.handler;
  const std::shared_ptr<HXZAEndpointHolder> endpoint = handler->GetAddress();
  const int32_t state = endpoint != nullptr ? endpoint->state() : HXZAEndpointHolder::stateFailed;
  if (state == HXZAEndpointHolder::stateResolved) {
    const HXSockAddr address = endpoint->getSockAddr();
    const int family = address.sysFamily();
    if (handler->GetHandle() != -1 && handler->GetFamily() != family) {
      handler->Parent()->CloseImp(handler);
      onSocketClose(socket, command.serial);
    }
    if (handler->GetHandle() == -1 && !address.empty()) {
      handler->SetFamily(family);
      handler->SetHandle(native_socket(family, handler->GetType(), handler->GetProtocol()));
    }
    const bool ok = handler->GetHandle() != -1 && handler->Parent()->ConnectImp(endpoint, handler);
    handler->SetState(ok);
    if (!ok) socket->eventError();
  } else if (now() < command.extra && state != HXZAEndpointHolder::stateFailed) {
    endpoint->notifyOnResolv(this);
    m_resolveQueue.emplace(command.extra, command);
  } else {
    handler->SetState(false);
    socket->eventError();
  }
}

void HXZServer::bindNow(const SimpleMessage& command) {
  HXZADataHandler* handler = command.handler;
  const std::shared_ptr<HXZAEndpointHolder> endpoint = handler->GetAddress();
  bool ok = false;
  if (endpoint != nullptr) {
    if (handler->GetHandle() == -1) {
      const HXSockAddr address = endpoint->getSockAddr();
      handler->SetFamily(address.sysFamily());
      handler->SetHandle(
          native_socket(address.sysFamily(), handler->GetType(), handler->GetProtocol()));
    }
    ok = handler->GetHandle() != -1 && handler->Parent()->BindImp(endpoint.get(), handler);
    if (!ok) handler->Parent()->CloseImp(handler);
  }
  handler->SetState(ok);
  command.socket->OnBoundLocal(ok);
}

void HXZServer::closeNow(const SimpleMessage& command) {
  HXZADataHandler* copy = command.handler;
  if (isRegistered(command.socket, command.serial)) {
    if (copy->GetState()) command.socket->eventClose(copy);
    onSocketClose(command.socket, command.serial);
  }
  // The copy owns the descriptor, whether or not its socket is still there.
  copy->Parent()->CloseImp(copy);
  delete copy;
}

void HXZServer::deleteNow(const SimpleMessage& command) {
  if (!isRegistered(command.socket, command.serial)) return;
  m_sockets.erase(command.socket);
  clearPendingEvents(command.socket);
  forgetSocket(command.socket, command.serial);
  delete command.socket;
}

void HXZServer::timerStart(const SimpleMessage& command) {
  if (now() < command.due) {
    removeTimers(command);
    m_dueQueue.emplace(command.due, command);
  } else {
    command.socket->eventTimer(static_cast<uint32_t>(command.extra));
  }
}

void HXZServer::clearPendingEvents(const HXZASocket* socket) {
  for (int32_t i = 0; i < m_pollCount; ++i) {
    if (m_pollSockets[static_cast<size_t>(i)] == socket) {
      m_pollItems[static_cast<size_t>(i)].revents = 0;
    }
  }
}

namespace {

bool isConnectOf(const SimpleMessage& entry, const HXZASocket* socket, uint32_t serial) {
  return entry.op == hx::zcmd::kConnect && entry.socket == socket && entry.serial == serial;
}

template <class Queue, class Predicate>
void eraseIf(Queue& queue, Predicate predicate) {
  for (auto it = queue.begin(); it != queue.end();) {
    it = predicate(it->second) ? queue.erase(it) : std::next(it);
  }
}

}  // namespace

void HXZServer::onSocketClose(const HXZASocket* socket, uint32_t serial) {
  clearPendingEvents(socket);
  auto pending_connect = [&](const SimpleMessage& entry) {
    return isConnectOf(entry, socket, serial);
  };
  eraseIf(m_dueQueue, pending_connect);
  eraseIf(m_resolveQueue, pending_connect);
}

void HXZServer::removeTimers(const SimpleMessage& timer) {
  eraseIf(m_dueQueue, [&](const SimpleMessage& entry) {
    return entry.op == hx::zcmd::kTimerStart && entry.socket == timer.socket &&
           entry.serial == timer.serial && entry.extra == timer.extra;
  });
}

void HXZServer::forgetSocket(const HXZASocket* socket, uint32_t serial) {
  // Nothing queued for a deleted socket can run any more; dropping it now spares the wake-ups.
  auto of_socket = [&](const SimpleMessage& entry) {
    return entry.socket == socket && entry.serial == serial;
  };
  eraseIf(m_dueQueue, of_socket);
  eraseIf(m_resolveQueue, of_socket);
}

void HXZServer::disposeLeftovers() {
  // The loop thread has ended: whatever is still in the pipe only needs its resources freed.
  alignas(8) uint8_t record[hx::zcmd::kMaxRecord];
  for (;;) {
    size_t size;
    {
      HXAutoLock lock(m_loopLock);
      size = m_pipeRead != nullptr ? m_pipeRead->Recv(record, sizeof record, 0) : 0;
    }
    if (size == 0) break;
    uint32_t type;
    std::memcpy(&type, record, sizeof type);
    if (type == hx::zcmd::kCallback && size >= sizeof(CallbackMessage)) {
      CallbackMessage job;
      std::memcpy(&job, record, sizeof job);
      if (job.task->IsAutoDelete()) delete job.task;
      continue;
    }
    if (type != hx::zcmd::kSimple || size < sizeof(SimpleMessage)) continue;
    SimpleMessage command;
    std::memcpy(&command, record, sizeof command);
    switch (command.op) {
      case hx::zcmd::kSet:
        m_sockets.emplace(command.socket, command.handler);
        break;
      case hx::zcmd::kClose:
        command.handler->Parent()->CloseImp(command.handler);
        delete command.handler;
        break;
      case hx::zcmd::kDelete:
        if (isRegistered(command.socket, command.serial)) {
          m_sockets.erase(command.socket);
          delete command.socket;
        }
        break;
      default:
        break;
    }
  }
  HXAutoLock lock(m_loopLock);
  clearQueues();
}
