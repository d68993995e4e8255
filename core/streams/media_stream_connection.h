#pragma once
// The two kinds of connection a media stream's net handler works with, as interfaces; the UDP and
// TCP streams implement them.
//
// HX_MediaStreamTrialConnection is a candidate that a handshake manager starts and watches; once
// it succeeds, its net handler builds an HX_MediaStreamRegularConnection from it (taking over its
// socket) and the manager recycles the trial. The regular connection carries the stream's frames
// until it breaks or is closed. Both are released only through connRecycle, never deleted by
// their users, and both are watched by a handshake manager until they are destroyed.
//
// Threads: start and connRecycle come from the stream's jobs and the handshake manager; socket
// notifications (onReadySend, a break) come from the network loop. The connection's net handler
// is set before the connection is handed to anyone and not changed afterwards.

#include <cstdint>

#include "core/streams/net_trial_connection.h"

class HXIfIpAddrContainer;
class HXSockAddr;
class HX_MediaStreamNetHandler;

class HX_MediaStreamRegularConnection : public HX_NetConnectionBase {
 public:
  explicit HX_MediaStreamRegularConnection(HX_MediaStreamNetHandler* handler)
      : m_netHandler(handler) {}
  ~HX_MediaStreamRegularConnection() override;

  // Ends and releases the connection; the caller does not refer to it afterwards.
  virtual void connRecycle() = 0;
  // Starts delivering received frames to the net handler.
  virtual void start() = 0;
  virtual void setSendState(bool on) = 0;
  virtual void startConnTimer(uint32_t id, uint64_t ms) = 0;
  // Whether the interface change described by the addresses (and the local address the
  // connection is bound to) makes the connection unusable.
  virtual bool isReconnectRequired(const HXIfIpAddrContainer& addresses,
                                   const HXSockAddr& local) = 0;

  // The socket can take data again: tells the net handler.
  void onReadySend();
  HX_MediaStreamNetHandler* netHandler() const { return m_netHandler; }

 private:
  HX_MediaStreamNetHandler* const m_netHandler;
};

class HX_MediaStreamTrialConnection : public HX_NetTrialConnection {
 public:
  explicit HX_MediaStreamTrialConnection(HX_MediaStreamNetHandler* handler)
      : m_netHandler(handler) {}
  ~HX_MediaStreamTrialConnection() override;

  virtual void setSendState(bool on) = 0;
  virtual void startConnTimer(uint32_t id, uint64_t ms) = 0;

  HX_MediaStreamNetHandler* netHandler() const { return m_netHandler; }

 private:
  HX_MediaStreamNetHandler* const m_netHandler;
};
