#include "sdk/bridge/ios_vc_factory.h"

#include "core/media/video/codec/codec_ffmpeg.h"
#include "core/wire/media_format.h"
#include "sdk/bridge/hx_core.h"

using hx_vfactory_defs::eHardwareCodec;
using hx_vfactory_defs::eTypeCodec;

IOS_VCFactory::IOS_VCFactory(HXCore* core) : core_(core) {}

bool IOS_VCFactory::UseHardware() const { return core_ && core_->UseHwH264Codec(); }

bool IOS_VCFactory::IsSupportHardware(uint32_t fcc, bool encoder, bool decoder,
                                      eHardwareCodec& kind) {
  kind = hx_vfactory_defs::eHardwareCodecNone;
  return IsSupportHardwarePref(fcc, encoder, decoder, kind);
}

bool IOS_VCFactory::IsSupportHardwarePref(uint32_t fcc, bool encoder, bool decoder,
                                          eHardwareCodec) {
  return fcc == HX_MediaFormat::kCodecH264 && !(encoder && decoder) && UseHardware();
}

VideoCodecBase* IOS_VCFactory::CreateEncoderH264(eTypeCodec) {
  return new VideoCodecFFmpeg(HX_MediaFormat::kCodecH264, true, !UseHardware(), 0);
}

VideoCodecBase* IOS_VCFactory::CreateDecoderH264(eTypeCodec) {
  return new VideoCodecFFmpeg(HX_MediaFormat::kCodecH264, false, !UseHardware(), 0);
}
