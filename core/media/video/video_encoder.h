#pragma once
// The sending side's video encoder front-end. HX_VideoEncoderBase is the interface the send stream
// drives; HX_VideoEncoder encodes each captured I420 picture on one or more spatial layers, each
// with its own codec from the codec factory, and emits one compressed frame per layer through
// CompressedFrameSignal: (data, bytes, send header). The data starts with a 6-byte prefix (frame
// counter, frame type 0 key / 1 other, capture time as 32-bit little-endian) followed by the
// layer's bitstream; the send header is a per-layer copy of the caller's whose frame type matches
// the prefix and whose descriptor fields point at the layer's scalability descriptor (valid for
// the emission only).
//
// Spatial layers: layer 0 is the full picture and encodes on the caller's thread; every smaller
// layer scales the picture (bilinear, with a toolbox of its own) and encodes it on an encode
// thread of its own, started and awaited through two auto-reset events, so that all layers encode
// the same picture at once and the caller waits for all of them before anything is emitted. How
// many layers run follows from the SVC mode words of the format and of the configuration, the
// picture size and the macroblock thresholds; with the client core's configuration (svcCaps 1) it
// is always one. The bit rate is divided among the layers (full-bandwidth split) or layers are
// switched off and on (layer switching); a layer that comes back is forced to a key frame.
//
// Layer states: 0 sending; 1 back on, waiting for its next key frame; 2 switching off, still sent
// until its next key frame; 3 off (encoded, not sent).
//
// Thread safety: OnReady2Compress, Reinit and Release come from one thread (the send stream's).
// SetBitrate may come from any thread: it only stores four integers under the bit-rate lock,
// which the encoding thread reads before each picture. GetResolutionBaseLayer reads an atomic.
// CompressedFrameSignal is emitted on the thread calling OnReady2Compress, without a lock.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/base/event.h"
#include "core/base/signal.h"
#include "core/base/thread.h"
#include "core/media/video/codec/video_codec.h"
#include "core/media/video/video_processing.h"
#include "core/streams/send_video_header.h"
#include "core/wire/media_format.h"

class HX_VideoCodecFactory;

namespace scalable_info {

// The encoder configuration set by Configure.
struct Config {
  uint32_t svcCaps = 1;           // the own SVC mode word
  uint32_t lastLayerOption = 10;  // option byte of the smallest layer's codec
  uint32_t cameraUpLimit = 0;     // kbit/s for a camera source, 0 automatic
  uint32_t contentUpLimit = 0;    // kbit/s for a screen-capture source, 0 automatic
  uint32_t bitrateAlgorithm = 0;  // 0 full-bandwidth split, else layer switching (1: start at max)
};

// One spatial layer's description, layer 0 the largest.
struct SpatialProperty {
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t maxBitrate = 0;  // kbit/s
  int32_t minBitrate = 0;
  int32_t totalCap = 0;  // the whole stream's cap, the same in every entry
  int32_t restMax = 0;   // sum of maxBitrate of this and every smaller layer
  int32_t restMin = 0;
  double weight = 0.0;  // share of the bit rate relative to layer 0
};

// Macroblocks per frame from which 1, 2, 3, 4 spatial layers are used (ver1 with mode bit 18).
inline constexpr uint32_t slMB_ver0[4] = {0, 880, 3600, 8100};
inline constexpr uint32_t slMB_ver1[4] = {0, 880, 1600, 8100};

struct PresetStep {
  double scale;
  double factor;
};
// The four layers of a 8100-macroblock picture (1920x1080).
inline constexpr PresetStep preset0[4] = {{1.0, 1.0}, {1.5, 0.48}, {2.0, 0.4}, {2.0, 0.4}};

}  // namespace scalable_info

// One encoding layer: its codec, buffers and, for layers 1 and up, its encode thread.
class HX_VideoCodecSpatial : public HXThread {
 public:
  // The layer's codec comes from `factory` (never null). `source` is null for layer 0 (it encodes
  // the submitted picture itself); for the others it is the full format to scale from, and the
  // encode thread starts here.
  HX_VideoCodecSpatial(HX_VideoCodecFactory* factory, const HX_MediaFormat& format,
                       const HX_MediaFormat* source);
  // Stops and joins the encode thread.
  ~HX_VideoCodecSpatial() override;

  bool HasThread() const { return m_threaded; }
  // Encodes the input picture into the output buffer after the prefix (see the front-end).
  void Encode();

  std::shared_ptr<VideoCodecBase> codec;
  HX_MediaFormat format;
  HX_MediaFormat sourceFormat;  // all zero for layer 0
  HXEvent startEvent{true};
  HXEvent doneEvent{true};
  const unsigned char* input = nullptr;
  std::vector<unsigned char> scaled;  // layers 1 and up
  std::vector<unsigned char> output;  // width x height x 4 + 6
  int encodedSize = 0;
  bool keyFrame = false;
  uint8_t temporalId = 0;
  uint32_t state = 0;
  // This picture's scalability descriptor (1 or 6 bytes) and its length.
  uint8_t descriptor[6] = {};
  int descriptorLength = 0;

 protected:
  void Run() override;

 private:
  std::atomic<bool> m_stop{false};
  bool m_scales = false;
  bool m_threaded = false;
  HX_VideoProcessingBase m_processing;
};

class HX_VideoEncoderBase {
 public:
  HX_VideoEncoderBase() = default;
  virtual ~HX_VideoEncoderBase() = default;
  HX_VideoEncoderBase(const HX_VideoEncoderBase&) = delete;
  HX_VideoEncoderBase& operator=(const HX_VideoEncoderBase&) = delete;

  virtual bool IsValid() = 0;
  // Encodes one I420 picture of the current format (`size` bytes) on every layer and emits the
  // results; sets `sent` when at least one frame was emitted. A picture shorter than the current
  // format is ignored.
  virtual void OnReady2Compress(const unsigned char* picture, unsigned long size,
                                const HX_SendNhpVideoHeader* header, bool& sent) = 0;
  // Rebuilds the layers when the format or the screen-capture flag changed (an unchanged call
  // costs one comparison). A missing format, a zero code, a side outside 16 to 131072 or an area
  // above 8192 x 8192 releases.
  virtual void Reinit(const HX_MediaFormat* format, bool screenCapture) = 0;
  virtual void Release() = 0;
  // (bit rate, lower bandwidth, upper bandwidth in kbit/s, frame rate x 100); applied before the
  // next picture. A frame-rate factor of 0 is not applied until a non-zero one arrives.
  virtual void SetBitrate(int bitrate, int lowBandwidth, int upBandwidth, int fps100) = 0;
  // True when size, frame rate, code, hardware-codec field or the flag differ from the current.
  virtual bool CheckFormat(const HX_MediaFormat& format, bool screenCapture) = 0;
  virtual void Configure(const scalable_info::Config& config) = 0;
  // The base layer's size as width << 16 | height, 0 for none.
  virtual uint32_t GetResolutionBaseLayer() = 0;

  // Set by the creator before the first Reinit; not owned.
  void SetCodecFactory(HX_VideoCodecFactory* factory) { m_codecFactory = factory; }

  hx::Signal3<const unsigned char*, unsigned long, HX_SendNhpVideoHeader*> CompressedFrameSignal;

 protected:
  HX_VideoCodecFactory* m_codecFactory = nullptr;
};

class HX_VideoEncoder : public HX_VideoEncoderBase {
 public:
  HX_VideoEncoder();
  ~HX_VideoEncoder() override;

  bool IsValid() override { return m_valid; }
  void OnReady2Compress(const unsigned char* picture, unsigned long size,
                        const HX_SendNhpVideoHeader* header, bool& sent) override;
  void Reinit(const HX_MediaFormat* format, bool screenCapture) override;
  void Release() override;
  void SetBitrate(int bitrate, int lowBandwidth, int upBandwidth, int fps100) override;
  bool CheckFormat(const HX_MediaFormat& format, bool screenCapture) override;
  void Configure(const scalable_info::Config& config) override;
  uint32_t GetResolutionBaseLayer() override { return m_baseResolution.load(); }

  // One step of the full-bandwidth split for a layer in `state` given its share and minimum:
  // the next state; `forceKeyFrame` set when the layer must restart with a key frame, `dropped`
  // when its weight leaves the split (the rest is spread over the other layers), `apply` when the
  // codec gets a new rate.
  static uint32_t SplitStep(int share, int minBitrate, uint32_t state, bool& forceKeyFrame,
                            bool& dropped, bool& apply);

  // Read-only views for tests and diagnostics.
  const std::vector<scalable_info::SpatialProperty>& GetSpatialProperties() const {
    return m_spatial;
  }
  size_t GetLayerCountBuilt() const { return m_layers.size(); }
  const HX_VideoCodecSpatial* GetLayer(size_t i) const { return m_layers[i].get(); }
  HX_VideoCodecSpatial* GetLayer(size_t i) { return m_layers[i].get(); }
  uint32_t GetEffectiveMode() const { return m_svcMode; }
  bool IsSvcActive() const { return m_svcActive; }
  bool IsHighCapacity() const { return m_highCapacity; }
  int GetSvcLevel() const { return m_svcLevel; }
  int GetLayerCount() const { return m_layerCount; }
  int GetActiveLayerCount() const { return m_activeLayerCount; }
  int GetTemporalCount() const { return m_temporalCount; }
  double GetTotalWeight() const { return m_totalWeight; }
  bool GetForceKeyFrame() const { return m_forceKeyFrame; }
  const HX_MediaFormat& GetFormat() const { return m_format; }
  const scalable_info::Config& GetConfig() const { return m_config; }

 private:
  static bool Differs(const HX_MediaFormat& a, bool screenA, const HX_MediaFormat& b, bool screenB);
  void CheckScalableMode(uint32_t formatMode, uint32_t ownMode);
  void CheckLayersLimits(uint32_t mb);
  void FillSpatialDescription(uint32_t mb, uint32_t mbps);
  bool BuildLayer(size_t index);
  void UpdateBitrate();
  int GetBaseBandwidth(int low, int up, int rate) const;
  void ApplyLayerRate(HX_VideoCodecSpatial& layer, int64_t kbps, int fps);
  void FullBandwidthSplit(int bw, int rate, int fps);
  void LayerSwitching(int bw, int rate);
  void CheckSpatialLayers();
  void BuildDescriptor(HX_VideoCodecSpatial& layer, int position);

  scalable_info::Config m_config;
  std::mutex m_bitrateLock;
  bool m_valid = false;
  std::vector<std::unique_ptr<HX_VideoCodecSpatial>> m_layers;
  std::vector<scalable_info::SpatialProperty> m_spatial;
  HX_MediaFormat m_format;
  bool m_screenCapture = false;
  std::atomic<uint32_t> m_baseResolution{0};
  int m_fpsApplied = 0;
  int m_fps = 3000;
  int m_lowApplied = 0;
  int m_upApplied = 0;
  int m_rateApplied = 0;
  int m_low = 384;
  int m_up = 384;
  int m_rate = 568;
  int m_activeLayerCount = 1;
  int m_layerCount = 1;
  int m_temporalCount = 1;
  int m_deadlineMode = 0;
  int m_cpuUsed = -14;
  uint32_t m_svcMode = 0;
  bool m_svcActive = false;
  bool m_highCapacity = false;
  int m_svcLevel = 0;
  double m_totalWeight = 1.0;
  bool m_forceKeyFrame = false;
  // Layer 0's codec's rewrite of the mode word, applied once every layer is built.
  uint32_t m_pendingMode = 0;
  bool m_hasPendingMode = false;
  // The last format whose layers could not be built (a stub codec, a failed init).
  bool m_failed = false;
  HX_MediaFormat m_failedFormat;
  bool m_failedScreen = false;
};
