#pragma once
// The receiving side's decoder front-end. HX_VideoDecoderBase is the interface the receive stream
// drives; HX_VideoDecoder decodes with a codec from the codec factory it is given.
//
// A received frame is the 5-byte HX_RecvNhpVideoHeader (recv_video_header.h) followed by the
// bitstream. OnReady2Decompress hands the bitstream to the codec, which writes an I420 picture
// into the front-end's picture buffer; a picture is emitted through DecodedPictureSignal
// (picture, bytes, width, height, four-character code of the format). When the codec asks for a
// key frame (bit 0 of its request field), RequestKeyFrameSignal is emitted, also for frames
// decoded with the skip flag, which emit no picture.
//
// The format (size, code, hardware-codec field) comes from the peer's bitstream; Reinit refuses a
// side of 0 or above kMaxSide and keeps what it had. The picture buffer is sized for what the
// codecs may write for the opened size (I420 with rounded-up chroma planes), so an odd size does
// not overrun it. Frames of 5 bytes or fewer carry no bitstream and are ignored. A frame whose
// bitstream announces a key frame larger than the opened size (whatever its header says) is not
// decoded: a key frame is asked for instead.
//
// Thread safety: one thread at a time (the receive stream's); signals are emitted on it, without
// a lock.

#include <cstdint>
#include <memory>
#include <vector>

#include "core/base/signal.h"
#include "core/media/video/codec/video_codec.h"
#include "core/media/video/recv_video_header.h"
#include "core/wire/media_format.h"

class HX_VideoCodecFactory;

class HX_VideoDecoderBase {
 public:
  HX_VideoDecoderBase() = default;
  virtual ~HX_VideoDecoderBase() = default;
  HX_VideoDecoderBase(const HX_VideoDecoderBase&) = delete;
  HX_VideoDecoderBase& operator=(const HX_VideoDecoderBase&) = delete;

  // Decodes one frame (receive header included) of `size` bytes; with `skip` no picture is
  // copied out or emitted.
  virtual void OnReady2Decompress(const unsigned char* frame, unsigned long size, bool skip) = 0;
  // Opens a codec for the format when size, code or hardware-codec field changed.
  virtual void Reinit(const HX_MediaFormat& format) = 0;
  // Drops the stored format and the picture buffer; the codec stays until the next Reinit.
  virtual void Release() = 0;
  // Reinit with the format but the decoder's current hardware-codec field.
  virtual void ChangeFormat(const HX_MediaFormat& format) = 0;
  // Stores two values that nothing reads.
  virtual void Configure(int first, int second) = 0;

  // Set by the creator before the first Reinit; not owned.
  void SetCodecFactory(HX_VideoCodecFactory* factory) { m_codecFactory = factory; }
  HX_VideoCodecFactory* GetCodecFactory() const { return m_codecFactory; }

  // (picture, bytes, width, height, four-character code)
  hx::Signal5<const unsigned char*, unsigned long, unsigned, unsigned, unsigned>
      DecodedPictureSignal;
  hx::Signal0<> RequestKeyFrameSignal;

 protected:
  HX_VideoCodecFactory* m_codecFactory = nullptr;
};

class HX_VideoDecoder : public HX_VideoDecoderBase {
 public:
  // The largest side a format may have; the encoder side's capture path never goes beyond it.
  static constexpr uint32_t kMaxSide = 8192;

  HX_VideoDecoder();
  ~HX_VideoDecoder() override;

  void OnReady2Decompress(const unsigned char* frame, unsigned long size, bool skip) override;
  void Reinit(const HX_MediaFormat& format) override;
  void Release() override;
  void ChangeFormat(const HX_MediaFormat& format) override;
  void Configure(int first, int second) override;

  // The bytes of the picture buffer for a format of that size: an I420 picture with chroma planes
  // of (width + 1) / 2 x (height + 1) / 2, plus 6 bytes (0 for a side that is 0).
  static uint64_t PictureBufferBytes(uint32_t width, uint32_t height);

  const HX_MediaFormat& GetFormat() const { return m_format; }
  const std::shared_ptr<VideoCodecBase>& GetCodec() const { return m_codec; }
  size_t GetPictureBufferSize() const { return m_picture.size(); }

 private:
  // Whether the bitstream is a key frame announcing a side above the opened format's.
  bool AnnouncesLargerPicture(const unsigned char* bitstream, uint32_t length) const;
  std::shared_ptr<VideoCodecBase> m_codec;
  HX_MediaFormat m_format;
  std::vector<unsigned char> m_picture;
  int m_config[2] = {0, -14};
};
