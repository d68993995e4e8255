#pragma once
// The socket helper: the object that performs every operation of a socket. A socket never makes
// a system call itself; it asks its helper. Helpers form a chain: the native helper does the
// system calls and hands the asynchronous operations (registration, connect, bind, close,
// timers) to its parent, the network loop, which runs them on its own thread.
//
// Helpers are reference counted: every data handler that names a helper holds one reference, and
// the helper is deleted when its count falls below 1. A helper is therefore always made with new.
// The count is atomic; the operations themselves are as thread-safe as the concrete helper says.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

class HXSockAddr;
class HXZAEndpointHolder;
class HXZADataHandler;
class HXZASocket;

class HXZASocketHelper {
 public:
  HXZASocketHelper() = default;
  HXZASocketHelper(const HXZASocketHelper&) = delete;
  HXZASocketHelper& operator=(const HXZASocketHelper&) = delete;
  virtual ~HXZASocketHelper();

  HXZASocketHelper* addRef();
  // Returns the new count; the caller deletes the helper when it is below 1 (see release).
  int32_t removeRef();
  // Lowers the count of `helper` (when not null) and deletes it when the count falls below 1.
  static void release(HXZASocketHelper* helper);

  // Synchronous operations on the handler's descriptor. Byte counts are 0 when nothing moved.
  // A new handler over an accepted connection (the caller adopts it), or null.
  virtual std::unique_ptr<HXZADataHandler> AcceptImp(HXZADataHandler* listener) = 0;
  virtual size_t SendImp(const void* buffer, size_t length, int flags,
                         HXZADataHandler* handler) = 0;
  virtual size_t RecvImp(void* buffer, size_t length, int flags, HXZADataHandler* handler) = 0;
  virtual size_t RecvFromImp(void* buffer, size_t length, int flags, HXZADataHandler* handler,
                             HXSockAddr* from) = 0;
  virtual size_t SendToImp(const void* buffer, size_t length, const HXSockAddr& to, int flags,
                           HXZADataHandler* handler) = 0;
  virtual bool ConnectImp(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                          HXZADataHandler* handler) = 0;
  virtual bool BindImp(HXZAEndpointHolder* endpoint, HXZADataHandler* handler) = 0;
  virtual bool CloseImp(HXZADataHandler* handler) = 0;

  // Socket options by function code; the codes are listed with the native helper. Pointer
  // arguments (interface entries, group addresses) travel as intptr_t.
  virtual int64_t Ioctl_0(int func, HXZADataHandler* handler) = 0;
  virtual int64_t Ioctl_1(int func, HXZADataHandler* handler, intptr_t a) = 0;
  virtual int64_t Ioctl_2(int func, HXZADataHandler* handler, intptr_t a, intptr_t b) = 0;
  virtual int64_t Ioctl_3(int func, HXZADataHandler* handler, intptr_t a, intptr_t b,
                          intptr_t c) = 0;

  // Asynchronous operations: they only say whether the request was accepted; the outcome comes
  // later as a callback of the socket.
  virtual bool SetImp(HXZASocket* socket, HXZADataHandler* handler);
  virtual bool DeleteImp(HXZASocket* socket, HXZADataHandler* handler);
  virtual bool SendAsync(HXZASocket* socket, HXZADataHandler* handler, bool on) = 0;
  virtual bool ConnectAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                            HXZASocket* socket, HXZADataHandler* handler) = 0;
  virtual bool ReBindAsync(const std::shared_ptr<HXZAEndpointHolder>& endpoint,
                           HXZASocket* socket, HXZADataHandler* handler) = 0;
  virtual bool CloseAsync(HXZASocket* socket, HXZADataHandler* handler, bool silent) = 0;
  virtual bool StartTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id,
                             uint32_t delay_ms) = 0;
  virtual bool StopTimerImp(HXZASocket* socket, HXZADataHandler* handler, uint32_t id) = 0;

  // A handler like `handler` for a further descriptor. Helpers that cannot make one return
  // `handler` itself, so the caller owns the result only when it differs from `handler`.
  virtual HXZADataHandler* Clone(HXZADataHandler* handler) = 0;

 private:
  std::atomic<int32_t> m_refCount{0};
};
