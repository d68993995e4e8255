#pragma once
// The trial connections of a stream relayed through the server's multicast relay. The handshake
// manager builds one on a new UDP socket, hands it the target (connectPeer) and starts it; the
// trial prepares the socket and reports to the manager once. On success the stream's handler
// moves the socket into a regular multicast connection (udp_mcast_connection.h).
//
//   sender:   bind to the local interface, then tune: type of service 48, a send buffer of at
//             least 32768 bytes, multicast time-to-live 5, connect to the group, multicast
//             interface = the local interface.
//   receiver: a socket of the group's family with address reuse, bound to the group address;
//             then join the group on the local interface and give the receive buffer at least
//             32768 bytes.
// A socket that cannot be made, bound, tuned, joined or connected ends the trial as failed.
//
// Threads: start and connRecycle come from the manager's jobs; the scenario steps and the report
// run on the network loop thread. The trial is destroyed on the loop thread after connRecycle.

#include <atomic>
#include <cstdint>
#include <string>

#include "core/net/address/if_ip_entry.h"
#include "core/net/address/sock_addr.h"
#include "core/net/loop/socket_actions.h"
#include "core/streams/media_stream_connection.h"
#include "core/streams/udp_mcast_socket.h"

class HX_MediaConnectionTrialUDPMcast : public HX_MediaStreamTrialConnection,
                                        protected HX_UdpMcastSocketOwner {
 public:
  struct ConnectTarget {
    HXSockAddr group;      // group address and port
    HXIpIfListItem local;  // the interface to send or join on
    uint32_t udpKey = 0;   // the key of the relay target
    // "Mcast <group> local <interface address>".
    std::string str() const;
  };

  // Below this a socket buffer is raised to it.
  static constexpr int64_t kMinimumBuffer = 32768;

  // Takes `socket`, a new socket of the loop (HXZServer::implantNative, no descriptor yet).
  HX_MediaConnectionTrialUDPMcast(HX_MediaStreamNetHandler* handler, HX_UdpMcastSocket* socket);
  ~HX_MediaConnectionTrialUDPMcast() override;

  // Keeps the target for the socket's steps; always true.
  bool connectPeer(const ConnectTarget& target);
  const ConnectTarget& target() const { return m_target; }
  // The prepared socket, for the regular connection to take over; null once recycled.
  HX_UdpMcastSocket* socket() const { return m_socket; }

  void connRecycle() override;
  void setSendState(bool on) override;
  void startConnTimer(uint32_t id, uint64_t ms) override;

 protected:
  // Raises a socket buffer of 1 to 32767 bytes to 32768 (the system reads sizes back doubled).
  static void applyBufferRule(HX_UdpMcastSocket* socket, int getFunction, int setFunction);
  // A test hook: the socket has its descriptor and its steps are about to run.
  virtual void prepareSocket(HX_UdpMcastSocket* socket) { (void)socket; }
  // Stops the socket's events and tells the manager, once.
  void finish(bool ok);

  void onSocketReadable(HX_UdpMcastSocket* socket) override;
  void onSocketWritable(HX_UdpMcastSocket* socket) override;
  void onSocketError(HX_UdpMcastSocket* socket) override;
  void onSocketTimer(HX_UdpMcastSocket* socket, unsigned id) override;

  HX_UdpMcastSocket* m_socket;
  ConnectTarget m_target;
  HXZSocketBindAction m_bind;

 private:
  void recycleOnLoop();

  std::atomic<bool> m_finished{false};
  std::atomic<bool> m_recycled{false};
};

class HX_SenderConnectionTrialUDPMcast : public HX_MediaConnectionTrialUDPMcast {
 public:
  HX_SenderConnectionTrialUDPMcast(HX_MediaStreamNetHandler* handler, HX_UdpMcastSocket* socket);
  // Binds to the local interface and tunes the socket for sending to the group.
  bool start() override;

 protected:
  int32_t onSocketScenarioDone(HX_UdpMcastSocket* socket, bool ok) override;

 private:
  // The tuning step, run on the loop once the bind is done.
  class SenderTuning : public HXSocketActionBase {
   public:
    explicit SenderTuning(HX_SenderConnectionTrialUDPMcast* trial) : m_trial(trial) {}
    int32_t startAction(HXZASocket* socket, HXZADataHandler* handler) override;

   private:
    HX_SenderConnectionTrialUDPMcast* const m_trial;
  };
  bool becomeMulticastSender();

  SenderTuning m_tuning{this};
};

class HX_ReceiverConnectionTrialUDPMcast : public HX_MediaConnectionTrialUDPMcast {
 public:
  HX_ReceiverConnectionTrialUDPMcast(HX_MediaStreamNetHandler* handler, HX_UdpMcastSocket* socket);
  // Binds a socket of the group's family to the group address; the join follows the bind.
  bool start() override;

 protected:
  int32_t onSocketScenarioDone(HX_UdpMcastSocket* socket, bool ok) override;
};
