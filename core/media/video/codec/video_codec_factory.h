#pragma once
// HX_VideoCodecFactory maps a video four-character code to a codec. CreateEncoder and
// CreateDecoder pick the creator for the code and call it through the virtual table, so a subclass
// (the platform's factory with hardware codecs) takes effect by overriding a creator. A code
// without a creator, and every creator this factory has no library for, yields the do-nothing
// VideoCodecStub through CreateEncoderStub / CreateDecoderStub, so overriding those two changes
// the stand-in for all of them at once.
//
// This factory builds: VP8 encoder and decoder over libvpx (codec_vp8.h) and the H.264 software
// decoder over libavcodec (codec_ffmpeg.h). The platform's factory adds the H.264 encoder.
//
// The supported-code set only answers GetFourcc (what this client offers in its capabilities); the
// creators do not consult it. It starts as {VP8, H.264}.
//
// The hardware queries of this factory all answer "none" (false, 0 in the out-parameters).
//
// Thread safety: the creators and queries touch no shared state and may run on any thread.
// AddSupportFourcc is meant for a subclass's constructor, before the factory is shared.

#include <cstdint>
#include <memory>
#include <set>

#include "core/media/video/codec/video_codec.h"

class HX_VideoCodecFactory {
 public:
  HX_VideoCodecFactory();
  virtual ~HX_VideoCodecFactory();

  // A new codec for the code, not yet initialised; never null (unknown codes give the stub).
  virtual std::shared_ptr<VideoCodecBase> CreateEncoder(uint32_t fcc,
                                                        hx_vfactory_defs::eTypeCodec type);
  virtual std::shared_ptr<VideoCodecBase> CreateDecoder(uint32_t fcc,
                                                        hx_vfactory_defs::eTypeCodec type);
  // A copy of the supported-code set.
  virtual std::set<uint32_t> GetFourcc();

  virtual bool IsSupportHardwareEncoder(uint32_t fcc);
  virtual bool IsSupportHardwareDecoder(uint32_t fcc);
  virtual bool IsSupportHardwareEncoder(uint32_t fcc, uint8_t& kind);
  virtual bool IsSupportHardwareDecoder(uint32_t fcc, uint8_t& kind);
  virtual bool IsSupportHardware(uint32_t fcc, bool encoder, bool decoder,
                                 hx_vfactory_defs::eHardwareCodec& kind);
  virtual bool IsSupportHardwarePref(uint32_t fcc, bool encoder, bool decoder,
                                     hx_vfactory_defs::eHardwareCodec kind);
  virtual bool IsSupportLowPowerMode(uint32_t fcc, bool encoder,
                                     hx_vfactory_defs::eHardwareCodec kind);
  virtual void ForceHardwareEncoder(hx_vfactory_defs::eHardwareCodec kind);
  virtual void ForceHardwareDecoder(hx_vfactory_defs::eHardwareCodec kind);

  // The creators, each returning a new codec owned by the caller (never null).
  virtual VideoCodecBase* CreateEncoderStub();
  virtual VideoCodecBase* CreateEncoderVP8(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateEncoderVP9(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateEncoderH264(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateEncoderH265(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateEncoderH263(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateEncoderH263P(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateEncoderH261(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateEncoderVP8Stereo(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateDecoderStub();
  virtual VideoCodecBase* CreateDecoderVP8(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateDecoderVP9(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateDecoderH264(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateDecoderH265(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateDecoderH263(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateDecoderH263P(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateDecoderH261(hx_vfactory_defs::eTypeCodec type);
  virtual VideoCodecBase* CreateDecoderVP8Stereo(hx_vfactory_defs::eTypeCodec type);

  // Adds a code to the supported set (once).
  void AddSupportFourcc(uint32_t fcc);
  // True for the camera-hosted hardware encoders, kinds 1 to 19.
  static bool IsWebcamHardware(hx_vfactory_defs::eHardwareCodec kind);

 private:
  std::set<uint32_t> fourcc_;
};
