#include "core/streams/udp_direct_connection.h"

#include "core/conference/model/conference.h"
#include "core/conference/store/conf_storage.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/udp_streams_supervisor.h"

namespace {

HX_UdpStreamsSupervisor* SupervisorOf(ConferenceLock& lock) {
  HX_ConfStorage* storage = lock ? lock->getStore() : nullptr;
  return storage != nullptr ? storage->getUdpStreams().get() : nullptr;
}

}  // namespace

HX_ConnectionUdpDirect::HX_ConnectionUdpDirect(ConferenceLock& lock)
    : UdpReglDirectStreamList(SupervisorOf(lock)) {}

bool HX_ConnectionUdpDirect::stop() {
  const bool stopped = stopHandlers();
  if (stopped) notifyHandlersStopped();
  return stopped;
}

void HX_ConnectionUdpDirect::notifyConnectionBreak() {
  if (Callbacks* receiver = m_receiver.load(std::memory_order_acquire)) {
    receiver->onConnectionBreak();
  }
  if (Callbacks* sender = m_sender.load(std::memory_order_acquire)) sender->onConnectionBreak();
}

void HX_ConnectionUdpDirect::notifyHandlersStopped() {
  if (Callbacks* receiver = m_receiver.load(std::memory_order_acquire)) {
    receiver->onHandlersStopped();
  }
  if (Callbacks* sender = m_sender.load(std::memory_order_acquire)) sender->onHandlersStopped();
}

void HX_ConnectionUdpDirect::notifyTimerExp(uint32_t type) {
  Callbacks* owner = (type >= kReceiverTimerBase ? m_receiver : m_sender)
                         .load(std::memory_order_acquire);
  if (owner != nullptr) owner->onTimerExpired(type);
}

void HX_ConnectionUdpDirect::notifyDataReceived(const uint8_t* data, size_t size) {
  if (Callbacks* receiver = m_receiver.load(std::memory_order_acquire)) {
    receiver->onDataReceived(data, size);
  }
}

bool HX_ConnectionUdpDirect::notifyOnReadyToSend() {
  Callbacks* sender = m_sender.load(std::memory_order_acquire);
  return sender != nullptr && sender->onReadyToSend();
}

bool HX_ConnectionUdpDirect::getConferenceLock(ConferenceLock& lock) {
  Callbacks* sender = m_sender.load(std::memory_order_acquire);
  return sender != nullptr && sender->getConferenceLock(lock);
}
