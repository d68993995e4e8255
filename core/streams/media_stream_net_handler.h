#pragma once
// HX_MediaStreamNetHandler: what carries one media stream's packets over one transport (UDP
// through the server, UDP direct to the peer, or TCP). It holds the stream's established
// connection and gives the stream hooks around the hardware steps; the send and receive forms add
// what their stream asks of the transport. The UDP and TCP handlers implement them.
//
// The connection is not owned: it is released through its connRecycle. Every access to it takes
// the owning stream's lock (recursive), so the handler may be called with that lock held or not;
// the owner is set before the stream starts and not changed afterwards.

#include <cstddef>
#include <cstdint>
#include <string>

class HXIfIpAddrContainer;
class HXSockAddr;
class HX_MediaStreamBase;
class HX_MediaStreamRegularConnection;
class HX_MediaStreamTrialConnection;
struct HX_MediaFormat;
struct HX_MiscCommand;
struct HX_SendNhpVideoHeader;

class HX_MediaStreamNetHandler {
 public:
  HX_MediaStreamNetHandler() = default;
  virtual ~HX_MediaStreamNetHandler() = default;
  HX_MediaStreamNetHandler(const HX_MediaStreamNetHandler&) = delete;
  HX_MediaStreamNetHandler& operator=(const HX_MediaStreamNetHandler&) = delete;

  // Hooks around the stream's hardware steps; each false ends its chain.
  virtual bool afterAcquireHardware() { return true; }
  virtual bool afterReleaseHardware() { return true; }
  virtual bool beforeAcquireHardware() { return true; }
  virtual bool beforeReleaseHardware() { return true; }
  // The stream's connection is gone.
  virtual void onNetConnectionDone() {}
  // Prepares the transport (its cipher from `key`); false when the stream cannot start.
  virtual bool startConnection(const std::string& key) = 0;
  // The regular connection that takes over a successful trial; null when none can be made.
  virtual HX_MediaStreamRegularConnection* createRegularFromTrial(
      HX_MediaStreamTrialConnection* trial) {
    (void)trial;
    return nullptr;
  }
  // `connection` can take data again.
  virtual void onReadySend(HX_MediaStreamRegularConnection* connection) { (void)connection; }

  void setConnection(HX_MediaStreamRegularConnection* connection);
  HX_MediaStreamRegularConnection* connection() const;
  void setOwner(HX_MediaStreamBase* owner) { m_owner = owner; }
  HX_MediaStreamBase* owner() const { return m_owner; }

  // Recycles and forgets the held connection: true when there was one.
  bool closeConnection();
  // Holds (and returns) the regular connection built from `trial`.
  HX_MediaStreamRegularConnection* createStreamFromConnected(HX_MediaStreamTrialConnection* trial);
  // False without a connection, else the connection's answer.
  bool isReconnectRequired(const HXIfIpAddrContainer& addresses, const HXSockAddr& local);
  // Starts the held connection.
  void runConnection();
  // `connection` broke: when it is the held one, forgets it and tells the owner. True then.
  bool onConnectionBreak(HX_MediaStreamRegularConnection* connection);

 private:
  HX_MediaStreamRegularConnection* m_connection = nullptr;
  HX_MediaStreamBase* m_owner = nullptr;
};

// The send stream's transport.
class HX_SenderStreamNetHandler : public HX_MediaStreamNetHandler {
 public:
  virtual bool AddFrame(int track, size_t size, const void* data,
                        const HX_SendNhpVideoHeader* header, int priority) = 0;
  virtual bool checkConnectionAlive() = 0;
  // Milliseconds between pings of an idle connection, 0 for none.
  virtual uint32_t getPingPeriod() = 0;
  // (tick of the oldest queued video frame, tick since which the queue is blocked, frames queued)
  virtual void GetQueueVideoStatistics(uint32_t& oldest, uint64_t& since, int& count) = 0;
  virtual uint32_t GetVideoBandwidth(uint32_t uploadLimit) = 0;
  virtual bool ProcessControlBandCommand(const HX_MiscCommand& command) = 0;
  virtual void PingStream() = 0;
  virtual void setBitrateLimit(uint64_t limit) = 0;
};

// A receive stream's transport.
class HX_ReceiverStreamNetHandler : public HX_MediaStreamNetHandler {
 public:
  virtual void getRecvHandlerStatistics(int& jitter, int& lostPackets) = 0;
  virtual void onVideoChangeFormat(const HX_MediaFormat& format) = 0;
};
