#include "core/streams/udp_direct_connection.h"

namespace {

// What a direct UDP socket buffer reads when no connection is current.
constexpr uint64_t kDefaultSendBuffer = 32768;

}  // namespace

size_t HX_ConnectionUdpDirect::Send(const uint8_t*, size_t) { return 0; }

bool HX_ConnectionUdpDirect::setSendState(bool) { return true; }

bool HX_ConnectionUdpDirect::startTimer(uint32_t, uint64_t) { return true; }

uint64_t HX_ConnectionUdpDirect::getSndBufSize() { return kDefaultSendBuffer; }

bool HX_ConnectionUdpDirect::hasIPv6() { return false; }

bool HX_ConnectionUdpDirect::stop() {
  notifyHandlersStopped();
  return true;
}

void HX_ConnectionUdpDirect::notifyHandlersStopped() {
  // Each may end (and unregister) itself on the call: read them one at a time.
  if (hx::streams::MediaConnUdpDirectCallbacks* receiver = m_receiver) {
    receiver->onHandlersStopped();
  }
  if (hx::streams::MediaConnUdpDirectCallbacks* sender = m_sender) sender->onHandlersStopped();
}
