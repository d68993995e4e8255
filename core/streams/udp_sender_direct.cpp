#include "core/streams/udp_sender_direct.h"

#include "core/streams/sender_base.h"
#include "core/streams/stream_command.h"
#include "core/streams/udp_direct_connection.h"
#include "core/streams/udp_stream_lock.h"

void HX_SenderUDPDirect::PingStream() {
  auto* stream = static_cast<HX_SenderBase*>(owner());
  if (stream == nullptr) return;
  HX_MiscCommand ping;
  ping.Ping();
  stream->AddCommand(ping, true);
}

void HX_SenderUDPDirect::setConnection(std::shared_ptr<HX_ConnectionUdpDirect> direct) {
  HX_UdpStreamLock lock(owner());
  m_direct = std::move(direct);
  setupQueues(0, 0, true);
  setupSending(false, m_direct && m_direct->hasIPv6() ? kIpv6Overhead : kIpv4Overhead);
}

std::shared_ptr<HX_ConnectionUdpDirect> HX_SenderUDPDirect::getConnection() const {
  HX_UdpStreamLock lock(owner());
  return m_direct;
}
