#pragma once
// HX_NetStreamHMHolder: the part of a media stream connection that a handshake manager watches.
// A manager that closes a trial (or is asked to watch a stream) sets itself as the watching
// manager; the holder's destructor tells that manager the stream is going, so the manager knows
// when the last of its closed streams is gone.
//
// Threads: the watching manager is set and cleared under the manager's lock and read by the
// destructor on whatever thread destroys the stream.

#include <atomic>

class HXHandshakeManagerBase;

class HX_NetStreamHMHolder {
 public:
  HX_NetStreamHMHolder() = default;
  HX_NetStreamHMHolder(const HX_NetStreamHMHolder&) = delete;
  HX_NetStreamHMHolder& operator=(const HX_NetStreamHMHolder&) = delete;
  // Calls the watching manager's beforeStreamDestroyed when there is one.
  virtual ~HX_NetStreamHMHolder();

  HXHandshakeManagerBase* getWatchingHM() const { return m_watchingHM.load(); }
  void setWatchingHM(HXHandshakeManagerBase* manager) { m_watchingHM.store(manager); }

 private:
  std::atomic<HXHandshakeManagerBase*> m_watchingHM{nullptr};
};
