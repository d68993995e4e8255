#pragma once
// HX_SenderStreamCtl: a conference's hold on its send stream. It owns the one send stream, the
// two media filters that decide what the stream may send (the role filter, set by the
// conference's role logic and the podium, and the listeners filter the server sends) and the
// conference's UDP trial list. The effective filter is send filter AND listeners filter; 0x100 is
// audio, 0x200 video. Every change of the effective filter drives the podium clock and switches
// the sender's capture for the bits that changed.
//
// Every operation expects the conference lock held, except Sender(); DisconnectSender releases it
// around the stream's shutdown.

#include <cstdint>
#include <memory>

#include "core/client/capabilities.h"

class ConferenceLock;
class HX_MeetingToolsFactory;
class HX_SenderBase;

namespace hx::streams {
class UdpTrialDirectStreamList;
}

class HX_SenderStreamCtl {
 public:
  static constexpr uint64_t kAudio = 0x100;
  static constexpr uint64_t kVideo = 0x200;

  HX_SenderStreamCtl();
  virtual ~HX_SenderStreamCtl();

  // Sets both capture switches of the sender from the effective filter (video, then audio).
  virtual void onSenderStart();
  virtual void onSenderStop() = 0;
  // The send stream's shutdown has completed (called under the conference lock). The conference
  // decides what follows; the control itself keeps nothing.
  virtual void onSenderShuttedDown() {}
  // Told whether anything may be sent after every change of the effective filter.
  virtual bool calculatePodiumTime(bool onPodium) = 0;

  // Read and replaced atomically: receive streams read it from the network loop without the
  // conference lock.
  std::shared_ptr<HX_SenderBase> Sender() const { return std::atomic_load(&m_sender); }
  // Makes `sender` the conference's send stream (replacing an earlier one).
  void setSender(std::shared_ptr<HX_SenderBase> sender) {
    std::atomic_store(&m_sender, std::move(sender));
  }
  std::shared_ptr<hx::streams::UdpTrialDirectStreamList> getUdpTrialList() const {
    return m_udpTrialList;
  }
  void setUdpTrialList(std::shared_ptr<hx::streams::UdpTrialDirectStreamList> list) {
    m_udpTrialList = std::move(list);
  }

  bool SetMyCaps(const HXCapabilites& caps);
  const HXCapabilites& getMyCaps() const { return *m_myCaps; }

  uint64_t getListenersFilter() const { return m_listenersFilter; }
  uint64_t getSendFilter() const { return m_sendFilter; }
  uint64_t getEffectiveFilter() const { return m_sendFilter & m_listenersFilter; }
  void setListenersFilter(uint64_t filter);
  void setRoleMediaFilter(uint64_t bits, bool on);
  // Drives the podium clock and switches the sender's capture for the bits that differ from `old`.
  void applyFilters(uint64_t old);

  // Connects the sender's request and notification signals to the meeting tools' operations (the
  // stop notice also to onSenderStop, after the tools) and makes it the conference's send stream.
  void initSender(std::shared_ptr<HX_SenderBase> sender, HX_MeetingToolsFactory* tools);
  // The sender's answer, 0 without a sender.
  int RequestKeyFrame();
  // False without a sender; otherwise the sender's measured send rate (kbit/s) in `out`.
  bool requestSenderBitrate(uint32_t& out) const;
  // True without a sender; otherwise shuts it down with the conference lock released.
  bool DisconnectSender(ConferenceLock& lock);

 private:
  std::shared_ptr<HX_SenderBase> m_sender;
  std::shared_ptr<hx::streams::UdpTrialDirectStreamList> m_udpTrialList;
  uint64_t m_listenersFilter = 0xF00;
  uint64_t m_sendFilter = 0xF00;
  std::unique_ptr<HXCapabilites> m_myCaps;
};
