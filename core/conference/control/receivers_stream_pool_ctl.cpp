#include "core/conference/control/receivers_stream_pool_ctl.h"

#include "core/client/meeting_tools.h"
#include "core/conference/store/conference_lock.h"
#include "core/streams/receiver_base.h"

HX_ReceiversStreamPoolCtl::~HX_ReceiversStreamPoolCtl() = default;

bool HX_ReceiversStreamPoolCtl::getReceiver(const std::string& peerId,
                                            std::shared_ptr<HX_ReceiverBase>& out) const {
  out = Receiver(peerId);
  return out != nullptr;
}

std::shared_ptr<HX_ReceiverBase> HX_ReceiversStreamPoolCtl::Receiver(
    const std::string& peerId) const {
  HXAutoLock guard(m_lock);
  const auto found = m_receivers.find(peerId);
  return found == m_receivers.end() ? nullptr : found->second;
}

std::shared_ptr<HX_ReceiverBase> HX_ReceiversStreamPoolCtl::InsertReceiver(
    const std::string& peerId, std::shared_ptr<HX_ReceiverBase> receiver) {
  HXAutoLock guard(m_lock);
  return m_receivers.emplace(peerId, std::move(receiver)).first->second;
}

uint32_t HX_ReceiversStreamPoolCtl::GetFltrEnabled(const char* peerId) const {
  if (peerId == nullptr) return 0;
  const auto receiver = Receiver(peerId);
  return receiver ? receiver->GetFltrEnabled() : 0;
}

bool HX_ReceiversStreamPoolCtl::getRcvPoolStatistics(stream::TConferenceStatistics& out) const {
  out.clear();
  HXAutoLock guard(m_lock);
  uint64_t jitter = m_doneJitter;
  uint32_t contributors = m_doneCount;
  out.lostPackets = m_doneLost;
  out.bytesRecv = m_doneBytes;
  for (const auto& [peer, receiver] : m_receivers) {
    stream::TConferenceStatistics block;
    if (!receiver || !receiver->getStreamConfStat(block)) continue;
    out.lostPackets += block.lostPackets;
    out.bytesRecv += block.bytesRecv;
    jitter += block.jitter;
    ++contributors;
  }
  out.jitter = static_cast<uint32_t>(contributors != 0 ? jitter / contributors : jitter);
  return true;
}

bool HX_ReceiversStreamPoolCtl::requestReceiversBitrate(
    std::map<std::string, unsigned>& rates) const {
  HXAutoLock guard(m_lock);
  for (const auto& [peer, receiver] : m_receivers) {
    if (receiver) rates[peer] = receiver->GetRcvBitrateInfo();
  }
  return true;
}

namespace {

// Connects (on) or disconnects the thirteen signals, in the order the conference wires them.
void WireReceiver(HX_ReceiverBase& r, HX_MeetingTools* tools, bool on) {
  auto wire = [tools, on](auto& signal, auto method) {
    if (on) {
      signal.Connect(tools, method);
    } else {
      signal.Disconnect(tools, method);
    }
  };
  wire(r.receiverStartedSignal, &HX_MeetingTools::OnReceiverStart);
  wire(r.receiverStoppedSignal, &HX_MeetingTools::OnReceiverStop);
  wire(r.receiveStatisticsSignal, &HX_MeetingTools::OnRecvStatisticsUpdate);
  wire(r.hardwareReleasedSignal, &HX_MeetingTools::OnReleaseHardwareReceiver);
  wire(r.requestAudioCodecFactorySignal, &HX_MeetingTools::OnRequestAudioCodecFactory);
  wire(r.requestAudioConnectorSignal, &HX_MeetingTools::OnRequestAudioConnector);
  wire(r.requestPlaybackSignal, &HX_MeetingTools::OnRequestAudioPlayback);
  wire(r.requestMeetingCapsSignal, &HX_MeetingTools::OnRequestMeetingCaps);
  wire(r.requestRendererSignal, &HX_MeetingTools::OnRequestVideoRender);
  wire(r.requestRecordProxySignal, &HX_MeetingTools::OnRequestRecordProxyReceiver);
  wire(r.requestVideoSyncSignal, &HX_MeetingTools::OnRequestVideoSync);
  wire(r.requestVideoDecoderSignal, &HX_MeetingTools::OnRequestVideoDecoder);
  wire(r.unavailableSignal, &HX_MeetingTools::OnStreamUnavailable);
}

}  // namespace

bool HX_ReceiversStreamPoolCtl::initReceiver(const std::string& peerId,
                                             HX_MeetingToolsFactory* tools) {
  const auto receiver = Receiver(peerId);
  if (!receiver) return false;
  m_tools = tools;
  if (tools != nullptr) WireReceiver(*receiver, tools, true);
  return true;
}

bool HX_ReceiversStreamPoolCtl::renameReceiver(const std::string& oldId, const std::string& newId) {
  HXAutoLock guard(m_lock);
  const auto found = m_receivers.find(oldId);
  if (found == m_receivers.end()) return false;
  std::shared_ptr<HX_ReceiverBase> moved = std::move(found->second);
  m_receivers.erase(found);
  const auto [at, inserted] = m_receivers.emplace(newId, std::move(moved));
  // A receive stream reads its peer through its sender id (its receiver id is the own login).
  if (at->second) at->second->setSenderId(newId);
  return inserted;
}

bool HX_ReceiversStreamPoolCtl::initReceiverCheck(const std::shared_ptr<HX_ReceiverBase>& receiver,
                                                  const std::string& peerId,
                                                  const NextReceiverInfoHolder& info) {
  if (!receiver) return false;
  if (receiver->getStateFlags() != 0) {
    m_saved[peerId] = info;
    return false;
  }
  m_saved.erase(peerId);
  receiver->SetFltrEnabled(info.filter);
  return true;
}

bool HX_ReceiversStreamPoolCtl::getSavedReceiver(const std::string& peerId,
                                                 NextReceiverInfoHolder& out) {
  const auto found = m_saved.find(peerId);
  if (found == m_saved.end()) return false;
  out = std::move(found->second);
  m_saved.erase(found);
  return true;
}

bool HX_ReceiversStreamPoolCtl::deferredReceiver(const std::string& peerId) const {
  return m_saved.count(peerId) != 0;
}

bool HX_ReceiversStreamPoolCtl::DisconnectReceiver(const std::string& peerId, bool dropSaved) {
  const auto receiver = Receiver(peerId);
  if (!receiver) return true;
  if (dropSaved) m_saved.erase(peerId);
  if (receiver->shutdownStream() && !dropSaved) scheduleCheckSavedReceiver(peerId);
  return true;
}

bool HX_ReceiversStreamPoolCtl::DisconnectReceivers(ConferenceLock& lock) {
  bool all = true;
  std::string next;
  bool first = true;
  for (;;) {
    // The map may change while the lock is released: find the next key again every time.
    std::string peer;
    std::shared_ptr<HX_ReceiverBase> receiver;
    {
      HXAutoLock guard(m_lock);
      const auto it = first ? m_receivers.begin() : m_receivers.upper_bound(next);
      if (it == m_receivers.end()) break;
      peer = it->first;
      receiver = it->second;
    }
    first = false;
    next = peer;
    if (!receiver) continue;
    lock.TempUnlock();
    const bool down = receiver->shutdownStream();
    lock.ReLock();
    if (!down) {
      all = false;
      continue;
    }
    doneReceiver(receiver);
    HXAutoLock guard(m_lock);
    const auto it = m_receivers.find(peer);
    if (it != m_receivers.end() && it->second == receiver) m_receivers.erase(it);
  }
  return all;
}

void HX_ReceiversStreamPoolCtl::doneReceiver(const std::shared_ptr<HX_ReceiverBase>& receiver) {
  if (receiver && m_tools != nullptr) WireReceiver(*receiver, m_tools, false);
  collectStreamStat(receiver);
}

void HX_ReceiversStreamPoolCtl::collectStreamStat(
    const std::shared_ptr<HX_ReceiverBase>& receiver) {
  stream::TConferenceStatistics block;
  if (!receiver || !receiver->getStreamConfStat(block)) return;
  m_doneBytes += block.bytesRecv;
  m_doneJitter += block.jitter;
  m_doneLost += block.lostPackets;
  ++m_doneCount;
}

void HX_ReceiversStreamPoolCtl::destroyReceivers() {
  HXAutoLock guard(m_lock);
  m_receivers.clear();
}

size_t HX_ReceiversStreamPoolCtl::getRunningReceiversCount() const {
  HXAutoLock guard(m_lock);
  size_t n = 0;
  for (const auto& [peer, receiver] : m_receivers)
    n += receiver && receiver->getStateFlags() != 0 ? 1 : 0;
  return n;
}

size_t HX_ReceiversStreamPoolCtl::receiverCount() const {
  HXAutoLock guard(m_lock);
  return m_receivers.size();
}
