#pragma once
// IOS_VCFactory is the SDK's video codec factory: the core's factory plus H.264 encoding and
// decoding through the FFmpeg adapter (codec_ffmpeg.h). With the core's hardware H.264 option on,
// the decoder is the platform's hardware decoder (which fails its init cleanly where no device
// exists); with it off, libavcodec's software decoder. The encoder is libavcodec's H.264 encoder
// either way.
//
// Hardware queries: IsSupportHardware and IsSupportHardwarePref answer true only for H.264, when
// not both flags are set and the option is on; the out kind is always 0. The other queries keep
// the base's "none".
//
// Thread safety: as HX_VideoCodecFactory; the option is read at every call.

#include "core/media/video/codec/video_codec_factory.h"

class HXCore;

class IOS_VCFactory : public HX_VideoCodecFactory {
 public:
  // `core` is not owned and must outlive the factory.
  explicit IOS_VCFactory(HXCore* core);

  bool IsSupportHardware(uint32_t fcc, bool encoder, bool decoder,
                         hx_vfactory_defs::eHardwareCodec& kind) override;
  bool IsSupportHardwarePref(uint32_t fcc, bool encoder, bool decoder,
                             hx_vfactory_defs::eHardwareCodec kind) override;
  VideoCodecBase* CreateEncoderH264(hx_vfactory_defs::eTypeCodec type) override;
  VideoCodecBase* CreateDecoderH264(hx_vfactory_defs::eTypeCodec type) override;

 private:
  bool UseHardware() const;

  HXCore* core_;
};
