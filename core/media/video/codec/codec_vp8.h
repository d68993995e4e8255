#pragma once
// The VP8 encoder and decoder over libvpx: the two directions of HXCodecVP8 (HXCodecVP8Encoder,
// HXCodecVP8Decoder), both VideoCodecBase with the code VP8.
//
// Encoder. Takes packed I420 pictures of the size it was opened with (width x height luma bytes,
// then the U and V planes of width / 2 x height / 2 each). On top of libvpx it runs five temporal
// patterns selected by the options' temporalMode (first bit of 0x1000, 0x800, 0x200, 0x400, 0x100
// → pattern 16, 8, 4, 2, 1): each picture gets the pattern's reference flags and reports the
// pattern's temporal layer id; a requested key frame restarts the pattern. Patterns 4 and 1 keep
// libvpx at one layer (libvpx refuses a layer count of 0) and differ only in their per-frame flags.
// Output bound: _convert writes at most 3 x width x height bytes. A frame whose data would not fit
// is dropped (0 answered, nothing written) and the next picture is encoded as a key frame.
//
// Decoder. Decodes one VP8 frame of inputSize bytes per call. It copies out only pictures of the
// width and height it was opened with, as packed I420 with chroma planes of (width + 1) / 2 x
// (height + 1) / 2, and answers the bytes written: OutputBytes(width, height), which is
// width x height x 3 / 2 for even sizes. A picture of another size answers 0 and writes nothing
// (a size change reopens the decoder through its front-end before the key frame of the new size);
// so does a frame that fails to decode, whatever bytes the peer sent.
//
// Every libvpx failure becomes a false or 0 answer. Thread safety: one thread at a time per
// instance, except setBitrate (see video_codec.h).

#include <vpx/vpx_decoder.h>
#include <vpx/vpx_encoder.h>
#include <vpx/vpx_image.h>

#include <cstddef>
#include <cstdint>

#include "core/media/video/codec/video_codec.h"

namespace hx::codec {
enum type : int32_t {
  encoder = 0,
  decoder = 1,
};
}  // namespace hx::codec

template <hx::codec::type Direction>
class HXCodecVP8;

template <>
class HXCodecVP8<hx::codec::encoder> : public VideoCodecBase {
 public:
  HXCodecVP8();
  ~HXCodecVP8() override;

  bool _setBitrate(uint32_t bitrate) override;
  bool _setCoderOption(const HX_VideoCoderOptions* options) override;
  bool _getCoderOption(HX_VideoCoderOptions* options) override;
  bool _setSVCMode(uint32_t& mode) override;
  int _convert(const unsigned char* input, unsigned char* output,
               HX_VideoCodecParam& param) override;
  bool init(const HX_VideoCoderOptions* options, uint32_t reserved) override;
  void release() override;

  // Read-only views for tests and diagnostics: the configuration last handed to libvpx (the
  // temporal targets live only there), the active pattern (0 none), and the encode flags of the
  // last picture.
  const vpx_codec_enc_cfg_t& storedConfig() const { return cfg_; }
  uint32_t patternId() const { return pattern_id_; }
  long lastEncodeFlags() const { return last_flags_; }

 private:
  // Writes the options' key-frame, rate-control and pattern fields into cfg_ (the part shared by
  // init and _setCoderOption).
  void ApplyOptions(const HX_VideoCoderOptions& options);
  void ApplyPattern(uint32_t temporalMode);

  vpx_codec_ctx_t* ctx_;
  vpx_image_t* image_ = nullptr;
  vpx_codec_enc_cfg_t cfg_{};
  uint32_t luma_size_ = 0;
  uint32_t deadline_ = 1;
  uint32_t static_threshold_ = 800;
  int32_t speed_ = -4;
  uint8_t option_byte_ = 0;
  uint32_t pattern_id_ = 0;
  bool temporal_layering_ = false;
  uint64_t pts_ = 0;
  uint64_t pattern_pos_ = 0;
  // Set when a frame was dropped for want of room: the next picture is a key frame.
  bool key_pending_ = false;
  long last_flags_ = 0;
};

template <>
class HXCodecVP8<hx::codec::decoder> : public VideoCodecBase {
 public:
  HXCodecVP8();
  ~HXCodecVP8() override;

  bool _setBitrate(uint32_t) override { return isValid(); }
  bool _setCoderOption(const HX_VideoCoderOptions*) override { return isValid(); }
  bool _getCoderOption(HX_VideoCoderOptions*) override { return false; }
  bool _setSVCMode(uint32_t&) override { return false; }
  int _convert(const unsigned char* input, unsigned char* output,
               HX_VideoCodecParam& param) override;
  bool init(const HX_VideoCoderOptions* options, uint32_t reserved) override;
  void release() override;

  // The bytes of a packed I420 picture of that size with rounded-up chroma planes: what the
  // decoder writes for a picture of its opened size (0 for a size that is not positive).
  static size_t OutputBytes(int width, int height);
  int width() const { return width_; }
  int height() const { return height_; }

 private:
  vpx_codec_ctx_t* ctx_ = nullptr;
  int width_ = 0;
  int height_ = 0;
};

using HXCodecVP8Encoder = HXCodecVP8<hx::codec::encoder>;
using HXCodecVP8Decoder = HXCodecVP8<hx::codec::decoder>;
