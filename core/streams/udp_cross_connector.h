#pragma once
// UDPCrossConnector: the multiplexer between the UDP listener's few sockets and the many UDP
// handlers that share them (trial handshakes, direct streams, a catch-all for unexpected
// datagrams). It keeps a table of listener sockets, each with its descriptor
// (udp_socket_descriptor.h), and a table of handlers (udp_handlers.h), each with a numeric id;
// it ties a handler to one socket and associates source addresses with it, and arms the
// handler's timers and send readiness on that socket.
//
// Every change is a deferred operation: a request from any thread only enqueues it, and the
// network loop's thread runs the queue (from a stored network job, and from the descriptors
// before and after every socket event), changes the tables and tells the handler the result.
// The UDP listener derives from this class and supplies the two socket-list notifications.
//
// Ids: one counter gives both handler ids and socket ids, starting at 1; 0 means none. Each new
// id is tested only against its own table.
//
// Threads and locks:
// - The queue lock guards the queue; the table lock guards the handler table, the socket table
//   and the address map. Both are recursive.
// - Tables change on the loop's thread only; getHandler reads them from any thread.
// - No notification is made with the table lock held, and no operation runs with the queue lock
//   held, so a handler may make requests from inside a notification: they run in the same pass.
// - addSocketNL and destroySocketNL are called with the table lock held (the listener holds it
//   while it compares its sockets with the interface list) and take the queue lock inside it.
//   The end of a pass therefore releases the queue lock before it takes the table lock for the
//   second shutdown stage, so the two locks are never taken in the other order.
//
// Lifetime: the subclass must not delete the connector from inside onShutdownCcnCompleted (the
// loop still holds the queue task and the pass is still on the stack): it schedules the deletion
// as a network job. Destroy the connector on the loop's thread, or once the loop has ended, and
// only when no queue task of it is scheduled any more.

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/base/lock.h"
#include "core/base/stored_task.h"
#include "core/net/address/sock_addr.h"
#include "core/streams/udp_socket_descriptor.h"

namespace hx::streams {

class HandlerUDP;
class ListenerSocketUDP;

class UDPCrossConnector {
 public:
  static constexpr uint32_t NoHandlerId = 0;
  static constexpr uint32_t NoSocketId = 0;
  // The largest UDP payload; one buffer of this size serves every socket.
  static constexpr size_t kRecvBufferSize = 65507;

  UDPCrossConnector();
  UDPCrossConnector(const UDPCrossConnector&) = delete;
  UDPCrossConnector& operator=(const UDPCrossConnector&) = delete;
  virtual ~UDPCrossConnector();

  // Requests (any thread). Each enqueues one operation; the results come later as handler
  // notifications on the loop's thread. registerHandler always answers true.
  bool registerHandler(const std::shared_ptr<HandlerUDP>& handler, bool isDefault);
  // Also ties to `socketId` when it is not 0, and associates `address` when it is not empty.
  bool registerHandler(const std::shared_ptr<HandlerUDP>& handler, uint32_t socketId,
                       const HXSockAddr& address, bool isDefault);
  void removeHandler(uint32_t handlerId);
  void substHandler(const std::shared_ptr<HandlerUDP>& handler, uint32_t oldHandlerId,
                    bool removeOld);
  // Unties, then ties to `socketId` and associates `address` when given and not empty.
  void changeSocket(uint32_t handlerId, uint32_t socketId, const HXSockAddr* address);
  void tieHandlerToSocket(uint32_t handlerId, uint32_t socketId);
  void untieHandler(uint32_t handlerId);
  void assocFromAddr(uint32_t handlerId, const HXSockAddr& address);
  void setSendState(uint32_t handlerId, bool on);
  void timerControl(bool start, uint32_t handlerId, uint32_t type, uint64_t ms);
  void shutdown();

  // With the table lock held (getLock). addSocketNL draws the socket's id now: false, and
  // nothing enqueued, when no id is free.
  bool addSocketNL(ListenerSocketUDP* socket);
  void destroySocketNL(uint32_t socketId);

  // A copy of the handler's pointer under the table lock; empty when unknown. Any thread.
  std::shared_ptr<HandlerUDP> getHandler(uint32_t handlerId) const;
  // The table lock.
  HXLock& getLock() { return m_tableLock; }

  // For the descriptors, on the loop's thread.
  bool hasPendingOps() const {
    return m_processed.load(std::memory_order_acquire) !=
           m_scheduled.load(std::memory_order_acquire);
  }
  void processCtrlQueue();
  uint8_t* recvBuffer() { return m_recvBuffer.get(); }
  HandlerUDP* defaultHandler() const { return m_defaultHandler.get(); }
  // A descriptor brackets each of its callbacks with these. A descriptor destroyed inside a
  // callback (by an operation that the callback ran) is kept until the outermost one returns.
  void enterDescriptorCallback() { ++m_callbackDepth; }
  void leaveDescriptorCallback();

 protected:
  // A socket was added (added true) or removed; ok false when the operation was refused. The
  // listener socket is null when an unknown socket was to be removed. Loop thread, no lock held.
  virtual void onSocketListEvent(bool added, uint32_t socketId, ListenerSocketUDP* socket,
                                 bool ok) = 0;
  // The shutdown has removed every socket and handler. Loop thread, no lock held.
  virtual void onShutdownCcnCompleted() = 0;

  // Narrows the id range to 1..`last` so that tests can run out of ids.
  void setIdLimit(uint32_t last) { m_idLimit = last; }

 private:
  // One queued request. Without any of bits 8 to 11 the kind selects one operation (kAddSocket
  // .. kShutdown); with them it combines kAddHandler, or kUntie, kTie and kAssoc in that order.
  struct DeferredOp {
    uint32_t kind = 0;
    uint32_t handlerId = NoHandlerId;
    uint32_t socketId = NoSocketId;
    HXSockAddr address;
    bool flag = false;  // send state, timer start, default handler, or remove the old handler
    uint32_t timerType = 0;
    uint64_t timerMs = 0;
    ListenerSocketUDP* socket = nullptr;
    std::shared_ptr<HandlerUDP> handler;
  };
  struct HandlerDescr {
    std::shared_ptr<HandlerUDP> handler;
    uint32_t socketId = NoSocketId;
  };
  // The queue's network job, made once and handed to the loop again at every empty-to-non-empty
  // change of the queue; it may wait in the loop more than once at a time (a descriptor can
  // drain the queue before the job runs). A connector destroyed while the job waits leaves it
  // to the loop, whose last run of it is a no-op that has it deleted.
  class QueueTask : public HXStoredTask {
   public:
    explicit QueueTask(UDPCrossConnector* owner) : m_owner(owner) { SetAutoDelete(false); }
    void Execute() override;
    // Loop thread, and only while runs are pending.
    void orphan() { m_owner = nullptr; }
    std::atomic<int> pending{0};  // runs handed to the loop and not yet started

   private:
    UDPCrossConnector* m_owner;
  };

  void scheduleCtrlOp(DeferredOp op);
  bool runOp(const DeferredOp& op);

  // Operations (loop thread).
  void opAddSocket(uint32_t socketId, ListenerSocketUDP* socket);
  void opDestroySocket(uint32_t socketId);
  void opAddHandler(const DeferredOp& op);
  void opCombined(const DeferredOp& op);
  void opRemoveHandler(uint32_t handlerId);
  void opSetSendState(uint32_t handlerId, bool on);
  void opTimerControl(const DeferredOp& op);
  void opSubstHandler(const DeferredOp& op);
  void shutdownStage1();
  void shutdownStage2();

  // Under the table lock. The result of a tie is the socket id, 0 on failure.
  uint32_t nextId(bool forSocket);
  uint32_t tieNL(uint32_t handlerId, uint32_t socketId);
  bool assocNL(uint32_t handlerId, const HXSockAddr& address);
  UDPListenerSocketDescriptor* descriptorNL(uint32_t socketId) const;
  // Unlinks and destroys a descriptor, or keeps it for later while a descriptor callback runs.
  void retireDescriptorNL(std::unique_ptr<UDPListenerSocketDescriptor> descriptor);

  void tellDisconnected(const std::vector<std::pair<std::shared_ptr<HandlerUDP>, uint32_t>>& list);

  uint32_t m_idCounter = 0;
  uint32_t m_idLimit = UINT32_MAX;
  std::shared_ptr<HandlerUDP> m_defaultHandler;
  std::deque<DeferredOp> m_queue;
  QueueTask* m_queueTask;  // owned, or the loop's once orphaned
  std::unique_ptr<uint8_t[]> m_recvBuffer;
  std::unordered_map<uint32_t, HandlerDescr> m_handlers;
  mutable HXLock m_tableLock;
  HXLock m_queueLock;
  std::unordered_map<uint32_t, std::unique_ptr<UDPListenerSocketDescriptor>> m_sockets;
  std::map<HXSockAddr, uint32_t, SockAddrLess> m_addresses;
  // Socket ids drawn by addSocketNL whose add operation has not run yet: a second draw before it
  // runs must not hand out the same id.
  std::unordered_set<uint32_t> m_reservedSocketIds;
  std::atomic<uint32_t> m_processed{0};
  std::atomic<uint32_t> m_scheduled{0};
  // Loop thread only.
  int m_callbackDepth = 0;
  std::vector<std::unique_ptr<UDPListenerSocketDescriptor>> m_retired;
};

}  // namespace hx::streams
