#include "core/media/video/codec/video_codec_factory.h"

#include "core/media/video/codec/codec_ffmpeg.h"
#include "core/media/video/codec/codec_vp8.h"
#include "core/wire/media_format.h"

using hx_vfactory_defs::eHardwareCodec;
using hx_vfactory_defs::eTypeCodec;

HX_VideoCodecFactory::HX_VideoCodecFactory()
    : fourcc_{HX_MediaFormat::kCodecVP8, HX_MediaFormat::kCodecH264} {}

HX_VideoCodecFactory::~HX_VideoCodecFactory() = default;

std::shared_ptr<VideoCodecBase> HX_VideoCodecFactory::CreateEncoder(uint32_t fcc, eTypeCodec type) {
  VideoCodecBase* codec = nullptr;
  // Each case calls the creator through the virtual table, so overrides are used.
  switch (fcc) {
    case HX_MediaFormat::kCodecVP8:
      codec = CreateEncoderVP8(type);
      break;
    case HX_MediaFormat::kCodecVP9:
      codec = CreateEncoderVP9(type);
      break;
    case HX_MediaFormat::kCodecH261:
      codec = CreateEncoderH261(type);
      break;
    case HX_MediaFormat::kCodecH263:
      codec = CreateEncoderH263(type);
      break;
    case HX_MediaFormat::kCodecH264:
      codec = CreateEncoderH264(type);
      break;
    case HX_MediaFormat::kCodecH265:
      codec = CreateEncoderH265(type);
      break;
    case HX_MediaFormat::kCodecH263Plus:
      codec = CreateEncoderH263P(type);
      break;
    case HX_MediaFormat::kCodecVP8Stereo:
      codec = CreateEncoderVP8Stereo(type);
      break;
    default:
      codec = CreateEncoderStub();
      break;
  }
  // A subclass creator that answers null still leaves the caller a codec to talk to.
  if (!codec) codec = new VideoCodecStub(true);
  return std::shared_ptr<VideoCodecBase>(codec);
}

std::shared_ptr<VideoCodecBase> HX_VideoCodecFactory::CreateDecoder(uint32_t fcc, eTypeCodec type) {
  VideoCodecBase* codec = nullptr;
  switch (fcc) {
    case HX_MediaFormat::kCodecVP8:
      codec = CreateDecoderVP8(type);
      break;
    case HX_MediaFormat::kCodecVP9:
      codec = CreateDecoderVP9(type);
      break;
    case HX_MediaFormat::kCodecH261:
      codec = CreateDecoderH261(type);
      break;
    case HX_MediaFormat::kCodecH263:
      codec = CreateDecoderH263(type);
      break;
    case HX_MediaFormat::kCodecH264:
      codec = CreateDecoderH264(type);
      break;
    case HX_MediaFormat::kCodecH265:
      codec = CreateDecoderH265(type);
      break;
    case HX_MediaFormat::kCodecH263Plus:
      codec = CreateDecoderH263P(type);
      break;
    case HX_MediaFormat::kCodecVP8Stereo:
      codec = CreateDecoderVP8Stereo(type);
      break;
    default:
      codec = CreateDecoderStub();
      break;
  }
  if (!codec) codec = new VideoCodecStub(false);
  return std::shared_ptr<VideoCodecBase>(codec);
}

std::set<uint32_t> HX_VideoCodecFactory::GetFourcc() { return fourcc_; }

void HX_VideoCodecFactory::AddSupportFourcc(uint32_t fcc) { fourcc_.insert(fcc); }

bool HX_VideoCodecFactory::IsWebcamHardware(eHardwareCodec kind) { return kind >= 1 && kind <= 19; }

bool HX_VideoCodecFactory::IsSupportHardwareEncoder(uint32_t) { return false; }
bool HX_VideoCodecFactory::IsSupportHardwareDecoder(uint32_t) { return false; }
bool HX_VideoCodecFactory::IsSupportHardwareEncoder(uint32_t, uint8_t& kind) {
  kind = 0;
  return false;
}
bool HX_VideoCodecFactory::IsSupportHardwareDecoder(uint32_t, uint8_t& kind) {
  kind = 0;
  return false;
}
bool HX_VideoCodecFactory::IsSupportHardware(uint32_t, bool, bool, eHardwareCodec& kind) {
  kind = hx_vfactory_defs::eHardwareCodecNone;
  return false;
}
bool HX_VideoCodecFactory::IsSupportHardwarePref(uint32_t, bool, bool, eHardwareCodec) {
  return false;
}
bool HX_VideoCodecFactory::IsSupportLowPowerMode(uint32_t, bool, eHardwareCodec) { return false; }
void HX_VideoCodecFactory::ForceHardwareEncoder(eHardwareCodec) {}
void HX_VideoCodecFactory::ForceHardwareDecoder(eHardwareCodec) {}

VideoCodecBase* HX_VideoCodecFactory::CreateEncoderStub() { return new VideoCodecStub(true); }
VideoCodecBase* HX_VideoCodecFactory::CreateDecoderStub() { return new VideoCodecStub(false); }
VideoCodecBase* HX_VideoCodecFactory::CreateEncoderVP8(eTypeCodec) { return new HXCodecVP8Encoder; }
VideoCodecBase* HX_VideoCodecFactory::CreateDecoderVP8(eTypeCodec) { return new HXCodecVP8Decoder; }
// H.264 decoding: libavcodec's software decoder.
VideoCodecBase* HX_VideoCodecFactory::CreateDecoderH264(eTypeCodec) {
  return new VideoCodecFFmpeg(HX_MediaFormat::kCodecH264, false, true, 0);
}
VideoCodecBase* HX_VideoCodecFactory::CreateEncoderH264(eTypeCodec) { return CreateEncoderStub(); }

// Codecs this factory has no library for: the stub of the same direction, through the virtual
// table so that an overridden stub creator serves them too.
#define HX_STUB_CREATORS(name)                                            \
  VideoCodecBase* HX_VideoCodecFactory::CreateEncoder##name(eTypeCodec) { \
    return CreateEncoderStub();                                           \
  }                                                                       \
  VideoCodecBase* HX_VideoCodecFactory::CreateDecoder##name(eTypeCodec) { \
    return CreateDecoderStub();                                           \
  }
HX_STUB_CREATORS(VP9)
HX_STUB_CREATORS(H265)
HX_STUB_CREATORS(H263)
HX_STUB_CREATORS(H263P)
HX_STUB_CREATORS(H261)
HX_STUB_CREATORS(VP8Stereo)
#undef HX_STUB_CREATORS
