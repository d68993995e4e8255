#include "core/wire/client_caps.h"

#include <cstring>

#include "core/base/container.h"
#include "core/wire/little_endian.h"

namespace {

// Copies a stored format onto `format`; false when none is stored or it is too short to count.
bool LoadStored(const HX_BinBuff& stored, HX_MediaFormat& format) {
  return stored.Size() > 0 && format.Load(stored.Data(), stored.Size());
}

void StoreFormat(HX_BinBuff& stored, const HX_MediaFormat& format) {
  uint8_t bytes[HX_MediaFormat::kRecordSize];
  format.Store(bytes);
  stored.Set(bytes, sizeof bytes);
}

uint16_t AudioEntry(const HX_BinBuff& list, size_t i) {
  return hx::wire::LoadLe16(list.Data() + 2 * i);
}
uint32_t VideoEntry(const HX_BinBuff& list, size_t i) {
  return hx::wire::LoadLe32(list.Data() + 4 * i);
}

bool HasAudio(const HX_BinBuff& list, uint16_t tag) {
  for (size_t i = 0; i < list.Size() / 2; ++i) {
    if (AudioEntry(list, i) == tag) return true;
  }
  return false;
}

// A tag wider than 16 bits is in no audio list.
bool HasAudioTag(const HX_BinBuff& list, uint32_t tag) {
  return tag <= 0xFFFF && HasAudio(list, static_cast<uint16_t>(tag));
}

bool HasVideo(const HX_BinBuff& list, uint32_t code) {
  for (size_t i = 0; i < list.Size() / 4; ++i) {
    if (VideoEntry(list, i) == code) return true;
  }
  return false;
}

void ReadInt(const HX_Container& container, const char* key, int32_t& field) {
  int32_t value = 0;
  size_t size = sizeof value;
  if (container.GetValue(key, HX_CNT_INTEGER_VT, &value, size)) field = value;
}

void ReadBinary(const HX_Container& container, const char* key, HX_BinBuff& field) {
  size_t size = 0;
  const void* value = container.GetValueRef(key, HX_CNT_BINARY_VT, size);
  if (value == nullptr || size == 0 || !field.Set(value, size)) field.Empty();
}

}  // namespace

HX_ClientCaps::HX_ClientCaps() {
  Reset();
  m_intCaps = kIntCapsFixedRcv;
}

void HX_ClientCaps::Reset() {
  m_intCaps = 0;
  m_streamsDirCon = 0;
  m_bandwidthRcv = 128;
  m_videoRcv = m_videoSnd = m_audioRcv = m_audioSnd = 1;
  m_rating = m_level = m_levelGroup = 0;
  m_screenWidth = m_screenHeight = 0;
  m_clientType = 0;
  m_appName.clear();
  m_appVersion.clear();
  m_mediaFormat.Empty();
  m_mediaFormatRcv.Empty();
  m_audioCodecs.Empty();
  m_videoCodecs.Empty();
  m_clientFlags = 13;
}

void HX_ClientCaps::Set(const void* data, size_t length) {
  Reset();
  if (data == nullptr || length == 0) return;
  HX_Container container;
  if (!container.Deserialize(data, length)) return;
  ReadInt(container, HXCC_INTCAPS, m_intCaps);
  ReadInt(container, HXCC_STREAMS_DIRCON, m_streamsDirCon);
  ReadInt(container, HXCC_BANDW_RCV, m_bandwidthRcv);
  ReadInt(container, HXCC_VIDEO_RCV, m_videoRcv);
  ReadInt(container, HXCC_VIDEO_SND, m_videoSnd);
  ReadInt(container, HXCC_AUDIO_RCV, m_audioRcv);
  ReadInt(container, HXCC_AUDIO_SND, m_audioSnd);
  ReadInt(container, HXCC_RATING, m_rating);
  ReadInt(container, HXCC_LEVEL, m_level);
  ReadInt(container, HXCC_LEVEL_GROUP, m_levelGroup);
  ReadInt(container, HXCC_SCREEN_WIDTH, m_screenWidth);
  ReadInt(container, HXCC_SCREEN_HEIGHT, m_screenHeight);
  ReadInt(container, HXCC_CLIENTTYPE, m_clientType);
  container.GetValue(HXCC_APPNAME, m_appName);
  container.GetValue(HXCC_APPVERSION, m_appVersion);
  ReadBinary(container, HXCC_MEDIAFORMAT, m_mediaFormat);
  ReadBinary(container, HXCC_MEDIAFORMATRCV, m_mediaFormatRcv);
  ReadBinary(container, HXCC_AUDIO_CODECS, m_audioCodecs);
  ReadBinary(container, HXCC_VIDEO_CODECS, m_videoCodecs);
  int32_t flags = static_cast<int32_t>(m_clientFlags);
  ReadInt(container, HXCC_CLIENT_FLAGS, flags);
  m_clientFlags = static_cast<uint32_t>(flags);
}

bool HX_ClientCaps::Get(uint8_t*& buffer, size_t& length) const {
  HX_Container c;
  auto binary = [&c](const char* key, const HX_BinBuff& value) {
    return value.Size() == 0 || c.AddValue(key, HX_CNT_BINARY_VT, value.Data(), value.Size());
  };
  const bool built =
      c.AddValue(HXCC_INTCAPS, m_intCaps) && c.AddValue(HXCC_STREAMS_DIRCON, m_streamsDirCon) &&
      c.AddValue(HXCC_VIDEO_RCV, m_videoRcv) && c.AddValue(HXCC_VIDEO_SND, m_videoSnd) &&
      c.AddValue(HXCC_AUDIO_RCV, m_audioRcv) && c.AddValue(HXCC_AUDIO_SND, m_audioSnd) &&
      c.AddValue(HXCC_RATING, m_rating) && c.AddValue(HXCC_LEVEL, m_level) &&
      c.AddValue(HXCC_LEVEL_GROUP, m_levelGroup) &&
      (m_screenWidth == 0 || c.AddValue(HXCC_SCREEN_WIDTH, m_screenWidth)) &&
      (m_screenHeight == 0 || c.AddValue(HXCC_SCREEN_HEIGHT, m_screenHeight)) &&
      c.AddValue(HXCC_CLIENTTYPE, m_clientType) && c.AddValue(HXCC_APPNAME, m_appName.c_str()) &&
      c.AddValue(HXCC_APPVERSION, m_appVersion.c_str()) &&
      c.AddValue(HXCC_CLIENT_FLAGS, static_cast<int32_t>(m_clientFlags)) &&
      binary(HXCC_MEDIAFORMAT, m_mediaFormat) && binary(HXCC_MEDIAFORMATRCV, m_mediaFormatRcv) &&
      c.AddValue(HXCC_BANDW_RCV, m_bandwidthRcv) && binary(HXCC_AUDIO_CODECS, m_audioCodecs) &&
      binary(HXCC_VIDEO_CODECS, m_videoCodecs);
  buffer = nullptr;
  length = 0;
  return built && c.SerializeAlloc(buffer, length);
}

void HX_ClientCaps::GetMediaFormat(HX_MediaFormat& format) const {
  if (!LoadStored(m_mediaFormat, format)) format = HX_MediaFormat();
}

void HX_ClientCaps::GetMediaFormatRcv(HX_MediaFormat& format) const {
  if (!LoadStored(m_mediaFormatRcv, format)) format = HX_MediaFormat();
}

void HX_ClientCaps::SetMediaFormat(const HX_MediaFormat& format) {
  StoreFormat(m_mediaFormat, format);
}

void HX_ClientCaps::SetMediaFormatRcv(const HX_MediaFormat& format) {
  StoreFormat(m_mediaFormatRcv, format);
}

// Only a stored value that reads as a format counts: a peer's short or garbage "MdFmtRcv" must not
// switch the automatic choice off.
bool HX_ClientCaps::IsFixedRcvMediaFormat() const {
  HX_MediaFormat format;
  return LoadStored(m_mediaFormatRcv, format);
}

bool HX_ClientCaps::IsFixedRcvMediaFormat(const HX_ClientCaps& peer) const {
  return (m_intCaps & kIntCapsFixedRcv) != 0 && peer.IsFixedRcvMediaFormat();
}

bool HX_ClientCaps::FindAudioCodec(uint16_t tag) const { return HasAudio(m_audioCodecs, tag); }

bool HX_ClientCaps::FindVideoCodec(uint32_t code) const { return HasVideo(m_videoCodecs, code); }

uint16_t HX_ClientCaps::FindInAudioCodecs(const HX_BinBuff& other) const {
  for (size_t i = 0; i < m_audioCodecs.Size() / 2; ++i) {
    if (HasAudio(other, AudioEntry(m_audioCodecs, i))) return AudioEntry(m_audioCodecs, i);
  }
  return 0;
}

uint32_t HX_ClientCaps::FindInVideoCodecs(const HX_BinBuff& other) const {
  for (size_t i = 0; i < m_videoCodecs.Size() / 4; ++i) {
    if (HasVideo(other, VideoEntry(m_videoCodecs, i))) return VideoEntry(m_videoCodecs, i);
  }
  return 0;
}

size_t HX_ClientCaps::GetAudioCodecs(uint16_t* destination, size_t& count) const {
  const size_t entries = m_audioCodecs.Size() / 2;
  if (destination != nullptr && count >= entries) {
    for (size_t i = 0; i < entries; ++i) destination[i] = AudioEntry(m_audioCodecs, i);
  }
  count = entries;
  return entries;
}

size_t HX_ClientCaps::GetVideoCodecs(uint32_t* destination, size_t& count) const {
  const size_t entries = m_videoCodecs.Size() / 4;
  if (destination != nullptr && count >= entries) {
    for (size_t i = 0; i < entries; ++i) destination[i] = VideoEntry(m_videoCodecs, i);
  }
  count = entries;
  return entries;
}

void HX_ClientCaps::SetAudioCodecs(const uint16_t* tags, size_t count) {
  if (tags == nullptr || count == 0) {
    m_audioCodecs.Empty();
    return;
  }
  m_audioCodecs.SetSize(2 * count);
  for (size_t i = 0; i < count; ++i) hx::wire::StoreLe16(m_audioCodecs.Data() + 2 * i, tags[i]);
}

void HX_ClientCaps::SetVideoCodecs(const uint32_t* codes, size_t count) {
  if (codes == nullptr || count == 0) {
    m_videoCodecs.Empty();
    return;
  }
  m_videoCodecs.SetSize(4 * count);
  for (size_t i = 0; i < count; ++i) hx::wire::StoreLe32(m_videoCodecs.Data() + 4 * i, codes[i]);
}

HX_MediaFormat HX_ClientCaps::GetFmtFromToMe(const HX_ClientCaps& peer) const {
  HX_MediaFormat p;
  HX_MediaFormat m;
  HX_MediaFormat r;
  peer.GetMediaFormat(p);
  GetMediaFormat(m);
  GetMediaFormatRcv(r);
  const bool fixed = (peer.m_intCaps & kIntCapsFixedRcv) != 0 && IsFixedRcvMediaFormat();

  HX_MediaFormat result;
  result.Clear();

  const int32_t peer_audio = peer.m_audioSnd;
  if (p.audioCodec != 0 && p.sampleRate >= 8000 && p.sampleRate <= 48000 &&
      p.audioBufferSize != 0 && peer_audio != 0 && m_audioRcv != 0) {
    const bool peer_any = (peer_audio & kTakesAny) != 0;
    uint32_t rate = 0;
    uint32_t tag = 0;
    if (fixed || (m_audioRcv & kTakesAny) == 0) {
      const HX_MediaFormat& own = fixed ? r : m;
      rate = !peer_any && own.sampleRate != p.sampleRate ? 0 : own.sampleRate;
      if (peer_any && HasAudioTag(peer.m_audioCodecs, own.audioCodec)) {
        tag = own.audioCodec;
      } else {
        tag = own.audioCodec == p.audioCodec ? own.audioCodec : 0;
      }
    } else {
      rate = p.sampleRate;
      if (HasAudioTag(m_audioCodecs, p.audioCodec)) {
        tag = p.audioCodec;
      } else if (peer_any) {
        tag = HasAudioTag(peer.m_audioCodecs, m.audioCodec) ? m.audioCodec
                                                            : peer.FindInAudioCodecs(m_audioCodecs);
      }
    }
    result.SetAudio(rate, tag, HX_MediaFormat::kDefaultDuration);
    if (fixed && (peer_audio & kListDecides) != 0) {
      result.audioBufferSize = r.audioBufferSize;
    } else if ((m_audioRcv & kListDecides) != 0) {
      result.audioBufferSize = p.audioBufferSize;
    } else if ((peer_audio & kListDecides) == 0 && result.audioBufferSize != p.audioBufferSize) {
      result.audioBufferSize = 0;
    }
  }

  const int32_t peer_video = peer.m_videoSnd;
  auto size_ok = [](uint32_t v) { return v >= 16 && v <= 131072 && v % 8 == 0; };
  if (p.videoCodec != 0 && size_ok(p.height) && size_ok(p.width) && peer_video != 0 &&
      m_videoRcv != 0) {
    const bool peer_any = (peer_video & kTakesAny) != 0;
    const bool peer_list = (peer_video & kListDecides) != 0;
    if (fixed) {
      const bool same = r.width == p.width && r.height == p.height;
      result.width = !peer_any && !same ? 0 : r.width;
      result.height = !peer_any && !same ? 0 : r.height;
      result.videoCodec =
          (peer_list && peer.FindVideoCodec(r.videoCodec)) || r.videoCodec == p.videoCodec
              ? r.videoCodec
              : 0;
      result.frameRate = r.frameRate;
      result.stereo = r.stereo;
    } else {
      if ((m_videoRcv & kTakesAny) != 0) {
        result.width = p.width;
        result.height = p.height;
      } else if (peer_any || (m.width == p.width && m.height == p.height)) {
        result.width = m.width;
        result.height = m.height;
      }
      if ((m_videoRcv & kListDecides) == 0) {
        result.videoCodec =
            (peer_list && peer.FindVideoCodec(m.videoCodec)) || m.videoCodec == p.videoCodec
                ? m.videoCodec
                : 0;
      } else if (FindVideoCodec(p.videoCodec)) {
        result.videoCodec = p.videoCodec;
      } else if (peer_list) {
        result.videoCodec = peer.FindVideoCodec(m.videoCodec)
                                ? m.videoCodec
                                : peer.FindInVideoCodecs(m_videoCodecs);
      }
      result.frameRate = p.frameRate;
      result.stereo = (m_videoRcv & kStereoVideo) != 0 ? p.stereo : 0;
    }
  }
  return result;
}
