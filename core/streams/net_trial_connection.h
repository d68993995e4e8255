#pragma once
// The least of a media stream's connection that the handshake manager drives.
//
// HX_NetConnectionBase is a network connection of a media stream; HX_NetTrialConnection is one
// candidate connection (a connect or a listen towards one address) that a handshake manager
// starts, waits for and recycles. The real trial connections (TCP and UDP, direct or through the
// server) derive from it.
//
// Threads: `start` and `connRecycle` are called by the manager on its job threads; a trial reports
// its end through its listener from the network loop's thread.

#include <atomic>

#include "core/transport/net_stream_hm_holder.h"

class HX_NetConnectionBase : public HX_NetStreamHMHolder {
 public:
  ~HX_NetConnectionBase() override;
};

class HX_NetTrialConnection : public HX_NetConnectionBase {
 public:
  // How a trial reports its end (the handshake manager implements it).
  class ListenerCallback {
   public:
    virtual ~ListenerCallback();
    virtual void onTrialConnectDone(HX_NetTrialConnection* trial, bool success) = 0;
  };

  ~HX_NetTrialConnection() override;

  // Starts the trial's connect or listen; false when it cannot start.
  virtual bool start() = 0;
  // Ends and releases the trial. Its object is recycled by the media streams; the caller does
  // not refer to it afterwards.
  virtual void connRecycle() = 0;

  void setListener(ListenerCallback* listener) { m_listener.store(listener); }
  ListenerCallback* getListener() const { return m_listener.load(); }

 protected:
  // Tells the listener (when there is one) that the trial ended.
  void reportTrialDone(bool success);

 private:
  std::atomic<ListenerCallback*> m_listener{nullptr};
};
