// The client object's capabilities and media formats: its own capability record, the records it
// sends in conference requests, the peers' records it keeps, and the media handshake's hand-over
// to the media-format adapter.
#include <algorithm>

#include "core/client/best_media_format.h"
#include "core/client/console_client.h"
#include "core/client/network_rate.h"
#include "core/conference/conf_manager.h"
#include "core/media/format/media_format_adapter.h"
#include "core/wire/client_caps.h"

HXCapabilites HXConsoleClient::_GetCapabilites(HX_Conference* conference, bool group) {
  HXCapabilites caps = GetCapabilites(group);
  if (conference != nullptr && conference->isAudioOnly()) {
    caps.videoRcv = 0;
    caps.videoSnd = 0;
  } else if (m_mediaFormatAdapter) {
    const HX_MediaFormat current = m_mediaFormatAdapter->GetMediaFormat();
    caps.sndVideoCodec = current.videoCodec;
    caps.sndWidth = current.width;
    caps.sndHeight = current.height;
    caps.sndStereo = current.stereo;
    caps.sndHardwareCodec = current.hardwareCodec;
  }
  if (m_mediaFormatAdapter) {
    if (const uint32_t codec = m_mediaFormatAdapter->GetAudioCodec(); codec != 0) {
      caps.sndAudioCodec = codec;
    }
    if (const uint32_t rate = m_mediaFormatAdapter->GetAudioSamplerate(); rate != 0) {
      caps.sndSampleRate = rate;
    }
  }
  return caps;
}

HXCapabilites HXConsoleClient::GetCapabilites() {
  HX_ConfStorage* store = confStore();
  ConferenceLock lock;
  if (store == nullptr || !store->activeConferenceWLock(lock)) return HXCapabilites();
  HX_Conference* active = lock.conference();
  return _GetCapabilites(active, active->getType() != 0);
}

void HXConsoleClient::OnRequestMediaManagerAdapter(
    std::shared_ptr<HX_MediaFormatManagerAdapter>& adapter) {
  adapter = m_mediaFormatAdapter;
}

void HXConsoleClient::OnPrepareCaps(HX_Conference* conference, bool group, HX_ClientCaps& caps) {
  caps = _GetCapabilites(conference, group).MakeCaps();
  const char* name = GetAppName();
  const char* version = GetAppVersion();
  caps.m_appName = name != nullptr ? name : "";
  caps.m_appVersion = version != nullptr ? version : "";
  caps.m_clientType = GetClientType();
}

void HXConsoleClient::OnClientCapsReceived(const char* peer, const HX_ClientCaps& caps) {
  if (m_bestMediaFormat) m_bestMediaFormat->SetPeerMediaFormat(peer, caps);
}

void HXConsoleClient::OnRequestMeetingCaps(const char* first, const char* second,
                                           HX_ClientCaps& caps) {
  HX_ConfStorage* store = confStore();
  if (!m_bestMediaFormat || store == nullptr) return;
  caps = m_bestMediaFormat->GetMediaCaps(first, second, store->currConferenceType());
}

void HXConsoleClient::MediaHandshakeReady(HX_Conference_Type type, HX_GroupConf_SubType subType,
                                          const char* peer, const char* sid, const char*) {
  HX_ConfStorage* store = confStore();
  if (!m_bestMediaFormat || !m_mediaFormatAdapter || store == nullptr || m_fsm == nullptr) return;
  const std::string own = getLogin();
  HX_ClientCaps send = m_bestMediaFormat->GetMediaCaps(own.c_str(), peer, type);
  HX_ClientCaps receive = type != hx::conference::kPrivateCall
                              ? send
                              : m_bestMediaFormat->GetMediaCaps(peer, own.c_str(), type);
  m_mediaFormatAdapter->SetVideoCodecFactory(GetVideoCodecFactory());
  m_mediaFormatAdapter->SetConnection(&receive, &send, type == hx::conference::kPrivateCall);

  const size_t callRate = store->currConferenceType() == hx::conference::kPrivateCall
                              ? hx::network::kPrivateCallRate
                              : hx::network::kGroupConferenceRate;
  // The stored network type is whatever the platform set: an index outside the table has no rate.
  const hx::network::type network = m_fsm->GetNetworkType();
  const uint32_t networkSend =
      static_cast<size_t>(network) < hx::network::kRateCount
          ? hx::network::rate[network].send.load(std::memory_order_relaxed)
          : 0;
  m_mediaFormatAdapter->SetBitrateNetworkLimit(
      std::min(hx::network::rate[callRate].receive.load(std::memory_order_relaxed), networkSend));
  mediaHandshakeReady.Emit(type, subType, peer != nullptr ? peer : "", sid != nullptr ? sid : "",
                           send, receive);
}

bool HXConsoleClient::CheckVideoFormatChange() {
  if (!isConferencesExist(true) || !m_bestMediaFormat) return true;
  return m_bestMediaFormat->CheckVideoFormatChange();
}

bool HXConsoleClient::GetVideoFormatChange(bool evenInGroup) {
  HX_ConfStorage* store = confStore();
  if (!m_bestMediaFormat) return false;
  const bool group = store != nullptr && store->currConferenceType() != 0;
  return m_bestMediaFormat->CheckVideoFormatChange(!evenInGroup && group);
}

bool HXConsoleClient::GetVideoFormatFixed() {
  HX_ConfStorage* store = confStore();
  if (!m_bestMediaFormat) return false;
  const bool group = store != nullptr && store->currConferenceType() != 0;
  return m_bestMediaFormat->CheckVideoFormatFixed(group);
}

void HXConsoleClient::OnUpdateMediaFormat() {
  if (m_mediaFormatAdapter) m_mediaFormatAdapter->SetForceUpdate();
}
