#pragma once
// HX_MediaFormatManager: decides the video part of the format this client sends (picture size,
// frame rate, codec, stereo flag, hardware-codec field) and the video level that choice amounts
// to, from the device's measured capacity (the benchmark result), the capture modes the capture
// slot list offers, the current send bit rate, the peer's capability record and the limits of
// the base class.
//
// Idle (no connection set) it chooses the format offered before a call; active (after
// SetConnection) the format sent to the peer or the conference. With the automatic high-quality
// mode it climbs the automatic ladders by levels; otherwise explicit limits and the own default
// format decide.
//
// Peer records are untrusted: every size, level and rate read from one is bounded before use, a
// packed size with a zero width or height is no limit, and a capture descriptor without
// macroblocks per frame (a level the capture list never computed) counts as "capture unknown" for
// the choice that would divide by it.
//
// Thread safety: none of its own. It is used only through HX_MediaFormatManagerAdapter, which
// holds its lock around every call. The limits of the base may be read from any thread.

#include <cstdint>

#include "core/base/signal.h"
#include "core/media/format/media_format_limits.h"
#include "core/media/format/sys_performance_state.h"
#include "core/media/format/video_levels.h"
#include "core/media/video/codec/video_codec.h"
#include "core/wire/media_format.h"

class HX_ClientCaps;
class HX_VideoCaptureSlotList;
class HX_VideoCodecFactory;

// The control numbers of SetControlExternal.
enum eControlExt : int32_t {
  eCtrlHQAuto = 0,
  eCtrlHDInputSource = 1,
  eCtrlExtStereo = 2,
  eCtrlBitrate = 3,
  eCtrlLevelTable = 4,
  eCtrlSysBenchmark = 5,
  eCtrlAllowHD = 6,
  eCtrlExtResolution = 7,
  eCtrlExtFps = 8,
  eCtrlExtBitrate = 9,
  eCtrlVideoCodec = 10,
  eCtrlVideoHardware = 11,
  eCtrlAudioCodec = 12,
  eCtrlAudioSamplerate = 13,
  eCtrlCaptureResolution = 14,
  eCtrlCaptureStereo = 15,
  eCtrlNetworkBitrate = 16,
  eCtrlSndLevel = 17,
  eCtrlSrvBitrate = 18,
  eCtrlSrvFps = 19,
  eCtrlSrvResolution = 20,
  eCtrlCnfBitrate = 21,
  eCtrlCnfVideoBitrate = 22,
  eCtrlCnfDsBitrate = 23,
  eCtrlCnfBaseBitrate = 24,
  eCtrlCnfBaseMaxBitrate = 25,
  eCtrlCnfFps = 26,
  eCtrlCnfVideoResolution = 27,
  eCtrlCnfDsResolution = 28,
  eCtrlLastFps = 29,
  eCtrlCaptureList = 30,
  eCtrlCodecFactory = 31,
  eCtrlForceSndFormat = 32,
  eCtrlHQAutoScheme = 33,
};

// The hardware encoder a choice settled on: 0 software, 1 hardware H.264 (the ladder column).
enum eHardwareEncoder : uint32_t {
  eHardwareEncoderNone = 0,
  eHardwareEncoderH264 = 1,
};

class HX_MediaFormatManager : public HX_MediaFormatManagerLimits {
 public:
  HX_MediaFormatManager();
  ~HX_MediaFormatManager() override;

  // Emitted after every idle choice with (0, 0, frame rate x 100), on the choosing thread.
  hx::Signal3<uint32_t, uint32_t, uint32_t> m_formatSignal;

  // Stores one setting. Boolean controls take value > 0 as true. The int form ignores the
  // pointer controls (4, 5, 30, 31, 32) and the pointer form the others.
  void SetControlExternal(eControlExt control, int value);
  // 4 kn_VideoLevelCaps*, 5 const HX_SysPerformanceState* (copied; null ignored), 30
  // HX_VideoCaptureSlotList*, 31 HX_VideoCodecFactory*, 32 const HX_MediaFormat* (copied; sets
  // ForceSndFormat; null ignored). Borrowed pointers must outlive their use here.
  void SetControlExternal(eControlExt control, void* value);

  // Takes the peer's capabilities (null peer or own: their defaults) and returns the new current
  // format: the own record's send format.
  HX_MediaFormat SetConnection(const HX_ClientCaps* peer, const HX_ClientCaps* own, bool p2p);
  // Back to the unconnected state; the capture slot list is forgotten until it is set again.
  void ResetConnection();
  // Chooses the send format from `in` into `out` (either may alias) and the level into `level`;
  // true when the automatic mode decided it. Null in or out: false, nothing done.
  bool GetMediaFormat(const HX_MediaFormat* in, HX_MediaFormat* out, unsigned char* level);
  // The bit-rate level: climbs only when the rate reaches the current step's maximum, falls only
  // when it drops to the step's minimum; unchanged for the last rate seen.
  uint8_t CheckBitrate(int bitrate);

  bool IsManagerConnected() const { return m_connected; }
  int32_t GetPeerClientType() const { return m_peerClientType; }
  uint8_t GetPeerRcvLevel() const { return m_peerRcvLevel; }
  const HX_MediaFormat& GetCurrentFormat() const { return m_current; }
  const HX_MediaFormat& GetForcedFormat() const { return m_forced; }
  const HX_SysPerformanceState& GetSysPerformance() const { return m_perf; }
  uint8_t GetStoredBitrateLevel() const { return m_bitrateLevel; }
  int32_t GetLastBitrate() const { return m_lastBitrate; }
  eHQAutoScheme GetHQAutoScheme() const { return m_scheme; }
  // The smaller of the debug tuning's maximum and the benchmark send level.
  uint8_t GetBenchLevel() const;

  // Pure helpers.
  static uint32_t GetResolution(uint32_t width, uint32_t height) {
    return (width & 0xFFFF) << 16 | (height & 0xFFFF);
  }
  static uint32_t GetWidth(uint32_t packed) { return packed >> 16; }
  static uint32_t GetHeight(uint32_t packed) { return packed & 0xFFFF; }
  uint8_t GetBitrateLevel(int bitrate) const;
  uint8_t GetSndLevel(bool max, uint8_t level) const;
  // Raises both to a multiple of mask + 1.
  static void FixMultiplicityResolution(uint32_t& width, uint32_t& height, uint32_t mask);
  // Fits a picture of width:height to `macroblocks` (no wider than maxWidth); a zero side leaves
  // both unchanged.
  static void CorrectAspectRatioResolution(uint32_t macroblocks, uint32_t& width, uint32_t& height,
                                           uint32_t maxWidth);
  // Shrinks width x height into the packed limit keeping the aspect ratio. A limit with a zero
  // width or height is no limit, and neither side is shrunk below 16.
  static void RestrictRcvScreenResolution(uint32_t limit, uint32_t& width, uint32_t& height);
  uint8_t ChooseHardwareEncoder(uint8_t level, hx_vfactory_defs::eHardwareCodec& codec,
                                eHardwareEncoder& encoder);

 protected:
  // The level table: the one set by control 4, else a private one.
  const kn_VideoLevelCaps& Levels() const { return m_levels ? *m_levels : m_ownLevels; }

 private:
  bool CaptureKnown();
  // The capture descriptor of a level: false when capture is unknown or the descriptor holds no
  // macroblocks per frame (never computed), so that nothing divides by it.
  bool CaptureDesc(uint8_t level, int32_t& width, int32_t& height, int32_t& mbps,
                   int32_t& mbpf) const;
  int32_t LevelMaxMBps(uint8_t level) const;
  uint8_t IdleChoice(HX_MediaFormat& out, bool known);
  uint8_t ActiveChoice(HX_MediaFormat& out, bool known);
  bool PeerIsType3or6() const { return m_peerClientType == 3 || m_peerClientType == 6; }

  int32_t m_peerClientType = 0;
  bool m_connected = false;
  uint8_t m_peerRcvLevel = 0;
  HX_MediaFormat m_current;
  HX_MediaFormat m_forced;
  kn_AutoLevelCaps m_auto;
  int32_t m_lastBitrate = 128;
  uint8_t m_bitrateLevel = 32;
  HX_SysPerformanceState m_perf;
  kn_VideoLevelCaps* m_levels = nullptr;
  kn_VideoLevelCaps m_ownLevels;
  HX_VideoCaptureSlotList* m_captureList = nullptr;
  HX_VideoCodecFactory* m_factory = nullptr;
  eHQAutoScheme m_scheme = eHQAutoSchemeStandard;
};
