#pragma once
// HX_MediaFormatManagerAdapter: the one object through which the rest of the client sets the
// limits of the send-format choice and obtains the current send format. It puts its lock around
// HX_MediaFormatManager, owns the level table the manager borrows, keeps the current send format,
// and decides when the format is worth working out again: when the send bit rate changed, when a
// setting forced it (the force column below), or at least every 15000 ms while frames are being
// requested (RequestMediaFormat, the capture thread's call for every frame it prepares).
//
// Setters that force a recalculation: HQ-auto mode, stereo mode, benchmark result, HD input,
// application size and frame-rate limits, video codec and hardware, capture size limit, capture
// stereo, forced send level, server bit-rate, frame-rate and size limits, capture list and forced
// send format. The bit-rate setters other than the server's, the audio setters, the conference
// limits, SetFps, the codec factory and the automatic scheme only store.
//
// Thread safety: the adapter is its own lock (recursive: a forcing setter or UpdateVideoFormat
// runs nested inside SetConnection and Reset). Every operation holds it for its whole duration;
// the connected and force-update flags are atomics so that IsConnected reads without the lock,
// and the limits of the base may be read through their getters from any thread. Callers must not
// hold another lock of the media subsystem while calling in.

#include <atomic>
#include <cstdint>
#include <functional>

#include "core/base/lock.h"
#include "core/media/format/media_format_manager.h"

class HX_MediaFormatManagerAdapter : public HX_MediaFormatManager, public HXLock {
 public:
  // The interval after which a frame request works the format out again by itself.
  static constexpr uint64_t kRecalcIntervalMs = 15000;

  // `ticks` is the millisecond clock of the recalculation rule (the core's tick clock when empty).
  explicit HX_MediaFormatManagerAdapter(std::function<int64_t()> ticks = {});
  ~HX_MediaFormatManagerAdapter() override;
  HX_MediaFormatManagerAdapter(const HX_MediaFormatManagerAdapter&) = delete;
  HX_MediaFormatManagerAdapter& operator=(const HX_MediaFormatManagerAdapter&) = delete;

  // A copy of the current send format.
  HX_MediaFormat GetMediaFormat();
  // The capture thread's call per frame: `level` is the level of a new choice, or 0 when the
  // format was not worked out again; returns a copy of the current send format.
  HX_MediaFormat RequestMediaFormat(unsigned char& level);
  void UpdateVideoFormat(unsigned char& level);
  void UpdateAudioFormat(uint32_t sampleRate, uint32_t codecTag);
  // True (and the clock, bit rate and force flag restarted) when the bit rate changed, a setting
  // forced it, or more than 15000 ms passed since the last recalculation.
  bool CanRecalcParams();

  // The media handshake of a call or conference is ready: `peer` is what the peer accepts, `own`
  // this client's record for the call.
  void SetConnection(const HX_ClientCaps* peer, const HX_ClientCaps* own, bool p2p);
  // The send stream released its hardware: back to idle; a current format that no encoder could
  // take (no codec, a side outside 16 to 131072 or not a multiple of 8) becomes 640x360 VP8 at 30.
  void Reset();
  bool IsConnected() const { return m_adapterConnected.load() != 0; }
  void SetForceUpdate();

  // Settings; see the header comment for which force a recalculation.
  void SetHQAutoMode(bool on);
  void SetStereoMode(int mode);
  void SetBitrate(uint32_t kbps);
  void SetSysBenchmarkResult(const HX_SysPerformanceState& result);
  void SetUseHDInput(bool on);
  void SetResolutionExtLimit(uint32_t width, uint32_t height);
  void SetFpsExtLimit(uint32_t fps);
  void SetBitrateExtLimit(uint32_t kbps);
  void SetVideoCodec(uint32_t fourcc);
  void SetVideoHardware(uint32_t kind);
  void SetAudioCodec(uint32_t tag);
  void SetAudioSamplerate(uint32_t hz);
  void SetResolutionCaptureLimit(uint32_t width, uint32_t height);
  void SetCaptureStereo(int mode);
  void SetBitrateNetworkLimit(uint32_t kbps);
  void ForceSndLevel(unsigned char level);
  void SetBitrateServerLimit(uint32_t kbps);
  void SetFpsServerLimit(uint32_t fps100);
  void SetResolutionServerLimit(uint32_t width, uint32_t height);
  // The conference limits: kbit/s, frames per second x 100, macroblocks per frame. Callers pass
  // values up to INT32_MAX. Virtual so that a test can watch the calls.
  virtual void SetBitrateConferenceLimit(uint32_t kbps);
  virtual void SetBitrateConferenceVideoLimit(uint32_t kbps);
  virtual void SetBitrateConferenceDsLimit(uint32_t kbps);
  virtual void SetBitrateBaseConferenceLimit(uint32_t kbps);
  virtual void SetBitrateBaseMaxConferenceLimit(uint32_t kbps);
  virtual void SetFpsConferenceLimit(uint32_t fps100);
  virtual void SetResolutionConferenceVideoLimit(uint32_t macroblocks);
  virtual void SetResolutionConferenceDsLimit(uint32_t macroblocks);
  void SetFps(uint32_t fps100);
  void SetCaptureList(HX_VideoCaptureSlotList* list);
  void SetVideoCodecFactory(HX_VideoCodecFactory* factory);
  void ForceSndMediaFormat(const HX_MediaFormat& format);
  void SetHQAutoScheme(eHQAutoScheme scheme);

 private:
  void Store(eControlExt control, int value, bool force);
  void Store(eControlExt control, void* value, bool force);
  void Force() { m_forceUpdate.exchange(1); }

  std::atomic<int32_t> m_adapterConnected{0};
  kn_VideoLevelCaps* m_levelTable = nullptr;
  int32_t m_lastBitrate = 0;
  int64_t m_lastRecalc = 0;
  std::atomic<int32_t> m_forceUpdate{0};
  HX_MediaFormat m_sendFormat;
  std::function<int64_t()> m_ticks;
};
