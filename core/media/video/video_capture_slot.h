#pragma once
// HX_VideoCaptureSlotBase: where a camera frame enters the core and leaves it as an I420 frame for
// the send stream. The platform's camera calls OnPutFrame once per picture; the slot thins the
// frame rate to the codec's, asks the media-format adapter which sending format is wanted, has the
// capture conversion write the I420 picture into one of its frame buffers, overlays secondary
// pictures or replaces the background when asked to, and hands the result on through
// FrameReadySignal, at once on the caller's thread (the default) or from its processing thread
// (EnableMultithreading(true)). It owns the capture-mode list, through which camera capabilities
// and benchmark levels become the camera mode the platform should open (LevelSignal).
//
// Signals, emitted on the thread that does the work and without a lock held, in this order per
// processed frame: PreviewSignal (every converted frame), LevelSignal (only when the chosen camera
// mode or wanted size changed), ModeFormatSignal (every frame that got a buffer), FrameReadySignal
// (unless the frame is held back: blocked, paused, failed, role off, or waiting for a key frame).
//
// Key frames: the first frame after construction and after StopProcessingThread is a key frame;
// OnForceKeyFrame is a one-shot request consumed by the next prepared frame (a frame that fails to
// convert or is not sent hands it on to the next, and a key frame still queued for the processing
// thread passes its flag to the newer frame that overwrites it). Pausing and leaving the role hold
// back every frame until a key frame has passed (not while secondary channels exist).
//
// Modes: a mode whose width or height is outside 1 to 8192 is dropped like a failed conversion
// (nothing sent, the key-frame request kept); frame buffers are sized in 64-bit arithmetic.
//
// Threads. OnPutFrame runs on the platform's capture thread, one frame at a time; the
// preparation, conversion, current mode and current format belong to that thread. Controls come
// from any thread and only write atomic flags; the force-key-frame flag is set and consumed under
// HXMultiLock<1> so that no request is lost. The send-index queue is shared with the processing
// thread under HXMultiLock<0>; secondary channels live under HXMultiLock<3>, the background under
// HXMultiLock<4> (order 3 before 4); HXMultiLock<2> guards the adapter pointer and the creation of
// the frame processor.
//
// StopProcessingThread blocks further frames and returns only once a frame-ready emission in
// progress on another thread has ended, so the send stream may disconnect from FrameReadySignal
// right after it (called from inside a frame-ready receiver, it does not wait for itself).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "core/base/event.h"
#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/base/thread.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/video/capture_conversion.h"
#include "core/media/video/capture_mode.h"
#include "core/media/video/capture_slot_list.h"
#include "core/media/video/framerate_control.h"
#include "core/media/video/video_processing.h"
#include "core/wire/media_format.h"

// One frame buffer of the slot.
struct HX_FrameCaptureState {
  HX_FrameCaptureState();
  ~HX_FrameCaptureState();
  HX_FrameCaptureState(const HX_FrameCaptureState&) = delete;
  HX_FrameCaptureState& operator=(const HX_FrameCaptureState&) = delete;
  // Reallocates for a picture of that size (nothing for size 0); the contents are not kept.
  void Resize(uint32_t width, uint32_t height);
  void Free();

  unsigned char* data = nullptr;
  uint64_t timestamp = 0;  // capture time in ms, cut to 32 bits
  uint64_t size = 0;       // width x height x 3 / 2
  bool keyFrame = false;
  HX_MediaFormat format;    // width and height are the picture's
  int32_t pixelFormat = 0;  // 23 stereo I420, else 0
  std::atomic<int32_t> busy{0};
};

class HX_VideoCaptureSlotBase : public HXThread,
                                public HXMultiLock<0>,
                                public HXMultiLock<1>,
                                public HXMultiLock<2>,
                                public HXMultiLock<3>,
                                public HXMultiLock<4> {
 public:
  // The largest side of a capture mode the slot takes.
  static constexpr int32_t kMaxModeSide = 8192;

  struct videoChannel {
    int32_t x = 0;
    int32_t y = 0;
    std::unique_ptr<HX_FrameCaptureState> picture;
  };

  HX_VideoCaptureSlotBase();
  ~HX_VideoCaptureSlotBase() override;

  // (slot, data, size, format, timestamp, key frame)
  hx::Signal6<const void*, const unsigned char*, unsigned long, HX_MediaFormat&, unsigned long,
              bool>
      FrameReadySignal;
  // (camera mode index, wanted width, wanted height)
  hx::Signal3<unsigned, unsigned, unsigned> LevelSignal;
  // (data, size, width, height, pixel format, content flag)
  hx::Signal6<const unsigned char*, unsigned long, unsigned, unsigned, unsigned, bool>
      PreviewSignal;
  // (mode, capture frame rate, format, reduced frame rate)
  hx::Signal4<HX_CaptureMode*, unsigned, HX_MediaFormat*, unsigned> ModeFormatSignal;
  // (frame width / capture width, frame height / capture height) while secondary channels exist
  hx::Signal2<float, float> ScaleSignal;

  // ---- frame entry (capture thread) ----
  void OnPutFrame(const unsigned char* data, unsigned long size, unsigned long captureFps,
                  unsigned long captureTime, bool contentFlag, HX_CaptureMode* mode,
                  hx_processing_defs::eRotateMode rotate,
                  hx_capture_defs::eProcessingCapture capture);
  // Stores the latest I420 picture of a secondary channel (a picture shorter than its format is
  // ignored); timestamp and key flag are not used.
  void OnPutFrameSecondary(const void* key, const unsigned char* data, unsigned long size,
                           HX_MediaFormat& format, unsigned long timestamp, bool keyFrame);

  // ---- set-up and life cycle ----
  // Keeps the first adapter ever given and hands it the capture-mode list.
  void SetMediaAdapter(std::shared_ptr<HX_MediaFormatManagerAdapter>& adapter);
  void EnableMultithreading(bool on) { m_multithreading.store(on); }
  void StartProcessingThread();
  void StopProcessingThread();
  void CreateFrameProcessor();

  // ---- controls ----
  void OnBlockVideoCapture(bool block) { m_block.exchange(block ? 1 : 0); }
  void OnPauseVideoCapture(bool pause);
  void OnRoleVideoCapture(bool on);
  void OnForceKeyFrame();
  // Passes the flag to the adapter when one is attached, then stores it.
  void OnForceStereoCapture(bool on);
  void OnChangeCodecBitrate(unsigned, unsigned, unsigned codecFps) {
    m_codecFps.exchange(codecFps);
  }
  void OnChangeCodecBaseResolution(unsigned packed) { m_codecBaseResolution.exchange(packed); }
  unsigned GetCaptureFPS(unsigned& out) const { return out = m_captureFps.load(); }
  unsigned GetReduceFPS(unsigned& out) const { return out = m_reducedFps.load(); }
  bool GetPauseVideoCapture() const { return m_pause.load() != 0; }
  bool GetRoleVideoCapture() const { return m_role.load() != 0; }

  // ---- camera capabilities and levels ----
  void UpdateCaptureCaps(const HX_VideoCaptureCaps* caps, int& modeIndex);
  void UpdateCaptureCapsExt(const HX_VideoCaptureCaps* caps, int, int& modeIndex, int& second);
  void UpdateBenchLevel(unsigned char level);
  void ForceExtendedFramerate(bool on);

  // ---- secondary channels and background ----
  void AddSecondaryChannel(const void* key, int x, int y);
  void RemoveSecondaryChannel(const void* key);
  void SetPositionSecondaryChannel(const void* key, int x, int y);
  void AddBackgroundReplacer(const unsigned char* data, unsigned long width, unsigned long height);
  void RemoveBackgroundReplacer();

  // ---- views for tests and diagnostics ----
  std::shared_ptr<HX_VideoCaptureSlotList> GetCaptureList() const { return m_captureList; }
  std::shared_ptr<HX_MediaFormatManagerAdapter> GetMediaAdapter();
  uint32_t GetCurrentLevel() const { return m_level.load(); }
  bool GetForceKeyFrameFlag() const { return m_forceKeyFrame.load() != 0; }
  bool GetWaitKeyFrameFlag() const { return m_waitKeyFrame.load() != 0; }
  uint32_t GetCodecBaseResolution() const { return m_codecBaseResolution.load(); }
  const HX_FrameCaptureState& GetBuffer(size_t i) const { return *m_buffers[i]; }

 protected:
  virtual std::shared_ptr<HX_VideoProcessingBase> _CreateVideoProcessing();
  void Run() override;
  void OnTerminateRequest() override { m_wakeUp.Set(); }

 private:
  int GetFreeBufferIndex(bool& fromQueue);
  int FindFreeBufferIndex();
  int GetOverrideIndex();
  void PutSendIndex(int index);
  int GetSendIndex();
  bool UpdateSndFrame(HX_FrameCaptureState& state, uint64_t timestamp, bool forceKey,
                      hx_processing_defs::eRotateMode rotate, HX_CaptureMode* mode,
                      const std::shared_ptr<HX_MediaFormatManagerAdapter>& adapter);
  void PostProcessingFrame(HX_FrameCaptureState& state, HX_CaptureMode* mode, bool contentFlag);
  void MuxerVideoFrame(HX_FrameCaptureState& state);
  void BackgroundReplaceVideoFrame(HX_FrameCaptureState& state);
  // Emits FrameReadySignal for the buffer unless the slot is blocked, counting the emission so
  // that StopProcessingThread can wait for it.
  void EmitFrameReady(HX_FrameCaptureState& state);
  eHQAutoScheme Scheme() const {
    return m_extendedFps.load() == 1 ? eHQAutoSchemeExtended : eHQAutoSchemeStandard;
  }

  std::shared_ptr<HX_MediaFormatManagerAdapter> m_adapter;
  std::shared_ptr<HX_VideoCaptureSlotList> m_captureList;
  std::shared_ptr<HX_VideoCaptureConversion> m_conversion;
  std::shared_ptr<HX_VideoProcessingBase> m_processing;
  HX_CaptureMode m_mode;
  std::deque<int32_t> m_sendIndex;
  std::vector<std::unique_ptr<HX_FrameCaptureState>> m_buffers;
  std::map<const void*, videoChannel> m_channels;
  HX_CapturerFramerateAnalyser m_analyser;
  HXEvent m_wakeUp{true};

  std::atomic<uint32_t> m_level{36};
  std::atomic<uint32_t> m_codecFps{3000};
  std::atomic<uint32_t> m_captureFps{30};
  std::atomic<uint32_t> m_reducedFps{3000};
  std::atomic<uint32_t> m_block{0};
  std::atomic<uint32_t> m_pause{0};
  std::atomic<uint32_t> m_role{1};
  std::atomic<uint32_t> m_forceKeyFrame{1};
  std::atomic<uint32_t> m_waitKeyFrame{1};
  std::atomic<uint32_t> m_forceStereo{0};
  std::atomic<uint32_t> m_extendedFps{0};
  std::atomic<uint32_t> m_secondaryChannels{0};
  std::atomic<uint32_t> m_codecBaseResolution{0};

  HX_MediaFormat m_format;
  std::atomic<bool> m_multithreading{false};
  uint64_t m_bufferCount = 1;

  int32_t m_modeIndex = -1;
  int32_t m_modeSecond = -1;
  int32_t m_modeThird = 1;
  uint32_t m_wantedWidth = 0;
  uint32_t m_wantedHeight = 0;
  int32_t m_mbPerSecond = 0;
  int32_t m_mbPerFrame = 0;
  bool m_levelChanged = false;

  uint64_t m_backgroundWidth = 0;
  uint64_t m_backgroundHeight = 0;
  std::vector<unsigned char> m_background;
  uint64_t m_scaledWidth = 0;
  uint64_t m_scaledHeight = 0;
  std::vector<unsigned char> m_scaledBackground;

  // Frame-ready emissions in progress, for StopProcessingThread.
  std::mutex m_emitMutex;
  std::condition_variable m_emitDone;
  int m_emitting = 0;
};

// The default meeting-tools factory's capture slot: nothing added.
class HX_VideoCaptureSlotStub : public HX_VideoCaptureSlotBase {};
