#pragma once
// HX_ClientCaps: a client's capability set as it travels between clients inside conference
// messages (a serialised HX_Container). It holds numeric capability fields, the application's name
// and version, the preferred send format and an optional fixed receive format (raw
// HX_MediaFormat bytes), and the audio (16-bit tags) and video (32-bit codes) codec lists, both
// little-endian. GetFmtFromToMe negotiates, from the capabilities of both ends, the format in
// which the peer shall send to this client.
//
// The four send/receive flag words: 0 not capable, non-zero capable; bit 1 (2) this side accepts
// or produces whatever the other proposes; bit 2 (4) this side's codec list (and for audio its
// buffer length) decides; for video receive, bits 0x210 take the peer's stereo-video value.
//
// Everything read here may come from a peer: stored formats are copied only as far as their bytes
// go (a value below 24 bytes counts as absent) and codec lists are read as whole entries only.
//
// A plain value; not thread-safe.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/base/bin_buff.h"
#include "core/wire/media_format.h"

// Container keys.
inline constexpr char HXCC_INTCAPS[] = "IntCaps";
inline constexpr char HXCC_STREAMS_DIRCON[] = "StrmDirC";
inline constexpr char HXCC_BANDW_RCV[] = "BandWRcv";
inline constexpr char HXCC_VIDEO_RCV[] = "VideoRcv";
inline constexpr char HXCC_VIDEO_SND[] = "VideoSnd";
inline constexpr char HXCC_AUDIO_RCV[] = "AudioRcv";
inline constexpr char HXCC_AUDIO_SND[] = "AudioSnd";
inline constexpr char HXCC_RATING[] = "Rating";
inline constexpr char HXCC_LEVEL[] = "Level";
inline constexpr char HXCC_LEVEL_GROUP[] = "LevelGroup";
inline constexpr char HXCC_SCREEN_WIDTH[] = "ScreenWidth";
inline constexpr char HXCC_SCREEN_HEIGHT[] = "ScreenHeight";
inline constexpr char HXCC_CLIENTTYPE[] = "ClientType";
inline constexpr char HXCC_APPNAME[] = "AppName";
inline constexpr char HXCC_APPVERSION[] = "AppVersion";
inline constexpr char HXCC_MEDIAFORMAT[] = "MediaFmt";
inline constexpr char HXCC_MEDIAFORMATRCV[] = "MdFmtRcv";
inline constexpr char HXCC_AUDIO_CODECS[] = "AudioCdc";
inline constexpr char HXCC_VIDEO_CODECS[] = "VideoCdc";
inline constexpr char HXCC_CLIENT_FLAGS[] = "ClientFlags";

class HX_ClientCaps {
 public:
  // Bits of the send/receive flag words.
  static constexpr int32_t kTakesAny = 2;
  static constexpr int32_t kListDecides = 4;
  static constexpr int32_t kStereoVideo = 0x210;
  // IntCaps bit 0: this client can send in the receive format its peer fixes.
  static constexpr int32_t kIntCapsFixedRcv = 1;

  // Reset, then IntCaps 1.
  HX_ClientCaps();

  // Every field to its default: IntCaps 0, bandwidth 128, the four flag words 1, client flags 13,
  // everything else 0 or empty.
  void Reset();
  // Reset, then the keys present in the serialised container (by their types); an absent or
  // unreadable key keeps its default. Null data or length 0 stops after the reset.
  void Set(const void* data, size_t length);
  // Serialises the fields (optional ones only when set) into a new buffer from malloc that the
  // caller frees; the result of the serialisation.
  bool Get(uint8_t*& buffer, size_t& length) const;

  // The stored send format copied onto `format` (the default record when none is usable).
  void GetMediaFormat(HX_MediaFormat& format) const;
  // The same for the fixed receive format.
  void GetMediaFormatRcv(HX_MediaFormat& format) const;
  void SetMediaFormat(const HX_MediaFormat& format);
  void SetMediaFormatRcv(const HX_MediaFormat& format);
  void ClearMediaFormatRcv() { m_mediaFormatRcv.Empty(); }

  bool IsFixedRcvMediaFormat() const;
  // This client can serve the receive format `peer` fixes.
  bool IsFixedRcvMediaFormat(const HX_ClientCaps& peer) const;

  bool FindAudioCodec(uint16_t tag) const;
  bool FindVideoCodec(uint32_t code) const;
  // The first entry of the own list, in its order, that the other list holds; 0 when none.
  uint16_t FindInAudioCodecs(const HX_BinBuff& other) const;
  uint32_t FindInVideoCodecs(const HX_BinBuff& other) const;
  // Copies the list when `destination` is given and `count` holds at least the entry count; sets
  // `count` to the entry count and returns it.
  size_t GetAudioCodecs(uint16_t* destination, size_t& count) const;
  size_t GetVideoCodecs(uint32_t* destination, size_t& count) const;
  void SetAudioCodecs(const uint16_t* tags, size_t count);
  void SetVideoCodecs(const uint32_t* codes, size_t count);
  const HX_BinBuff& AudioCodecs() const { return m_audioCodecs; }
  const HX_BinBuff& VideoCodecs() const { return m_videoCodecs; }

  void SetResolutionLimit(int32_t width, int32_t height) {
    m_screenWidth = width;
    m_screenHeight = height;
  }
  void GetResolutionLimit(int32_t& width, int32_t& height) const {
    width = m_screenWidth;
    height = m_screenHeight;
  }

  // The format in which `peer` shall send to this client; zero audio or video fields mean that
  // no such stream is to be sent.
  HX_MediaFormat GetFmtFromToMe(const HX_ClientCaps& peer) const;

  int32_t m_intCaps = 0;
  int32_t m_streamsDirCon = 0;
  int32_t m_bandwidthRcv = 128;
  int32_t m_videoRcv = 1;
  int32_t m_videoSnd = 1;
  int32_t m_audioRcv = 1;
  int32_t m_audioSnd = 1;
  int32_t m_rating = 0;
  int32_t m_level = 0;
  int32_t m_levelGroup = 0;
  int32_t m_screenWidth = 0;
  int32_t m_screenHeight = 0;
  int32_t m_clientType = 0;
  std::string m_appName;
  std::string m_appVersion;
  HX_BinBuff m_mediaFormat;
  HX_BinBuff m_mediaFormatRcv;
  HX_BinBuff m_audioCodecs;
  HX_BinBuff m_videoCodecs;
  uint32_t m_clientFlags = 13;
};
