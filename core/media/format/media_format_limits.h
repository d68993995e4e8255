#pragma once
// HX_MediaFormatManagerLimits: the plain store of the limits under which the send format and the
// send bit rates are chosen: the application's, the server's, the conference's, the network's and
// what the peer's capability record says it can receive. Each field has a getter Get<Field> and a
// setter Set<Field>; every field starts at 0 or false (no limit) except UseHQAuto, which starts
// true.
//
// Units: bit rates in kbit/s; frame rates in frames per second where the name says "Ext" or
// "Last" is absent (ExtFpsLimit), frames per second x 100 for SrvFpsLimit, CnfFpsLimit and
// LastFps; packed sizes are width << 16 | height (0: no limit); the conference picture-size limits
// are macroblocks per frame.
//
// Thread safety: the fields are atomics, so a getter may be called from any thread without the
// adapter's lock (the send stream's rate step does so); writers go through the adapter, which
// serialises them under its lock.

#include <atomic>
#include <cstdint>

#define HX_MFM_LIMIT(type, name, initial)                                             \
 public:                                                                              \
  type Get##name() const { return m_##name.load(std::memory_order_relaxed); }         \
  void Set##name(type value) { m_##name.store(value, std::memory_order_relaxed); }    \
                                                                                      \
 private:                                                                             \
  std::atomic<type> m_##name { initial }

class HX_MediaFormatManagerLimits {
 public:
  HX_MediaFormatManagerLimits() = default;
  virtual ~HX_MediaFormatManagerLimits() = default;
  HX_MediaFormatManagerLimits(const HX_MediaFormatManagerLimits&) = delete;
  HX_MediaFormatManagerLimits& operator=(const HX_MediaFormatManagerLimits&) = delete;

  // The application allows the automatic high-quality mode.
  HX_MFM_LIMIT(bool, UseHQAuto, true);
  // Stored only.
  HX_MFM_LIMIT(bool, UseHDInputSource, false);
  // The capture delivers stereo video.
  HX_MFM_LIMIT(bool, UseStereo, false);
  // What the peer can receive (set at each connection).
  HX_MFM_LIMIT(bool, FixedRcvFormat, false);
  HX_MFM_LIMIT(bool, CanRcvH264, false);
  HX_MFM_LIMIT(bool, CanRcvH265, false);
  HX_MFM_LIMIT(bool, CanRcvStereo, false);
  // The automatic mode decided the last format.
  HX_MFM_LIMIT(bool, HQAutoCurrent, false);
  // Levels above 47 allowed in the automatic active mode.
  HX_MFM_LIMIT(bool, AllowHD, false);
  HX_MFM_LIMIT(bool, RcvDynamicFmt, false);
  // The video source is a screen capture (from the capture list at each choice).
  HX_MFM_LIMIT(bool, ScreenCapture, false);
  // A send format was forced by the peer.
  HX_MFM_LIMIT(bool, ForceSndFormat, false);
  // Stereo mode requested by the application.
  HX_MFM_LIMIT(bool, ExtStereo, false);
  HX_MFM_LIMIT(int32_t, ExtFpsLimit, 0);
  HX_MFM_LIMIT(int32_t, SrvUpLimit, 0);
  HX_MFM_LIMIT(int32_t, SrvFpsLimit, 0);
  HX_MFM_LIMIT(int32_t, CnfUpLimit, 0);
  HX_MFM_LIMIT(int32_t, CnfVideoUpLimit, 0);
  HX_MFM_LIMIT(int32_t, CnfDsUpLimit, 0);
  HX_MFM_LIMIT(int32_t, CnfBaseUpLimit, 0);
  HX_MFM_LIMIT(int32_t, CnfBaseMaxUpLimit, 0);
  HX_MFM_LIMIT(int32_t, ExtBitrateLimit, 0);
  HX_MFM_LIMIT(int32_t, CnfFpsLimit, 0);
  HX_MFM_LIMIT(int32_t, LastFps, 0);
  // Network bit-rate limit.
  HX_MFM_LIMIT(int32_t, PeerUpLimit, 0);
  // 0 point-to-point, 1 conference.
  HX_MFM_LIMIT(int32_t, ConfType, 0);
  // Current send bit rate from the stream's rate control.
  HX_MFM_LIMIT(int32_t, BitrateValue, 0);
  // The peer's picture-size multiple capabilities (worked out, consumed by nobody).
  HX_MFM_LIMIT(uint32_t, MulCaps, 0);
  // The peer's screen size, packed.
  HX_MFM_LIMIT(uint32_t, RcvResolutionLimit, 0);
  HX_MFM_LIMIT(uint32_t, ExtResolutionLimit, 0);
  HX_MFM_LIMIT(uint32_t, SrvResolutionLimit, 0);
  // Stored only.
  HX_MFM_LIMIT(uint32_t, CaptureResolutionLimit, 0);
  HX_MFM_LIMIT(uint32_t, CnfVideoResolutionLimit, 0);
  HX_MFM_LIMIT(uint32_t, CnfDsResolutionLimit, 0);
  // Codec requested by the application (four-character code, 0 none).
  HX_MFM_LIMIT(uint32_t, VideoCodec, 0);
  // Hardware codec kind requested by the application (0 none).
  HX_MFM_LIMIT(uint32_t, VideoHardware, 0);
  // Audio codec tag and sample rate for the own capability record.
  HX_MFM_LIMIT(uint32_t, AudioCodec, 0);
  HX_MFM_LIMIT(uint32_t, AudioSamplerate, 0);
};

#undef HX_MFM_LIMIT
