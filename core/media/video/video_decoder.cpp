#include "core/media/video/video_decoder.h"

#include <limits>

#include "core/media/video/bitstream/media_probe.h"
#include "core/media/video/codec/video_codec_factory.h"

HX_VideoDecoder::HX_VideoDecoder() { m_format.Clear(); }

HX_VideoDecoder::~HX_VideoDecoder() = default;

uint64_t HX_VideoDecoder::PictureBufferBytes(uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) return 0;
  const uint64_t w = width;
  const uint64_t h = height;
  return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2) + 6;
}

void HX_VideoDecoder::Reinit(const HX_MediaFormat& format) {
  // The size comes from the peer's bitstream: a side of 0 or beyond what any capture path sends
  // is refused, and the decoder keeps its codec and buffer.
  if (format.width == 0 || format.height == 0) return;
  if (format.width > kMaxSide || format.height > kMaxSide) return;
  m_format.stereo = format.stereo;
  if (format.width == m_format.width && format.height == m_format.height &&
      format.videoCodec == m_format.videoCodec && format.hardwareCodec == m_format.hardwareCodec) {
    return;
  }
  Release();
  if (m_codecFactory == nullptr) return;
  std::shared_ptr<VideoCodecBase> codec = m_codecFactory->CreateDecoder(
      format.videoCodec, format.hardwareCodec == 0 ? hx_vfactory_defs::eTypeCodecSoftware
                                                   : hx_vfactory_defs::eTypeCodecAny);
  m_codec = codec;
  if (!m_codec) return;

  HX_VideoCoderOptions options;
  options.width = static_cast<int32_t>(format.width);
  options.height = static_cast<int32_t>(format.height);
  options.timeBase = 10;
  options.bitrate = static_cast<int32_t>(m_codec->getRecommendedBitrate());
  options.threads = 1;

  m_picture.assign(PictureBufferBytes(format.width, format.height), 0);
  m_codec->init(&options, 0);
  m_format = format;
}

void HX_VideoDecoder::ChangeFormat(const HX_MediaFormat& format) {
  HX_MediaFormat changed(format);
  changed.hardwareCodec = m_format.hardwareCodec;
  Reinit(changed);
}

void HX_VideoDecoder::Release() {
  m_format.Clear();
  std::vector<unsigned char>().swap(m_picture);
}

void HX_VideoDecoder::Configure(int first, int second) {
  m_config[0] = first;
  m_config[1] = second;
}

bool HX_VideoDecoder::AnnouncesLargerPicture(const unsigned char* bitstream,
                                             uint32_t length) const {
  if (length > static_cast<uint32_t>(std::numeric_limits<int>::max())) return true;
  int width = 0;
  int height = 0;
  unsigned fourcc = 0;
  int frames = 0;
  if (HX_ProbeMediaFormat(bitstream, static_cast<int>(length), width, height, fourcc, frames) != 0) {
    return false;
  }
  return static_cast<uint32_t>(width) > m_format.width ||
         static_cast<uint32_t>(height) > m_format.height;
}

void HX_VideoDecoder::OnReady2Decompress(const unsigned char* frame, unsigned long size,
                                         bool skip) {
  if (!m_codec || m_picture.empty() || !m_codec->isValid()) return;
  // The size is the network's: a frame that is no more than its receive header has no bitstream
  // (and size - 5 would wrap).
  if (frame == nullptr || size <= HX_RecvNhpVideoHeader::kSize) return;
  const unsigned long payload = size - HX_RecvNhpVideoHeader::kSize;
  if (payload > std::numeric_limits<uint32_t>::max()) return;

  const unsigned char* bitstream = frame + HX_RecvNhpVideoHeader::kSize;
  if (AnnouncesLargerPicture(bitstream, static_cast<uint32_t>(payload))) {
    // The codec would allocate whatever the peer announces (16383 x 16383 for VP8) before it
    // fails: such a frame is dropped, and without it the stream needs a new key frame.
    RequestKeyFrameSignal.Emit();
    return;
  }

  HX_VideoCodecParam param;
  param.inputSize = static_cast<uint32_t>(payload);
  param.noOutput = skip ? 1 : 0;
  const int result = m_codec->convert(bitstream, m_picture.data(), param);
  if (result > 0 && !skip) {
    DecodedPictureSignal.Emit(m_picture.data(), static_cast<unsigned long>(result), m_format.width,
                              m_format.height, m_format.videoCodec);
  }
  if ((param.request & 1) != 0) RequestKeyFrameSignal.Emit();
}
