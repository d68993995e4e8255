#pragma once
// HXZServer: the process-wide network loop. One thread, "zserver", owns every socket of the
// core: it polls all active sockets and the read end of an in-process command pipe with one
// zmq_poll, delivers readiness, close, error and timer callbacks, runs connects and binds, keeps
// connect deadlines and socket timers, and runs network jobs (stored tasks that must run on the
// loop's thread). Other threads reach the loop only through fixed-size command records written
// into the pipe (zserver_command.h). Beside the loop the object owns a worker pool for ordinary
// background jobs, the DNS client (core/net/dns/dns_handler.h), the proxy list and the interface
// address list.
//
// The loop is also the socket helper at the root of every socket's helper chain: it performs the
// asynchronous helper operations by sending commands, and the synchronous ones for the ZeroMQ
// sockets of its pipe.
//
// Threads:
// - Commands may be sent from any thread; each write into and each read from the pipe happens
//   under the loop lock, and so does the processing of the due queues.
// - Socket callbacks, socket timers, connects, binds and network jobs run on the loop's thread
//   only. The socket map, the poll set and the three queues belong to that thread (the queues
//   are also emptied under the lock when the loop ends).
// - Worker-pool jobs run on the pool's four runners, never on the loop's thread.
// - Start, Shutdown and destruction belong to the owner (the client application object).
//
// Lifetime: installNetworkManager creates the one instance; startServerLoop starts the pool and
// then the loop thread; Shutdown stops the pool and asks the loop to end, closing every socket
// that is still open. Delete every socket (DeleteLater) before the loop object itself; commands
// still in the pipe when it is destroyed are disposed of (descriptors closed, owned tasks and
// sockets waiting for deletion deleted) without callbacks.
//
// The DNS client exists only while the loop thread runs: that thread creates it when it starts
// and deletes it when it ends; Shutdown stops it first.
//
// Later steps fill in what is not here yet: the TLS algorithms' set-up.

#include <zmq.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/base/event.h"
#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/base/thread.h"
#include "core/net/address/if_addr_container_ts.h"
#include "core/net/loop/dns_callback.h"
#include "core/net/loop/endpoint_holder.h"
#include "core/net/loop/zserver_command.h"
#include "core/net/socket/native_socket_helper.h"
#include "core/net/socket/socket_callbacks.h"
#include "core/net/socket/socket_data_handler.h"
#include "core/net/socket/socket_helper.h"

class HX_ProxyList;
class HXDNSHandler;
class HXStoredTask;
class HXThreadPool;
class HXZASocketHelperRedirect;
class HXZPipe;

class HXZServer : public HXZASocketHelper,
                  public HXZASocketCallbacks,
                  public HXThread,
                  public HXDnsCallbackBase,
                  public HXZAEndpointHolder::Handler {
 public:
  // Creates the ZeroMQ context, the loop object and its pipe, once; later calls return the
  // instance that exists. Null when the pipe could not be made.
  static HXZServer* installNetworkManager();
  // Starts the worker pool, then the loop thread, and waits until it runs and has made its DNS
  // client: 0 started, 1 already running, -1 failed.
  int startServerLoop();
  bool isRunning() const { return IsRunning(); }
  // Waits until the loop thread has ended.
  bool Wait4Done() { return Wait(); }
  // Stops the DNS client (its pending lookups fail), then the worker pool (waiting for its
  // jobs), asks the loop to end and empties the proxy list. May be called more than once;
  // returns true.
  bool Shutdown();
  // Shutdown, waits for the loop thread, disposes of what is left, ends the ZeroMQ context.
  ~HXZServer() override;

  // A new ZeroMQ socket of `type` in the loop's context.
  static void* zmq_socket_create(int type);

  // The socket factory: a socket of class S over `handle` (-1: none yet) with a helper of its
  // own of class H, whose parent is the loop.
  template <class S, class H = HXZNativeSocketHelper>
  static S* implantNative(int handle, int family, int type, int protocol) {
    return new S(new H(m_Instance), handle, family, type, protocol);
  }
  // A socket of class S that takes over the connection of `other` (an accepted or half-processed
  // one). `other` is switched off first and no longer owns the descriptor afterwards. Null when
  // there is no loop or `other` has no descriptor.
  template <class S, class H = HXZNativeSocketHelper>
  static S* inheritNative(HXZADataHandler* other) {
    if (m_Instance == nullptr || other == nullptr || other->GetHandle() == -1) return nullptr;
    other->SetState(false);
    return new S(new H(m_Instance), *other);
  }

  // Worker-pool jobs (queue 1 normal, 0 urgent). The pool owns the task from the call on. Each
  // returns the job id, 0 when there is no loop. The forms without delay register the task
  // without arming it: it runs once ReScheduleJob arms it.
  static uint32_t ScheduleJob(HXStoredTask* task, uint32_t delay_ms, const char* name);
  static uint32_t ScheduleJob(HXStoredTask* task, const std::string& name);
  static uint32_t ScheduleUrgentJob(HXStoredTask* task, uint32_t delay_ms, const char* name);
  static uint32_t ScheduleUrgentJob(HXStoredTask* task, const std::string& name);
  // Re-arms job `id` for now + delay; the flags are the scheduler's (cancel pending, wait).
  static int ReScheduleJob(uint32_t id, uint32_t delay_ms, bool cancel_pending, bool wait);
  // Removes the job (wait, delete the task).
  static int UnScheduleJob(uint32_t id, bool wait, bool delete_task);
  static int CancelJob(uint32_t id, bool wait);

  // Runs `task` on the loop's thread once now + delay has come. True when the command was
  // accepted; when it was not, an owned (auto-delete) task is deleted here.
  static bool ScheduleNetworkJob(HXStoredTask* task, uint32_t delay_ms);

  // Address lookups through the DNS client; they need the loop thread to run (without it they
  // answer "" and false and look nothing up). QueryA returns an address text at once for a
  // numeric or cached name, else "" and the answer comes later to the callback. QueryAMulti
  // appends the addresses and returns true in the same case. QuerySRV always answers later.
  static std::string QueryA(const std::string& name, HXDnsCallbackBase* callback,
                            uint32_t time_limit_ms);
  static bool QueryAMulti(const std::string& name, std::vector<std::string>& list,
                          HXDnsCallbackBase* callback, uint32_t time_limit_ms);
  static bool QuerySRV(const std::string& service, const std::string& domain,
                       HXDnsCallbackBase* callback, uint32_t time_limit_ms);
  // Withdraws the callback from every pending lookup.
  static void revokeDNSCallback(HXDnsCallbackBase* callback);
  // Switches the DNS client's built-in fallback name servers on or off.
  static void EnableKvoDnsServers(bool on);
  // Rebinds the DNS client's sockets and gives it these name servers (address text, port); an
  // empty list stands for the system's own (/etc/resolv.conf). False (logged) without a DNS
  // client.
  bool Rebind(const std::vector<std::pair<std::string, uint16_t>>& servers);

  // The proxy list, created empty on the first call. Thread-safe.
  HX_ProxyList* acquireProxyList();
  // The proxy list, or null.
  static HX_ProxyList* getProxyList();
  // The interface address list, or null when there is no loop.
  static HXIfIpAddrContainerTS* getIfAddrList();

  // How long a connect may wait for its endpoint's address (60 s); tests shorten it.
  static void setConnectTimeLimit(uint32_t ms) { s_connectTimeLimitMs.store(ms); }

  // Synchronous helper operations, for the ZeroMQ sockets of the pipe.
  std::unique_ptr<HXZADataHandler> AcceptImp(HXZADataHandler* listener) override;
  size_t SendImp(const void* buffer, size_t length, int flags, HXZADataHandler* handler) override;
  size_t RecvImp(void* buffer, size_t length, int flags, HXZADataHandler* handler) override;
  size_t RecvFromImp(void* buffer, size_t length, int flags, HXZADataHandler* handler,
                     HXSockAddr* from) override;
  size_t SendToImp(const void* buffer, size_t length, const HXSockAddr& to, int flags,
                   HXZADataHandler* handler) override;
  bool ConnectImp(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                  HXZADataHandler* handler) override;
  bool BindImp(HXZAEndpointHolder* endpoint, HXZADataHandler* handler) override;
  bool CloseImp(HXZADataHandler* handler) override;
  int64_t Ioctl_0(int func, HXZADataHandler* handler) override;
  int64_t Ioctl_1(int func, HXZADataHandler* handler, intptr_t a) override;
  int64_t Ioctl_2(int func, HXZADataHandler* handler, intptr_t a, intptr_t b) override;
  int64_t Ioctl_3(int func, HXZADataHandler* handler, intptr_t a, intptr_t b, intptr_t c) override;
  HXZADataHandler* Clone(HXZADataHandler* handler) override;

  // Asynchronous helper operations: each sends a command and answers whether it was accepted.
  bool SetImp(HXZASocket* socket, HXZADataHandler* handler) override;
  bool DeleteImp(HXZASocket* socket, HXZADataHandler* handler) override;
  bool SendAsync(HXZASocket* socket, HXZADataHandler* handler, bool on) override;
  bool ConnectAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint, HXZASocket* socket,
                    HXZADataHandler* handler) override;
  bool ReBindAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint, HXZASocket* socket,
                   HXZADataHandler* handler) override;
  bool CloseAsync(HXZASocket* socket, HXZADataHandler* handler, bool silent) override;
  bool StartTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id,
                     uint32_t delay_ms) override;
  bool StopTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id) override;

  // The pipe's read end: reads the commands that wait.
  int32_t OnReadyRecvImp(HXZASocket* socket, HXZADataHandler* handler) override;
  int32_t OnReadySendImp(HXZASocket* socket, HXZADataHandler* handler) override;

  // Releases the connects that wait for the name `name` (DNS answers; any thread).
  using HXDnsCallbackBase::OnCallbackQueryA;
  bool AsyncQuerySupported() override { return true; }
  void OnCallbackQueryA(const char* name, const char* address) override;
  // Releases the connects that wait for `holder` (any thread).
  void onEPAddrResolved(const HXZAEndpointHolder* holder) override;

  // Whether the calling thread is the loop's thread.
  bool onLoopThread() const;

  static HXZServer* m_Instance;
  static void* m_Context;
  // 64 minus the number of registered sockets, refreshed at every poll; read without a lock.
  static std::atomic<int32_t> _free_sockets;
  // Emitted on the loop's thread when it starts and just before it ends.
  static hx::Signal0<> fireZServerStart;
  static hx::Signal0<> fireZServerStop;

 protected:
  void Run() override;
  // Wakes the loop so that it sees the request.
  void OnTerminateRequest() override;

 private:
  using SimpleMessage = hx::zcmd::SimpleMessage;
  using CallbackMessage = hx::zcmd::CallbackMessage;

  HXZServer();
  // Makes the pipe and registers both ends; false when it could not be bound and connected.
  bool Activate();

  // Sending (any thread).
  bool sendRecord(const void* record, size_t size);
  bool sendSimple(uint32_t op, HXZASocket* socket, HXZADataHandler* handler, uint64_t due,
                  uint64_t extra);
  bool RescheduleImp(HXZASocket* socket, HXZADataHandler* handler);

  // The loop (loop thread).
  void preparePoll();
  long pollTimeout() const;
  void processEvents();
  // Re-sends due records into the pipe; returns their number.
  int ZQueueProcess();
  // Reads up to `max` commands and processes them; returns the number read.
  int readCtrlMessages(int max);
  void drainPipe();
  void processRecord(const uint8_t* record, size_t size);
  void runJob(const CallbackMessage& job);
  void runCommand(const SimpleMessage& command);
  void connectNow(const SimpleMessage& command);
  void bindNow(const SimpleMessage& command);
  void closeNow(const SimpleMessage& command);
  void deleteNow(const SimpleMessage& command);
  void timerStart(const SimpleMessage& command);
  bool isRegistered(const HXZASocket* socket, uint32_t serial) const;
  void clearPendingEvents(const HXZASocket* socket);
  void onSocketClose(const HXZASocket* socket, uint32_t serial);
  void removeTimers(const SimpleMessage& timer);
  void forgetSocket(const HXZASocket* socket, uint32_t serial);
  // Re-sends the waiting connects that match (loop thread).
  void releaseResolved(const HXZAEndpointHolder* holder);
  void releaseResolvedName(std::string name);
  void endLoop();
  void clearQueues();
  // After the loop thread has ended: commands left in the pipe, without callbacks.
  void disposeLeftovers();
  // Calls `use` with the DNS client when it exists; the client is not deleted meanwhile.
  template <class Use>
  static bool useDnsClient(Use&& use);
  // Loop thread, at its end: once no forwarder is inside the client any more.
  void deleteDnsClient();

  static uint64_t now();

  std::unique_ptr<HXZPipe> m_pipeWrite;
  std::unique_ptr<HXZPipe> m_pipeRead;
  HXZASocketHelperRedirect* m_pipeHelper = nullptr;  // owned by the pipe ends' references
  HXLock m_loopLock;

  std::unordered_map<HXZASocket*, HXZADataHandler*> m_sockets;
  HXIfIpAddrContainerTS m_ifAddrList;

  // The poll set, rebuilt before every poll; the arrays only grow.
  int32_t m_pollCount = 0;
  std::vector<zmq_pollitem_t> m_pollItems;
  std::vector<HXZASocket*> m_pollSockets;
  std::vector<HXZADataHandler*> m_pollHandlers;

  std::multimap<uint64_t, SimpleMessage> m_dueQueue;
  std::multimap<uint64_t, SimpleMessage> m_resolveQueue;
  std::multimap<uint64_t, CallbackMessage> m_jobQueue;

  std::unique_ptr<HXThreadPool> m_pool;
  std::atomic<HXDNSHandler*> m_dns{nullptr};
  HXEvent m_dnsCreated{false};
  std::atomic<int32_t> m_dnsUsers{0};  // forwarders between reading m_dns and leaving the client
  std::unique_ptr<HX_ProxyList> m_proxyList;
  std::atomic<HX_ProxyList*> m_proxyListView{nullptr};

  static std::atomic<uint32_t> s_connectTimeLimitMs;
};
