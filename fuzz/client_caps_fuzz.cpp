// A capability container from a peer: fed to Set, serialised back, and used as the peer's side of
// the negotiation against a few fixed own capability sets.
#include <cstdint>
#include <cstdlib>

#include "core/wire/client_caps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HX_ClientCaps peer;
  peer.Set(data, size);
  uint8_t* buffer = nullptr;
  size_t length = 0;
  if (peer.Get(buffer, length)) {
    HX_ClientCaps again;
    again.Set(buffer, length);
    std::free(buffer);
  }
  HX_MediaFormat format;
  peer.GetMediaFormat(format);
  peer.GetMediaFormatRcv(format);
  size_t count = 0;
  peer.GetAudioCodecs(nullptr, count);
  peer.GetVideoCodecs(nullptr, count);

  const uint16_t audio[] = {0x7FF0, 28676, 6};
  const uint32_t video[] = {HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264};
  for (int32_t flags : {1, 2 | 4, 0x211 | 4}) {
    HX_ClientCaps me;
    me.m_audioRcv = flags;
    me.m_videoRcv = flags;
    me.SetAudioCodecs(audio, 3);
    me.SetVideoCodecs(video, 2);
    if (flags != 1) me.SetMediaFormatRcv(HX_MediaFormat());
    (void)me.GetFmtFromToMe(peer);
    (void)peer.GetFmtFromToMe(me);
  }
  return 0;
}
