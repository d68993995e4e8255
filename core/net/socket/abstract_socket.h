#pragma once
// HXZASocket: every socket of the core. A socket is at once its own data handler and its own
// default callback object; it performs nothing itself but asks its helper, and it hands every
// event from the network loop to the top of its callback chain.
//
// A socket is created on any thread and registers itself with its helper. Its owner ends it with
// DeleteLater only; the loop deletes it on its own thread. Events reach it on the loop's thread.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/net/socket/socket_callbacks.h"
#include "core/net/socket/socket_data_handler.h"

class HXSockAddr;
struct HXZTLSContext;

class HXZASocket : public HXZADataHPHolder, public HXZASocketCallbacks {
 public:
  // A native socket over `handle` (-1 for none yet); its own callbacks are the chain top.
  HXZASocket(HXZASocketHelper* helper, int handle, int family, int type, int protocol);
  // A ZeroMQ socket with the given callbacks as chain top.
  HXZASocket(HXZASocketHelper* helper, HXZASocketCallbacks* callbacks, void* zmq_socket);
  // A ZeroMQ socket with its own callbacks as chain top.
  HXZASocket(HXZASocketHelper* helper, void* zmq_socket);
  // Adopts the connection of `other` (an accepted or half-processed one): its descriptor, its TLS
  // layer (pushed onto this chain) and its pending data, which is delivered first. `other` no
  // longer owns the descriptor.
  HXZASocket(HXZASocketHelper* helper, HXZADataHandler& other);
  // Closes a native descriptor that is still open.
  ~HXZASocket() override;

  virtual bool Connect(std::shared_ptr<HXZAEndpointHolder> endpoint) = 0;
  virtual bool Bind(std::shared_ptr<HXZAEndpointHolder> endpoint) = 0;
  virtual bool Close(bool silent) = 0;
  virtual size_t Send(const void* buffer, size_t length, int flags) = 0;
  virtual size_t SendTo(const void* buffer, size_t length, const HXSockAddr& to, int flags) = 0;
  virtual size_t Recv(void* buffer, size_t length, int flags) = 0;
  // Asks for (or withdraws) a ready-to-send event at every poll in which the descriptor is
  // writable; the request stays until withdrawn or until the socket is closed.
  virtual bool SendAsync(bool on);
  // The TLS context of an established TLS connection; none here.
  virtual HXZTLSContext* GetTlsContext();

  // Taken from a process-wide counter at construction; the first socket gets 1. Lets the loop
  // tell a deleted socket from a new one at the same address.
  uint32_t getSerial() const { return m_serial; }

  // Makes the socket inactive at once and asks the helper to delete it (on the loop's thread).
  void DeleteLater();

  // Entry points of the loop's events: each goes to the current chain top.
  int32_t OnReadyRecv();
  int32_t OnReadySend();
  void eventClose(HXZADataHandler* closed);
  void eventError();
  void eventTimer(unsigned id);

  // One-shot socket timers, run by the loop.
  bool startTimer(uint32_t id, uint32_t delay_ms);
  bool stopTimer(uint32_t id);

 private:
  static uint32_t NextSerial();
  void Register();

  uint32_t m_serial;
};
