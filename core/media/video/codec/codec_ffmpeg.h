#pragma once
// The H.26x codecs over FFmpeg's libavcodec (5.x, the send-and-receive API), in three layers:
//   FF_VideoCodec     one libavcodec encoder or decoder context, converting between packed I420
//                     pictures and libavcodec frames;
//   FfmpegHwDecoder   the same for a decoder on a hardware device of the platform (VAAPI here);
//   VideoCodecFFmpeg  the VideoCodecBase adapter the codec factories hand out.
//
// Encoder. Takes packed I420 pictures of its opened size (even width and height). Real time: one
// packet per picture from the first, no B-frames and no look-ahead; H.264 runs on libx264 with its
// zero-latency tuning, a fast preset and no scene-cut key frames, so key frames come from the
// group length (300) and from requests only. Output bound: Encode writes at most
// 3 x width x height bytes; a larger packet is dropped (0 answered, nothing written) and the next
// picture is made a key frame.
//
// Decoder. Decodes one packet of `length` bytes per call into a packed I420 picture of its opened
// size (width x height luma bytes, then U and V of width / 2 x height / 2), whatever format the
// stream decodes to (4:2:2, 4:4:4, high bit depth and monochrome pictures are converted with
// libswscale). A picture of another size than the opened one is never copied: it answers 0 bytes
// with a black picture written, as a packet that yields no picture does (the receive side learns a
// new size from its key-frame format check). Nothing is ever written past the opened size.
//
// Bit rate. avcodec_set_bitrate changes the rate of an open encoder: libx264 is reconfigured
// between pictures; the MPEG-video encoders (H.261, H.263, H.263+) ignore a new rate once open, so
// a new context is opened with the new rate and the old settings (its first picture is intra).
//
// FFmpeg 5 serialises its own global sections and registers its codecs itself: no lock manager
// and no registration call are needed before codecs open and close on several threads.
//
// Every library failure becomes -1 or -2 in the wrapper and 0 bytes or false in the adapter.
// Thread safety: one thread at a time per instance, except setBitrate (see video_codec.h).

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
}

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/media/video/codec/video_codec.h"

struct SwsContext;

// libavcodec codec identifiers of the system's codes.
enum FF_VCodecID : int {
  FF_VCodecNone = AV_CODEC_ID_NONE,
  FF_VCodecH261 = AV_CODEC_ID_H261,
  FF_VCodecH263 = AV_CODEC_ID_H263,
  FF_VCodecH263P = AV_CODEC_ID_H263P,
  FF_VCodecH264 = AV_CODEC_ID_H264,
  FF_VCodecVP8 = AV_CODEC_ID_VP8,
  FF_VCodecVP9 = AV_CODEC_ID_VP9,
  FF_VCodecHEVC = AV_CODEC_ID_HEVC,
};

// VP8 → 139, VP9 → 167, H.261 → 3, H.263 → 4, H.264 → 27, H.265 → 173, H.263+ → 19; every other
// code (VP8 stereo included) → 0.
FF_VCodecID FourccToAVCodecID(uint32_t fcc);

// Changes the bit rate of an open encoder to kbit/s × 1024 bit/s. 0 on success; -1 for decoders,
// closed contexts, encoders without a rate change (VP8 among them) and failures. For libx264 the
// maximum rate becomes (int)(b × 1.2) with a one-second buffer at that rate, applied from the next
// picture. For the MPEG-video encoders `context` is replaced by a newly opened one (the old one is
// freed; on failure it is kept as it was).
int avcodec_set_bitrate(AVCodecContext*& context, int kbps);

// The MPEG-video rate arithmetic: x := b / (width × height) (single precision) and the
// i_quant_factor for it (2.4 outside 0..5.86, else a fifth-degree polynomial in x).
float MpvRateLoad(int64_t bitrate, int width, int height);
float MpvIQuantFactor(float x);

class FF_VideoCodec {
 public:
  FF_VideoCodec(FF_VCodecID id, bool encoder);
  virtual ~FF_VideoCodec();
  FF_VideoCodec(const FF_VideoCodec&) = delete;
  FF_VideoCodec& operator=(const FF_VideoCodec&) = delete;

  // Opens a fresh context for width × height (even, 2..8192). Encoders: time base 1 / frameRate,
  // group 300, no B-frames, qmin 3, 128000 bit/s capped at 153600 with a w × h × 3 / 2 buffer;
  // for H.263+ option bits 2, 4, 8 switch on four motion vectors, AC prediction, loop filter.
  // 0 or -1. An open codec is released first.
  virtual int Init(int width, int height, int options, int frameRate);
  virtual void Release();
  // Decodes one packet into output (room for width × height × 3 / 2 bytes of the opened size).
  // The picture's bytes; 0 with a black picture when no picture of the opened size came out; -2
  // when the library rejects the packet; -1 when not open.
  virtual int Decode(const unsigned char* input, unsigned char* output, int length);
  // Encodes one packed I420 picture into output (room for 3 × width × height bytes); forceKey
  // makes it a key frame. The packet's bytes (key := its key-frame flag), or 0.
  int Encode(const unsigned char* picture, unsigned char* output, bool forceKey, bool& key);
  // avcodec_set_bitrate on the open context; -1 when closed. Before the first picture, libx264 is
  // opened again at the new rate instead (its average-rate control would take many seconds to
  // climb from the opening rate).
  int SetBitrate(int kbps);

  bool isOpen() const { return open_; }
  bool isEncoder() const { return encoder_; }
  int width() const { return width_; }
  int height() const { return height_; }
  // The bytes Encode may write at most: 3 × width × height.
  size_t EncodeCapacity() const { return static_cast<size_t>(width_) * height_ * 3; }
  // Read-only view for tests and diagnostics (null when no codec exists for the identifier).
  const AVCodecContext* context() const { return ctx_; }

 protected:
  // Copies the input into the reusable padded buffer and hands it to the decoder as one packet.
  int SendPacket(const unsigned char* input, int length);
  // Writes `frame` packed as I420 at the opened size (converting other formats); false (nothing
  // written) when its size differs or it cannot be converted.
  bool CopyOut(const AVFrame* frame, unsigned char* output);
  void FillBlack(unsigned char* output) const;
  // Allocates ctx_ for codec_ (freeing an old one); false when impossible.
  bool NewContext();

  const AVCodec* codec_ = nullptr;
  AVCodecContext* ctx_ = nullptr;
  AVFrame* frame_ = nullptr;
  bool encoder_;
  bool open_ = false;
  FF_VCodecID id_;
  int width_ = 0;
  int height_ = 0;

 private:
  AVPacket* packet_ = nullptr;
  std::vector<unsigned char> input_;  // input copy with AV_INPUT_BUFFER_PADDING_SIZE zero bytes
  SwsContext* sws_ = nullptr;
  int64_t pts_ = 0;
  int options_ = 0;
  int fps_ = 0;
  // A rate to open libx264 with instead of the defaults (set while SetBitrate reopens it).
  int64_t first_rate_ = 0;
  bool key_pending_ = false;
};

// A decoder on the platform's hardware device type (VAAPI on Linux). Init answers -1 when the
// decoder has no configuration for that device or the device cannot be opened. Decode answers -2
// whenever no frame is ready (the first packets while the device buffers): 0 bytes, not a black
// picture, through the adapter.
class FfmpegHwDecoder : public FF_VideoCodec {
 public:
  explicit FfmpegHwDecoder(FF_VCodecID id, AVHWDeviceType type = PlatformDeviceType());
  ~FfmpegHwDecoder() override;

  int Init(int width, int height, int options, int frameRate) override;
  void Release() override;
  int Decode(const unsigned char* input, unsigned char* output, int length) override;

  static AVHWDeviceType PlatformDeviceType() { return AV_HWDEVICE_TYPE_VAAPI; }
  int hwPixelFormat() const { return hw_pix_fmt_; }

 private:
  AVFrame* transfer_ = nullptr;
  int hw_pix_fmt_ = -1;
  AVBufferRef* device_ = nullptr;
  AVHWDeviceType type_;
};

class VideoCodecFFmpeg : public VideoCodecBase {
 public:
  // An encoder wraps an FF_VideoCodec encoder; a decoder the software FF_VideoCodec decoder when
  // `software`, else an FfmpegHwDecoder. `option` goes to the wrapper's Init as option bits.
  VideoCodecFFmpeg(uint32_t fcc, bool coder, bool software, int option);
  ~VideoCodecFFmpeg() override;

  bool _setBitrate(uint32_t bitrate) override;
  bool _setCoderOption(const HX_VideoCoderOptions*) override { return isValid(); }
  bool _getCoderOption(HX_VideoCoderOptions*) override { return isValid(); }
  bool _setSVCMode(uint32_t&) override { return isValid(); }
  // Encoder: param.request 0 forces a key frame; param.keyFrame := the packet's key flag. Decoder:
  // decodes param.inputSize bytes. The bytes written, negatives as 0.
  int _convert(const unsigned char* input, unsigned char* output,
               HX_VideoCodecParam& param) override;
  bool init(const HX_VideoCoderOptions* options, uint32_t reserved) override;
  void release() override;

  const FF_VideoCodec* wrapper() const { return codec_; }

 private:
  FF_VideoCodec* codec_ = nullptr;
  int option_;
};
