#pragma once
// HX_ListenerUDP: the UDP listener of the network listener. It is the UDP cross connector
// (udp_cross_connector.h) over its own listening sockets, one per local address
// (udp_listener_socket.h), all on the listener's port. A re-bind destroys the sockets whose
// address has gone and adds one on every new address through the connector; the listener is
// bound when the connector has reported the last of these operations.
//
// Threads: re-binds and queries may come from any thread; the socket list and the count of
// pending operations are guarded by the connector's table lock (getLock). The connector reports
// on the loop's thread.
//
// Lifetime: stopListener shuts the connector down. Its completion is reported to the owner by a
// network job of its own, after the connector's pass has returned, and the owner deletes the
// listener there (HX_NetListener::onListenerShutdownCompleted). An owner that goes away on the
// loop's thread before that calls detachAndDeleteLater: the job then deletes the listener itself.

#include <atomic>
#include <cstdint>
#include <vector>

#include "core/streams/bind_info_list.h"
#include "core/streams/listener_socket_holder.h"
#include "core/streams/udp_cross_connector.h"

class HX_ListenerUDP : public hx::streams::ListenerSocketHolder,
                       public hx::streams::UDPCrossConnector {
 public:
  // The port when the configured one is privileged (below 1024).
  static constexpr uint16_t kDefaultPort = 49152;

  HX_ListenerUDP(HX_NetListener* owner, uint16_t configuredPort);

  uint16_t port() const { return m_port; }
  // The id and bound address of every socket the connector has taken.
  hx::streams::BindInfoList getBindInfo();

  std::vector<HXSockAddr> getListenerBindings() override;
  Type getListenerType() const override { return kUdp; }
  // Shuts the connector down, once; later re-binds are refused.
  void stopListener() override;
  HXLock& getLock() override { return UDPCrossConnector::getLock(); }

  // Loop thread, after stopListener: no one is told of the shutdown's end any more, and the
  // listener deletes itself then.
  void detachAndDeleteLater() { detachOwner(); }

 protected:
  int reBindImpNL(const HXIpIfAddrSet& interfaces) override;
  void onSocketListEvent(bool added, uint32_t socketId, hx::streams::ListenerSocketUDP* socket,
                         bool ok) override;
  void onShutdownCcnCompleted() override;

 private:
  class ShutdownTask;

  const uint16_t m_port;
  std::atomic<bool> m_stopping{false};
  // Under the table lock. Sockets handed to the connector and not yet removed; a socket whose
  // add is still queued has id 0.
  std::vector<hx::streams::ListenerSocketUDP*> m_sockets;
  int m_pending = 0;
};
