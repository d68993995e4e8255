#include "core/client/capabilities.h"

HX_ClientCaps MakeCaps(const HXCapabilites& caps) {
  HX_ClientCaps made;
  made.m_level = static_cast<int32_t>(caps.level);
  made.SetResolutionLimit(static_cast<int32_t>(caps.screenWidthLimit), static_cast<int32_t>(caps.screenHeightLimit));
  std::vector<uint16_t> audio;
  for (uint32_t tag : caps.audioCodecs) audio.push_back(static_cast<uint16_t>(tag));
  if (!audio.empty()) made.SetAudioCodecs(audio.data(), audio.size());
  if (!caps.videoCodecs.empty()) made.SetVideoCodecs(caps.videoCodecs.data(), caps.videoCodecs.size());
  return made;
}

void HX_BestMediaFormat::SetPeerMediaFormat(const char* peer, const HX_ClientCaps& caps) {
  m_calls.Record("SetPeerMediaFormat", peer);
  if (peer == nullptr) return;
  std::lock_guard<std::mutex> lock(m_mutex);
  m_peers[peer] = caps;
}

void HX_BestMediaFormat::SetConfMediaFormat(const char* login, const char* owner, uint32_t svcMode) {
  m_calls.Record("SetConfMediaFormat", login, owner, svcMode);
}

std::optional<HX_ClientCaps> HX_BestMediaFormat::PeerMediaFormat(const std::string& peer) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  const auto found = m_peers.find(peer);
  if (found == m_peers.end()) return std::nullopt;
  return found->second;
}
