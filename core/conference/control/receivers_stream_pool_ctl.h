#pragma once
// HX_ReceiversStreamPoolCtl: a conference's receive streams, one per peer id, with the start
// information of streams whose start had to wait for a busy stream, and the summed statistics of
// streams already removed (bytes received, jitter, lost packets and how many streams they cover).
//
// Every operation expects the conference lock held, except those marked "locked": they take the
// pool's own lock and may be called from stream threads and the platform layer. Stream shutdowns
// happen with the conference lock released.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/streams/conference_statistics.h"

class ConferenceLock;
class HX_MeetingToolsFactory;
class HX_ReceiverBase;

class HX_ReceiversStreamPoolCtl {
 public:
  // The start information of a receive stream.
  struct NextReceiverInfoHolder {
    NextReceiverInfoHolder() = default;
    NextReceiverInfoHolder(std::string network, std::string key, uint32_t fltr)
        : filter(fltr), networkId(std::move(network)), target(std::move(key)) {}
    uint32_t filter = 0;
    std::string networkId;
    std::string target;
  };

  HX_ReceiversStreamPoolCtl() = default;
  virtual ~HX_ReceiversStreamPoolCtl();
  virtual void scheduleCheckSavedReceiver(const std::string& peerId) = 0;
  // The peer's receive stream has completed its shutdown (called under the conference lock). The
  // conference decides what follows; the pool itself keeps nothing.
  virtual void onReceiverShuttedDown(const std::string& peerId) { (void)peerId; }

  // Locked.
  bool getReceiver(const std::string& peerId, std::shared_ptr<HX_ReceiverBase>& out) const;
  std::shared_ptr<HX_ReceiverBase> Receiver(const std::string& peerId) const;
  bool ReceiverIsValid(const std::string& peerId) const { return Receiver(peerId) != nullptr; }
  // Inserts unless the peer has a stream already; returns the stream now in the map.
  std::shared_ptr<HX_ReceiverBase> InsertReceiver(const std::string& peerId,
                                                  std::shared_ptr<HX_ReceiverBase> receiver);
  // 0 when absent or peerId is null.
  uint32_t GetFltrEnabled(const char* peerId) const;
  bool getRcvPoolStatistics(stream::TConferenceStatistics& out) const;
  // Every stream's rate of all tracks (kbit/s) by peer id; true.
  bool requestReceiversBitrate(std::map<std::string, unsigned>& rates) const;

  // Connects the thirteen request and notification signals of the peer's stream to the meeting
  // tools' operations; the tools are remembered for doneReceiver. False when the peer has no
  // stream.
  bool initReceiver(const std::string& peerId, HX_MeetingToolsFactory* tools);

  // Moves the stream to newId and gives the stream now under newId that peer as its sender id
  // (the receive side reads its peer through it); false when oldId has none or newId was taken
  // (the moved stream is then dropped).
  bool renameReceiver(const std::string& oldId, const std::string& newId);
  // Saves `info` when the stream is busy (false); otherwise drops a saved entry and applies the
  // filter (true).
  bool initReceiverCheck(const std::shared_ptr<HX_ReceiverBase>& receiver,
                         const std::string& peerId, const NextReceiverInfoHolder& info);
  bool getSavedReceiver(const std::string& peerId, NextReceiverInfoHolder& out);
  bool deferredReceiver(const std::string& peerId) const;
  // Shuts the peer's stream down (it stays for reuse); always true.
  bool DisconnectReceiver(const std::string& peerId, bool dropSaved);
  // Shuts every stream down with the conference lock released; the ones that went down leave the
  // pool. False when any stayed up.
  bool DisconnectReceivers(ConferenceLock& lock);
  // Disconnects the thirteen signals initReceiver connected, then adds the stream's statistics to
  // the finished totals and counts it.
  void doneReceiver(const std::shared_ptr<HX_ReceiverBase>& receiver);
  void collectStreamStat(const std::shared_ptr<HX_ReceiverBase>& receiver);
  void destroyReceivers();
  size_t getRunningReceiversCount() const;
  size_t receiverCount() const;

 private:
  mutable HXLock m_lock;
  // The meeting tools the streams were wired to (one per client).
  HX_MeetingToolsFactory* m_tools = nullptr;
  std::map<std::string, std::shared_ptr<HX_ReceiverBase>> m_receivers;
  std::map<std::string, NextReceiverInfoHolder> m_saved;
  uint32_t m_doneBytes = 0;
  uint32_t m_doneJitter = 0;
  uint32_t m_doneLost = 0;
  uint32_t m_doneCount = 0;
};
