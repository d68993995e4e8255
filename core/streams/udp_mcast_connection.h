#pragma once
// The regular connections of a stream relayed through the server's multicast relay. Each takes
// over the socket its trial prepared (HXZServer::inheritNative) and keeps the UDP key of its
// relay target.
//
// HX_MediaConnectionUDPSocket (base of both): `start` lets the socket's events in; a socket
// error is a break (the handler is told, the connection recycles itself); connRecycle closes the
// socket and deletes socket and connection on the loop, once however often it is called.
// HX_SenderConnectionUDPMulticast sends the handler's datagrams on the connected socket, drops
// whatever arrives, calls the handler when writable and resumes its pacing on timer 0.
// HX_ReceiverConnectionUDPMulticast reads one datagram per readable notification into its
// 65536-byte buffer, checks the multicast head and the key (udp_multicast_head.h) and hands the
// payload to its sink; a datagram that fails a check is dropped without a word.
//
// Threads: socket events on the loop thread; sendData, setSendState and startConnTimer under the
// owning stream's lock on any thread; connRecycle from any thread.

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/streams/udp_mcast_socket.h"
#include "core/streams/udp_send_connection.h"

class HX_NhpDataSink;
class HX_SenderUDPBase;

class HX_MediaConnectionUDPSocket : public HX_UdpSendConnection, protected HX_UdpMcastSocketOwner {
 public:
  HX_MediaConnectionUDPSocket(HX_MediaStreamNetHandler* handler, HX_UdpMcastSocket* socket,
                              uint32_t udpKey);
  ~HX_MediaConnectionUDPSocket() override;

  void start() override;
  size_t sendData(const uint8_t* data, size_t size) override;
  // Asked once, then cached; a failed question counts as 0.
  uint64_t getSendBufferSize() override;
  uint32_t udpKey() const override { return m_udpKey; }
  void setSendState(bool on) override;
  void startConnTimer(uint32_t id, uint64_t ms) override;
  void connRecycle() override;
  // An address change always means a new connection to the relay.
  bool isReconnectRequired(const HXIfIpAddrContainer&, const HXSockAddr&) override { return true; }

  HX_UdpMcastSocket* socket() const { return m_socket; }

 protected:
  void onSocketError(HX_UdpMcastSocket* socket) override;
  int32_t onSocketScenarioDone(HX_UdpMcastSocket*, bool ok) override { return ok ? 2 : 1; }

 private:
  void startOnLoop();
  void recycleOnLoop();

  HX_UdpMcastSocket* m_socket;
  const uint32_t m_udpKey;
  std::atomic<int64_t> m_sendBuffer{-1};
  std::atomic<bool> m_recycled{false};
};

class HX_SenderConnectionUDPMulticast : public HX_MediaConnectionUDPSocket {
 public:
  static constexpr size_t kDiscardSize = 500;

  HX_SenderConnectionUDPMulticast(HX_SenderUDPBase* handler, HX_UdpMcastSocket* socket,
                                  uint32_t udpKey);

 protected:
  void onSocketReadable(HX_UdpMcastSocket* socket) override;
  void onSocketWritable(HX_UdpMcastSocket* socket) override;
  void onSocketTimer(HX_UdpMcastSocket* socket, unsigned id) override;

 private:
  HX_SenderUDPBase* const m_sender;
};

class HX_ReceiverConnectionUDPMulticast : public HX_MediaConnectionUDPSocket {
 public:
  static constexpr size_t kDatagramSize = 65536;

  HX_ReceiverConnectionUDPMulticast(HX_MediaStreamNetHandler* handler, HX_NhpDataSink* sink,
                                    HX_UdpMcastSocket* socket, uint32_t udpKey);

 protected:
  void onSocketReadable(HX_UdpMcastSocket* socket) override;
  void onSocketWritable(HX_UdpMcastSocket* socket) override;
  void onSocketTimer(HX_UdpMcastSocket*, unsigned) override {}

 private:
  // The checks and the hand-over of one datagram read into the buffer.
  void onDatagram(size_t size);

  HX_NhpDataSink* const m_sink;
  std::vector<uint8_t> m_buffer;
};
