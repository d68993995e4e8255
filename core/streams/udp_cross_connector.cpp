#include "core/streams/udp_cross_connector.h"

#include <utility>

#include "core/net/loop/zserver.h"
#include "core/streams/udp_handlers.h"
#include "core/streams/udp_listener_socket.h"

namespace hx::streams {

namespace {

constexpr uint32_t kAddSocket = 0;
constexpr uint32_t kDestroySocket = 1;
constexpr uint32_t kRemoveHandler = 2;
constexpr uint32_t kSetSendState = 3;
constexpr uint32_t kTimerControl = 4;
constexpr uint32_t kSubstHandler = 5;
constexpr uint32_t kShutdown = 6;
constexpr uint32_t kAddHandler = 0x100;
constexpr uint32_t kTie = 0x200;
constexpr uint32_t kAssoc = 0x400;
constexpr uint32_t kUntie = 0x800;
constexpr uint32_t kCombinedBits = 0xf00;

}  // namespace

void UDPCrossConnector::QueueTask::Execute() {
  const bool last = pending.fetch_sub(1, std::memory_order_acq_rel) == 1;
  if (m_owner != nullptr) {
    m_owner->processCtrlQueue();
  } else if (last) {
    SetAutoDelete(true);  // the loop deletes it when this run returns
  }
}

UDPCrossConnector::UDPCrossConnector()
    : m_queueTask(new QueueTask(this)), m_recvBuffer(new uint8_t[kRecvBufferSize]) {}

UDPCrossConnector::~UDPCrossConnector() {
  if (m_queueTask->pending.load(std::memory_order_acquire) > 0) {
    m_queueTask->orphan();
  } else {
    delete m_queueTask;
  }
}

// ---- Requests ----

bool UDPCrossConnector::registerHandler(const std::shared_ptr<HandlerUDP>& handler,
                                        bool isDefault) {
  return registerHandler(handler, NoSocketId, HXSockAddr(), isDefault);
}

bool UDPCrossConnector::registerHandler(const std::shared_ptr<HandlerUDP>& handler,
                                        uint32_t socketId, const HXSockAddr& address,
                                        bool isDefault) {
  DeferredOp op;
  op.kind = kAddHandler;
  if (socketId != NoSocketId) {
    op.kind |= kTie;
    if (!address.empty()) op.kind |= kAssoc;
  }
  op.socketId = socketId;
  op.address = address;
  op.flag = isDefault;
  op.handler = handler;
  scheduleCtrlOp(std::move(op));
  return true;
}

void UDPCrossConnector::removeHandler(uint32_t handlerId) {
  DeferredOp op;
  op.kind = kRemoveHandler;
  op.handlerId = handlerId;
  scheduleCtrlOp(std::move(op));
}

void UDPCrossConnector::substHandler(const std::shared_ptr<HandlerUDP>& handler,
                                     uint32_t oldHandlerId, bool removeOld) {
  DeferredOp op;
  op.kind = kSubstHandler;
  op.handlerId = oldHandlerId;
  op.flag = removeOld;
  op.handler = handler;
  scheduleCtrlOp(std::move(op));
}

void UDPCrossConnector::changeSocket(uint32_t handlerId, uint32_t socketId,
                                     const HXSockAddr* address) {
  DeferredOp op;
  op.kind = kUntie | kTie;
  if (address != nullptr && !address->empty()) {
    op.kind |= kAssoc;
    op.address = *address;
  }
  op.handlerId = handlerId;
  op.socketId = socketId;
  scheduleCtrlOp(std::move(op));
}

void UDPCrossConnector::tieHandlerToSocket(uint32_t handlerId, uint32_t socketId) {
  DeferredOp op;
  op.kind = kTie;
  op.handlerId = handlerId;
  op.socketId = socketId;
  scheduleCtrlOp(std::move(op));
}

void UDPCrossConnector::untieHandler(uint32_t handlerId) {
  DeferredOp op;
  op.kind = kUntie;
  op.handlerId = handlerId;
  scheduleCtrlOp(std::move(op));
}

void UDPCrossConnector::assocFromAddr(uint32_t handlerId, const HXSockAddr& address) {
  DeferredOp op;
  op.kind = kAssoc;
  op.handlerId = handlerId;
  op.address = address;
  scheduleCtrlOp(std::move(op));
}

void UDPCrossConnector::setSendState(uint32_t handlerId, bool on) {
  DeferredOp op;
  op.kind = kSetSendState;
  op.handlerId = handlerId;
  op.flag = on;
  scheduleCtrlOp(std::move(op));
}

void UDPCrossConnector::timerControl(bool start, uint32_t handlerId, uint32_t type, uint64_t ms) {
  DeferredOp op;
  op.kind = kTimerControl;
  op.handlerId = handlerId;
  op.flag = start;
  op.timerType = type;
  op.timerMs = ms;
  scheduleCtrlOp(std::move(op));
}

void UDPCrossConnector::shutdown() {
  DeferredOp op;
  op.kind = kShutdown;
  scheduleCtrlOp(std::move(op));
}

bool UDPCrossConnector::addSocketNL(ListenerSocketUDP* socket) {
  // The caller holds the table lock; taking it again (recursively) keeps this correct for a
  // caller that forgot.
  HXAutoLock lock(m_tableLock);
  const uint32_t socketId = nextId(true);
  if (socketId == NoSocketId) return false;
  m_reservedSocketIds.insert(socketId);
  DeferredOp op;
  op.kind = kAddSocket;
  op.socketId = socketId;
  op.socket = socket;
  scheduleCtrlOp(std::move(op));
  return true;
}

void UDPCrossConnector::destroySocketNL(uint32_t socketId) {
  DeferredOp op;
  op.kind = kDestroySocket;
  op.socketId = socketId;
  scheduleCtrlOp(std::move(op));
}

std::shared_ptr<HandlerUDP> UDPCrossConnector::getHandler(uint32_t handlerId) const {
  HXAutoLock lock(m_tableLock);
  const auto it = m_handlers.find(handlerId);
  return it == m_handlers.end() ? nullptr : it->second.handler;
}

// ---- The queue ----

void UDPCrossConnector::scheduleCtrlOp(DeferredOp op) {
  HXAutoLock lock(m_queueLock);
  const bool wasEmpty = m_queue.empty();
  m_queue.push_back(std::move(op));
  m_scheduled.fetch_add(1, std::memory_order_acq_rel);
  if (!wasEmpty) return;
  // Counted before it is handed over: the run may start before ScheduleNetworkJob returns.
  m_queueTask->pending.fetch_add(1, std::memory_order_acq_rel);
  if (!HXZServer::ScheduleNetworkJob(m_queueTask, 0)) {
    // No loop: the descriptors' callbacks (if any) still run the queue.
    m_queueTask->pending.fetch_sub(1, std::memory_order_acq_rel);
  }
}

void UDPCrossConnector::processCtrlQueue() {
  bool ranShutdown = false;
  m_queueLock.Lock();
  while (!m_queue.empty()) {
    const DeferredOp op = m_queue.front();
    // Operations notify handlers, which may enqueue further requests (run in this pass), and
    // other threads enqueue meanwhile: the queue lock is not held while one runs.
    m_queueLock.Unlock();
    ranShutdown = runOp(op) || ranShutdown;
    m_queueLock.Lock();
    m_queue.pop_front();
  }
  m_processed.store(m_scheduled.load(std::memory_order_acquire), std::memory_order_release);
  // Released before the second shutdown stage takes the table lock: the listener takes the queue
  // lock inside the table lock (addSocketNL, destroySocketNL), so holding it here would deadlock.
  m_queueLock.Unlock();
  if (!ranShutdown) return;
  shutdownStage2();
  // The last use of this object in the pass: the subclass may have its deletion scheduled here.
  onShutdownCcnCompleted();
}

bool UDPCrossConnector::runOp(const DeferredOp& op) {
  if ((op.kind & kCombinedBits) != 0) {
    if ((op.kind & kAddHandler) != 0) {
      opAddHandler(op);
    } else {
      opCombined(op);
    }
    return false;
  }
  switch (op.kind) {
    case kAddSocket:
      opAddSocket(op.socketId, op.socket);
      break;
    case kDestroySocket:
      opDestroySocket(op.socketId);
      break;
    case kRemoveHandler:
      opRemoveHandler(op.handlerId);
      break;
    case kSetSendState:
      opSetSendState(op.handlerId, op.flag);
      break;
    case kTimerControl:
      opTimerControl(op);
      break;
    case kSubstHandler:
      opSubstHandler(op);
      break;
    case kShutdown:
      shutdownStage1();
      return true;
    default:
      break;
  }
  return false;
}

void UDPCrossConnector::leaveDescriptorCallback() {
  if (--m_callbackDepth > 0 || m_retired.empty()) return;
  // May destroy the descriptor whose callback calls this, as its last step.
  std::vector<std::unique_ptr<UDPListenerSocketDescriptor>> retired;
  retired.swap(m_retired);
}

// ---- Operations ----

void UDPCrossConnector::opAddSocket(uint32_t socketId, ListenerSocketUDP* socket) {
  bool ok = false;
  {
    HXAutoLock lock(m_tableLock);
    m_reservedSocketIds.erase(socketId);
    const HXSockAddr bound = socket->getBoundAddress();
    if (m_sockets.count(socketId) == 0 && m_addresses.count(bound) == 0) {
      socket->setSocketId(socketId);
      m_sockets.emplace(socketId, std::make_unique<UDPListenerSocketDescriptor>(this, socket));
      m_addresses.emplace(bound, socketId);
      ok = true;
    }
  }
  onSocketListEvent(true, socketId, socket, ok);
}

void UDPCrossConnector::opDestroySocket(uint32_t socketId) {
  std::vector<std::pair<std::shared_ptr<HandlerUDP>, uint32_t>> untied;
  ListenerSocketUDP* socket = nullptr;
  {
    HXAutoLock lock(m_tableLock);
    const auto it = m_sockets.find(socketId);
    if (it != m_sockets.end()) {
      socket = it->second->getListenerSocket();
      m_addresses.erase(socket->getBoundAddress());
      // The handlers return to socket 0, so that they can be tied to another socket later.
      for (auto& [id, record] : m_handlers) {
        if (record.socketId != socketId) continue;
        untied.emplace_back(record.handler, socketId);
        record.socketId = NoSocketId;
      }
      retireDescriptorNL(std::move(it->second));
      m_sockets.erase(it);
    }
  }
  tellDisconnected(untied);
  onSocketListEvent(false, socketId, socket, socket != nullptr);
}

void UDPCrossConnector::opAddHandler(const DeferredOp& op) {
  uint32_t handlerId = NoHandlerId;
  {
    HXAutoLock lock(m_tableLock);
    handlerId = nextId(false);
    if (handlerId != NoHandlerId) {
      op.handler->setHandlerUdpId(handlerId);
      m_handlers[handlerId] = HandlerDescr{op.handler, NoSocketId};
      if (op.flag) m_defaultHandler = op.handler;
    }
  }
  op.handler->onHandlerRegisteredByCcn(op.handler, handlerId != NoHandlerId);
  if (handlerId == NoHandlerId || (op.kind & kTie) == 0) return;
  uint32_t tied = NoSocketId;
  {
    HXAutoLock lock(m_tableLock);
    tied = tieNL(handlerId, op.socketId);
  }
  op.handler->onConnectedToSocket(tied);
  if (tied == NoSocketId || (op.kind & kAssoc) == 0) return;
  bool ok = false;
  {
    HXAutoLock lock(m_tableLock);
    ok = assocNL(handlerId, op.address);
  }
  op.handler->onAssocFromAddr(ok);
}

void UDPCrossConnector::opCombined(const DeferredOp& op) {
  const std::shared_ptr<HandlerUDP> handler = getHandler(op.handlerId);
  if (handler == nullptr) return;
  if ((op.kind & kUntie) != 0) {
    uint32_t old = NoSocketId;
    {
      HXAutoLock lock(m_tableLock);
      const auto it = m_handlers.find(op.handlerId);
      if (it != m_handlers.end()) {
        old = it->second.socketId;
        if (UDPListenerSocketDescriptor* descriptor = descriptorNL(old)) {
          descriptor->removeHandler(op.handlerId, handler.get());
        }
        it->second.socketId = NoSocketId;
      }
    }
    handler->onDisconnectedFromSocket(old);
  }
  if ((op.kind & kTie) != 0) {
    uint32_t tied = NoSocketId;
    {
      HXAutoLock lock(m_tableLock);
      tied = tieNL(op.handlerId, op.socketId);
    }
    handler->onConnectedToSocket(tied);
  }
  if ((op.kind & kAssoc) != 0) {
    bool ok = false;
    {
      HXAutoLock lock(m_tableLock);
      ok = assocNL(op.handlerId, op.address);
    }
    handler->onAssocFromAddr(ok);
  }
}

void UDPCrossConnector::opRemoveHandler(uint32_t handlerId) {
  std::shared_ptr<HandlerUDP> handler;
  {
    HXAutoLock lock(m_tableLock);
    const auto it = m_handlers.find(handlerId);
    if (it == m_handlers.end()) return;
    handler = it->second.handler;
    if (UDPListenerSocketDescriptor* descriptor = descriptorNL(it->second.socketId)) {
      descriptor->removeHandler(handlerId, handler.get());
    }
    m_handlers.erase(it);
    if (m_defaultHandler == handler) m_defaultHandler.reset();
  }
  handler->onHandlerRemovedFromCcn();
}

void UDPCrossConnector::opSetSendState(uint32_t handlerId, bool on) {
  HXAutoLock lock(m_tableLock);
  const auto it = m_handlers.find(handlerId);
  if (it == m_handlers.end()) return;
  if (UDPListenerSocketDescriptor* descriptor = descriptorNL(it->second.socketId)) {
    descriptor->setSendState(handlerId, it->second.handler.get(), on);
  }
}

void UDPCrossConnector::opTimerControl(const DeferredOp& op) {
  HXAutoLock lock(m_tableLock);
  const auto it = m_handlers.find(op.handlerId);
  if (it == m_handlers.end()) return;
  if (UDPListenerSocketDescriptor* descriptor = descriptorNL(it->second.socketId)) {
    descriptor->timerControl(op.flag, op.handlerId, it->second.handler.get(), op.timerType,
                             op.timerMs);
  }
}

void UDPCrossConnector::opSubstHandler(const DeferredOp& op) {
  uint32_t newId = NoHandlerId;
  uint32_t tied = NoSocketId;
  bool found = false;
  bool moved = false;
  {
    HXAutoLock lock(m_tableLock);
    const auto old = m_handlers.find(op.handlerId);
    HXSockAddr address;
    UDPListenerSocketDescriptor* descriptor =
        old == m_handlers.end() ? nullptr : descriptorNL(old->second.socketId);
    found = descriptor != nullptr && descriptor->getHandlerAssoc(op.handlerId, &address);
    if (found) {
      const uint32_t socketId = old->second.socketId;
      newId = nextId(false);
      if (newId != NoHandlerId) {
        op.handler->setHandlerUdpId(newId);
        m_handlers[newId] = HandlerDescr{op.handler, NoSocketId};
        tied = tieNL(newId, socketId);
      }
      if (tied == socketId) {
        descriptor->eraseBinding(op.handlerId);
        moved = descriptor->addBinding(address, newId);
      }
    }
  }
  op.handler->onHandlerRegisteredByCcn(op.handler, found && newId != NoHandlerId);
  if (newId != NoHandlerId) op.handler->onConnectedToSocket(tied);
  if (moved) op.handler->onAssocFromAddr(true);
  if (op.flag) opRemoveHandler(op.handlerId);
}

void UDPCrossConnector::shutdownStage1() {
  std::vector<std::pair<std::shared_ptr<HandlerUDP>, uint32_t>> untied;
  std::vector<ListenerSocketUDP*> sockets;
  {
    HXAutoLock lock(m_tableLock);
    for (auto& [id, record] : m_handlers) {
      UDPListenerSocketDescriptor* descriptor = descriptorNL(record.socketId);
      if (descriptor == nullptr) continue;
      descriptor->removeHandler(id, record.handler.get());
      untied.emplace_back(record.handler, record.socketId);
      record.socketId = NoSocketId;
    }
    for (auto& [id, descriptor] : m_sockets) {
      sockets.push_back(descriptor->getListenerSocket());
      retireDescriptorNL(std::move(descriptor));
    }
    m_sockets.clear();
    m_addresses.clear();
  }
  tellDisconnected(untied);
  for (ListenerSocketUDP* socket : sockets) socket->stop();
}

void UDPCrossConnector::shutdownStage2() {
  std::vector<std::shared_ptr<HandlerUDP>> removed;
  {
    HXAutoLock lock(m_tableLock);
    for (auto& [id, record] : m_handlers) removed.push_back(std::move(record.handler));
    m_handlers.clear();
    m_defaultHandler.reset();
  }
  for (const auto& handler : removed) handler->onHandlerRemovedFromCcn();
}

// ---- Under the table lock ----

uint32_t UDPCrossConnector::nextId(bool forSocket) {
  uint32_t id = m_idCounter;
  for (uint64_t tried = 0; tried < m_idLimit; ++tried) {
    id = id >= m_idLimit ? 1 : id + 1;
    const bool taken = forSocket ? m_sockets.count(id) != 0 || m_reservedSocketIds.count(id) != 0
                                 : m_handlers.count(id) != 0;
    if (!taken) {
      m_idCounter = id;
      return id;
    }
  }
  return forSocket ? NoSocketId : NoHandlerId;
}

uint32_t UDPCrossConnector::tieNL(uint32_t handlerId, uint32_t socketId) {
  const auto it = m_handlers.find(handlerId);
  UDPListenerSocketDescriptor* descriptor = descriptorNL(socketId);
  if (it == m_handlers.end() || descriptor == nullptr || it->second.socketId != NoSocketId) {
    return NoSocketId;
  }
  it->second.socketId = socketId;
  descriptor->addHandler(handlerId, it->second.handler.get());
  return socketId;
}

bool UDPCrossConnector::assocNL(uint32_t handlerId, const HXSockAddr& address) {
  const auto it = m_handlers.find(handlerId);
  if (it == m_handlers.end()) return false;
  UDPListenerSocketDescriptor* descriptor = descriptorNL(it->second.socketId);
  return descriptor != nullptr && descriptor->addBinding(address, handlerId);
}

UDPListenerSocketDescriptor* UDPCrossConnector::descriptorNL(uint32_t socketId) const {
  if (socketId == NoSocketId) return nullptr;
  const auto it = m_sockets.find(socketId);
  return it == m_sockets.end() ? nullptr : it->second.get();
}

void UDPCrossConnector::retireDescriptorNL(
    std::unique_ptr<UDPListenerSocketDescriptor> descriptor) {
  descriptor->unlink();
  // A descriptor callback may be what ran this operation: its frame must outlive it.
  if (m_callbackDepth > 0) m_retired.push_back(std::move(descriptor));
}

void UDPCrossConnector::tellDisconnected(
    const std::vector<std::pair<std::shared_ptr<HandlerUDP>, uint32_t>>& list) {
  for (const auto& [handler, socketId] : list) handler->onDisconnectedFromSocket(socketId);
}

}  // namespace hx::streams
