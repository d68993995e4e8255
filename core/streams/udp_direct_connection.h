#pragma once
// HX_ConnectionUdpDirect: a conference's regular direct UDP list, shared by the sender's and the
// receiver's regular direct connections, which attach themselves through
// MediaConnUdpDirectCallbacks. Timer types below 256 belong to the sender, 256 and above to the
// receiver; both start their timers through the same list.
//
// Threads: as UdpReglDirectStreamList. The two media connections are set once, before they use
// the list, and must detach (set null) before they go; the pointers are atomic so that events
// on the loop's thread read them safely.

#include <atomic>
#include <memory>
#include <string>

#include "core/streams/udp_direct_regular_list.h"

class ConferenceLock;

namespace hx::streams {

// What a media connection of a regular direct UDP list hears from it.
class MediaConnUdpDirectCallbacks {
 public:
  virtual ~MediaConnUdpDirectCallbacks() = default;
  virtual bool getConferenceLock(ConferenceLock& lock) = 0;
  virtual void onConnectionBreak() = 0;
  virtual void onHandlersStopped() = 0;
  virtual void onTimerExpired(uint32_t type) = 0;
  virtual void onDataReceived(const uint8_t* data, size_t size) = 0;
  virtual bool onReadyToSend() = 0;
};

}  // namespace hx::streams

class HX_ConnectionUdpDirect : public hx::streams::UdpReglDirectStreamList {
 public:
  using Callbacks = hx::streams::MediaConnUdpDirectCallbacks;
  // The first receiver timer type.
  static constexpr uint32_t kReceiverTimerBase = 256;

  // A list over the UDP streams supervisor of the locked conference's store.
  explicit HX_ConnectionUdpDirect(ConferenceLock& lock);

  void setReceiver(Callbacks* receiver) { m_receiver.store(receiver, std::memory_order_release); }
  void setSender(Callbacks* sender) { m_sender.store(sender, std::memory_order_release); }
  Callbacks* receiver() const { return m_receiver.load(std::memory_order_acquire); }
  Callbacks* sender() const { return m_sender.load(std::memory_order_acquire); }

  bool createConnList(ConferenceLock& lock, const std::string& peerName) {
    return createRegularHandlers(lock, peerName);
  }
  // Releases the handlers; when that succeeds both media connections hear onHandlersStopped.
  virtual bool stop();

 protected:
  void notifyConnectionBreak() override;
  void notifyHandlersStopped() override;
  void notifyTimerExp(uint32_t type) override;
  void notifyDataReceived(const uint8_t* data, size_t size) override;
  bool notifyOnReadyToSend() override;
  bool getConferenceLock(ConferenceLock& lock) override;

 private:
  std::atomic<Callbacks*> m_receiver{nullptr};
  std::atomic<Callbacks*> m_sender{nullptr};
};
