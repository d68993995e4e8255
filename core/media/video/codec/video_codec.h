#pragma once
// VideoCodecBase is one video encoder or decoder of one codec, named by its four-character code
// (HX_MediaFormat::kCodec*). Users get codecs from an HX_VideoCodecFactory (video_codec_factory.h)
// and drive them in this order: init with an options record (valid on success) → any number of
// convert calls, with setBitrate, setSVCMode and setCoderOption in between → release → destroy
// (the concrete destructors release).
//
// Bit rate: setBitrate only records the wanted rate; convert offers it to the codec (_setBitrate)
// before coding. A rate the codec refuses stays pending and is offered again before every picture.
//
// Output room: _convert has no capacity argument. Each concrete codec documents the bound of what
// it writes for the size it was opened with, and never writes more (see codec_vp8.h).
//
// Thread safety: a codec is driven by one thread at a time. setBitrate (and getBitrate) may be
// called from another thread: the requested rate is an atomic that the coding thread reads.

#include <atomic>
#include <cstdint>

namespace hx_vfactory_defs {

// The codec type handed to every creator. The encoder side passes software for a format without a
// hardware codec and hardware otherwise; the decoder side software or any. No creator here reads
// it.
enum eTypeCodec : int32_t {
  eTypeCodecAny = 0,
  eTypeCodecSoftware = 1,
  eTypeCodecHardware = 2,
};

// The kind of hardware codec: 0 none; 1 to 19 camera-hosted hardware encoders (their bit rate is
// in kbit/s without frame-rate scaling, see HX_VideoCodecFactory::IsWebcamHardware).
enum eHardwareCodec : uint32_t {
  eHardwareCodecNone = 0,
};

}  // namespace hx_vfactory_defs

// The per-call record of convert. Every caller zeroes it before use.
struct HX_VideoCodecParam {
  // Encoder input: 0 asks for a key frame, 1 for an ordinary frame. Decoder output: bit 0 set asks
  // the sender for a key frame.
  uint32_t request = 0;
  // Decoder input: bytes of compressed data.
  uint32_t inputSize = 0;
  // Decoder input: non-zero decodes without copying the picture out.
  uint32_t noOutput = 0;
  // Encoder output: non-zero when the frame written is a key frame.
  uint32_t keyFrame = 0;
  // Encoder output: the low byte receives the frame's temporal layer id.
  uint32_t layerInfo = 0;
  uint32_t reserved = 0;
};

// The options read by init and _setCoderOption and written by _getCoderOption. A caller zeroes the
// record and sets what it needs.
struct HX_VideoCoderOptions {
  int32_t width = 0;
  int32_t height = 0;
  int32_t timeBase = 0;             // codec clock ticks per second; a picture is one tick
  int32_t bitrate = 0;              // kbit/s at the codec clock
  int32_t constantBitrate = 0;      // non-zero: constant-bit-rate control
  int32_t keyFrameMaxDistance = 0;  // pictures
  int32_t threads = 0;
  int32_t lagFrames = 0;     // look-ahead + 1 (0 and 1: none)
  int32_t deadlineMode = 0;  // 0 real time, 1 good quality, 2 best quality, else a deadline
  int32_t cpuUsed = 0;       // speed setting
  int32_t staticThreshold = 0;
  int32_t errorResilient = 0;
  int32_t postProcessing = 0;  // decoders: 1 switches post-processing on
  int32_t autoKeyFrames = 0;   // non-zero: the codec may place key frames itself
  int32_t temporalMode = 0;    // temporal pattern bits 0x100, 0x200, 0x400, 0x800, 0x1000
  uint8_t layerOption = 0;     // per-layer option byte
};

class VideoCodecBase {
 public:
  VideoCodecBase(uint32_t fcc, bool coder);
  virtual ~VideoCodecBase();
  VideoCodecBase(const VideoCodecBase&) = delete;
  VideoCodecBase& operator=(const VideoCodecBase&) = delete;

  // Applies a bit rate to the open codec; false when refused.
  virtual bool _setBitrate(uint32_t bitrate) = 0;
  virtual bool _setCoderOption(const HX_VideoCoderOptions* options) = 0;
  virtual bool _getCoderOption(HX_VideoCoderOptions* options) = 0;
  // Applies an SVC mode word; the codec may rewrite it to what it applied.
  virtual bool _setSVCMode(uint32_t& mode) = 0;
  // Encodes one picture or decodes one frame; the bytes written to output (0: nothing produced).
  virtual int _convert(const unsigned char* input, unsigned char* output,
                       HX_VideoCodecParam& param) = 0;
  // Opens the codec (`reserved` is always 0); true and valid on success.
  virtual bool init(const HX_VideoCoderOptions* options, uint32_t reserved) = 0;
  virtual void release() = 0;

  // updateBiterate, then _convert. The only coding entry of the front-ends.
  int convert(const unsigned char* input, unsigned char* output, HX_VideoCodecParam& param);
  // For an encoder with a pending rate, offers it to _setBitrate; the applied rate follows when
  // accepted. True when nothing was pending, for decoders, and when applied; false when refused
  // (the request stays pending).
  bool updateBiterate();
  // Records the wanted rate; applied at the next convert. Always true.
  bool setBitrate(uint32_t bitrate);
  uint32_t getBitrate() const { return requested_.load(std::memory_order_relaxed); }
  uint32_t getRecommendedBitrate() const { return getBitrate(); }
  // The rate the codec last accepted (0 until then).
  uint32_t getAppliedBitrate() const { return applied_; }
  bool setCoderOption(const HX_VideoCoderOptions* options) { return _setCoderOption(options); }
  bool getCoderOption(HX_VideoCoderOptions* options) { return _getCoderOption(options); }
  bool setSVCMode(uint32_t& mode) { return _setSVCMode(mode); }

  bool isCoder() const { return coder_; }
  bool isValid() const { return valid_; }
  uint32_t getFcc() const { return fcc_; }
  // Applied rate 0, requested 128, frame counter 0.
  void reset();
  // Answers the frame counter, then advances it.
  uint64_t GetNextFrame() { return frame_counter_++; }

 protected:
  void validate(bool valid) { valid_ = valid; }

 private:
  static constexpr uint32_t kInitialBitrate = 128;

  const bool coder_;
  const uint32_t fcc_;
  bool valid_ = false;
  uint32_t applied_ = 0;
  std::atomic<uint32_t> requested_{kInitialBitrate};
  uint64_t frame_counter_ = 0;
};

// The do-nothing codec for every code a factory cannot build: init fails, convert produces nothing,
// every other operation answers false. Its code is 0.
class VideoCodecStub : public VideoCodecBase {
 public:
  explicit VideoCodecStub(bool coder) : VideoCodecBase(0, coder) {}
  bool _setBitrate(uint32_t) override { return false; }
  bool _setCoderOption(const HX_VideoCoderOptions*) override { return false; }
  bool _getCoderOption(HX_VideoCoderOptions*) override { return false; }
  bool _setSVCMode(uint32_t&) override { return false; }
  int _convert(const unsigned char*, unsigned char*, HX_VideoCodecParam&) override { return 0; }
  bool init(const HX_VideoCoderOptions*, uint32_t) override { return false; }
  void release() override {}
};
