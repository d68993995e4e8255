#include "core/client/best_media_format.h"

#include <cstdlib>

namespace {

// "VideoRcv" bit 3: the peer takes a change of the video format during a call.
constexpr int32_t kVideoRcvFormatChange = 8;

std::string Id(const char* id) { return id != nullptr ? id : ""; }

// The participant's modes (and the private call) are negotiated with the peer.
bool Negotiated(int32_t mode) { return mode == 0 || mode == 3 || mode == 5; }

// `caps` as a peer would read it: serialised and read back.
void CopyThroughWire(const HX_ClientCaps& caps, HX_ClientCaps& out) {
  uint8_t* buffer = nullptr;
  size_t length = 0;
  if (caps.Get(buffer, length)) {
    out.Set(buffer, length);
  } else {
    out.Reset();
  }
  std::free(buffer);
}

}  // namespace

void HX_BestMediaFormat::SetConfMediaFormat(const char* own, const char* owner, uint32_t svcMode) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_own = Id(own);
  m_owner = Id(owner);
  m_svcMode = svcMode;
}

uint32_t HX_BestMediaFormat::SetPeerMediaFormat(const char* peer, const HX_ClientCaps& caps) {
  const std::string id = Id(peer);
  std::lock_guard<std::mutex> lock(m_mutex);
  if ((caps.m_videoRcv & kVideoRcvFormatChange) == 0) m_videoFormatChange = false;
  if (caps.IsFixedRcvMediaFormat()) m_videoFormatFixed = true;
  const auto found = m_peers.find(id);
  if (found == m_peers.end()) {
    HX_PeerHolder holder;
    holder.peerId = id;
    holder.caps = caps;
    m_peers.emplace(id, std::move(holder));
    return 0;
  }
  found->second.caps = caps;
  return found->second.caps.m_clientFlags;
}

void HX_BestMediaFormat::SetPeerMediaFormat(const HX_PeerHolder& holder) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_peers.emplace(holder.peerId, holder);
}

HX_PeerHolder HX_BestMediaFormat::GetPeerMediaFormat(const char* peer) {
  const std::string id = Id(peer);
  std::lock_guard<std::mutex> lock(m_mutex);
  return HolderNL(id);
}

HX_PeerHolder& HX_BestMediaFormat::HolderNL(const std::string& id) {
  const auto [at, inserted] = m_peers.try_emplace(id);
  if (inserted) at->second.peerId = id;
  return at->second;
}

int32_t HX_BestMediaFormat::Convert(HX_Conference_Type type, bool owner) {
  switch (type) {
    case 0:
      return 0;
    case 2:
    case 4:
    case 7:
      return owner ? 2 : 3;
    case 3:
      return owner ? -1 : 3;
    case 5:
      return 4;
    case 6:
      return owner ? 4 : 5;
    default:
      return -1;
  }
}

HX_MediaFormat HX_BestMediaFormat::OwnSendFormatNL(const HX_ClientCaps& own,
                                                   HX_Conference_Type type) const {
  HX_MediaFormat format;
  own.GetMediaFormat(format);
  format.svcMode = m_svcMode;
  if (type == hx::conference::kGroupConferenceMulticast) format.svcMode |= kMulticastSvcMark;
  return format;
}

HX_ClientCaps HX_BestMediaFormat::GetMediaCaps(const char* from, const char* to,
                                               HX_Conference_Type type) {
  const std::string a = Id(from);
  const std::string b = Id(to);
  std::lock_guard<std::mutex> lock(m_mutex);
  const int32_t mode = Convert(type, m_own == m_owner);
  const HX_ClientCaps sender = HolderNL(a).caps;
  const HX_ClientCaps receiver = HolderNL(b).caps;
  HX_ClientCaps result = sender;
  HX_MediaFormat format;
  if (a != m_own) {
    format = receiver.GetFmtFromToMe(sender);
  } else if (!Negotiated(mode)) {
    format = OwnSendFormatNL(sender, type);
  } else {
    format = receiver.GetFmtFromToMe(sender);
    format.svcMode = m_svcMode;
  }
  result.SetMediaFormat(format);
  return result;
}

HX_MediaFormat HX_BestMediaFormat::GetMediaFormat(const char* first, const char* second,
                                                  HX_Conference_Type type, HX_ClientCaps* out) {
  const std::string a = Id(first);
  const std::string b = Id(second);
  HX_MediaFormat format;
  HX_ClientCaps chosen;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const int32_t mode = Convert(type, a == m_owner);
    const HX_ClientCaps capsA = HolderNL(a).caps;
    const HX_ClientCaps capsB = HolderNL(b).caps;
    if (a != m_own) {
      format = capsA.GetFmtFromToMe(capsB);
      chosen = capsB;
    } else if (!Negotiated(mode)) {
      format = OwnSendFormatNL(capsA, type);
      chosen = capsA;
    } else {
      format = capsB.GetFmtFromToMe(capsA);
      format.svcMode = m_svcMode;
      chosen = capsA;
    }
  }
  if (out != nullptr) CopyThroughWire(chosen, *out);
  return format;
}

int HX_BestMediaFormat::CheckMediaFormat(const char* peer, const uint8_t* bitstream, bool check,
                                         int length) {
  const std::string id = Id(peer);
  HX_MediaFormat format;
  int result = 0;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto found = m_peers.find(id);
    if (found == m_peers.end()) return -1;
    HX_PeerHolder& holder = found->second;
    if (!check) return holder.value != 0 ? -6 : 0;
    holder.value = 1;
    holder.caps.GetMediaFormat(format);
    int width = static_cast<int>(format.width);
    int height = static_cast<int>(format.height);
    unsigned fourcc = format.videoCodec;
    int version = 0;
    result = ParseMediaFormat(bitstream, length, width, height, fourcc, version);
    if ((width & 1) != 0 || (height & 1) != 0) return -5;
    if (result == -2) {
      holder.value = 0;
      return 0;
    }
    if (result < 0) return result;
    // A peer's bitstream may announce any size; the delegates size buffers and decoders by it.
    if (!HX_PeerPictureSizeUsable(width, height)) return -5;
    format.width = static_cast<uint32_t>(width);
    format.height = static_cast<uint32_t>(height);
    format.videoCodec = fourcc;
    holder.value = 0;
  }
  // Outside the mutex, so that a delegate may ask the store again.
  formatDetected.Emit(id, format);
  return result;
}

bool HX_BestMediaFormat::CheckVideoFormatChange() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_videoFormatChange;
}

bool HX_BestMediaFormat::CheckVideoFormatChange(bool skip) const {
  return skip ? false : CheckVideoFormatChange();
}

bool HX_BestMediaFormat::CheckVideoFormatFixed(bool skip) const {
  if (skip) return false;
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_videoFormatFixed;
}

void HX_BestMediaFormat::ResetVideoFormatChange() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_videoFormatChange = true;
  m_videoFormatFixed = false;
}
