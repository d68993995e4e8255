#pragma once
// HX_ConnectionUdpDirect: the shared list of direct UDP connections to one peer that the send and
// the receive stream of that peer use together, and hx::streams::MediaConnUdpDirectCallbacks,
// how it reaches the two media connections on it (udp_direct_media_connection.h).
//
// This is the least of the list that the media connections and the direct send handler call.
// The list itself (trial take-over, choice of the current connection, the connector's events)
// comes with the direct UDP connections; until then the bodies here stand in: nothing is sent,
// readiness and timers are not passed on, the send buffer reads 32768, and `stop` tells both media
// connections that their handlers are gone. Tests put a recording fake in its place.
//
// Threads: the media connections call it under the owning stream's lock; it calls them back on
// the network loop thread.

#include <cstddef>
#include <cstdint>

class ConferenceLock;
class HXLock;

namespace hx::streams {

// A media connection on the shared list.
class MediaConnUdpDirectCallbacks {
 public:
  virtual ~MediaConnUdpDirectCallbacks() = default;
  // Locks the owning stream's conference into `lock`; false without a conference.
  virtual bool getConferenceLock(ConferenceLock& lock) = 0;
  virtual HXLock& getStreamLock() = 0;
  // The last usable connection of the list is gone.
  virtual void onConnectionBreak() = 0;
  virtual void onConnectionEstablished() = 0;
  // The list released its connections (its stop): the media connection ends.
  virtual void onHandlersStopped() = 0;
  virtual void onTimerExpired(uint32_t type) = 0;
  virtual void onDataReceived(const uint8_t* data, size_t size) = 0;
  virtual bool onReadyToSend() = 0;
};

}  // namespace hx::streams

class HX_ConnectionUdpDirect {
 public:
  HX_ConnectionUdpDirect() = default;
  virtual ~HX_ConnectionUdpDirect() = default;
  HX_ConnectionUdpDirect(const HX_ConnectionUdpDirect&) = delete;
  HX_ConnectionUdpDirect& operator=(const HX_ConnectionUdpDirect&) = delete;

  void setReceiver(hx::streams::MediaConnUdpDirectCallbacks* receiver) { m_receiver = receiver; }
  void setSender(hx::streams::MediaConnUdpDirectCallbacks* sender) { m_sender = sender; }
  hx::streams::MediaConnUdpDirectCallbacks* receiver() const { return m_receiver; }
  hx::streams::MediaConnUdpDirectCallbacks* sender() const { return m_sender; }

  // One datagram to the current connection; the bytes the socket took.
  virtual size_t Send(const uint8_t* data, size_t size);
  // Asks for (or stops asking for) the current connection's send readiness.
  virtual bool setSendState(bool on);
  virtual bool startTimer(uint32_t type, uint64_t ms);
  // The current connection's send buffer; 32768 without one.
  virtual uint64_t getSndBufSize();
  // Whether any connection of the list is local to an IPv6 address.
  virtual bool hasIPv6();
  // Releases the list's connections; on success both media connections hear onHandlersStopped.
  virtual bool stop();

 protected:
  void notifyHandlersStopped();

 private:
  hx::streams::MediaConnUdpDirectCallbacks* m_receiver = nullptr;
  hx::streams::MediaConnUdpDirectCallbacks* m_sender = nullptr;
};
