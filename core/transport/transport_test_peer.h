#pragma once
// Lets tests and fuzz harnesses reach the transport's own packet manager, so that its readers
// and writer can be driven through a scripted socket while the dispatch acts on the transport.

#include "core/transport/transport.h"
#include "core/transport/transport_connection.h"
#include "core/transport/transport_packet_manager.h"

class HXZTransportTestPeer {
 public:
  static HXZTransport::HXTransportPacketManager& PacketManager(HXZTransport& transport) {
    return *transport.m_packetManager;
  }
  static HXZTransportConnection* Connection(HXZTransport& transport) {
    return transport.m_connection.load();
  }
  // Called at the entry of states 4 and 5 (null: none); set it while no transport works.
  static void SetStateEntryHook(void (*hook)(HXZTransport*, HXZTransport::State)) {
    HXZTransport::s_stateEntryHook = hook;
  }
};
