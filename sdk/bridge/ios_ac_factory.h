#pragma once
// IOS_ACFactory is the SDK's audio codec factory: the core's factory plus the telephony codecs
// G.711 A-law (tag 6), G.711 mu-law (tag 7) and G.722 (tag 101), which it adds to the supported
// set in that order. The codecs come from the WebRTC audio pieces.
//
// Every codec writes at most the output capacity it is given: an input larger than the room
// converts only the part whose output fits (G.711 decodes capacity / 2 bytes, G.722
// capacity / 4), so a hostile 65535-byte payload cannot run past a receive buffer.
//
// Thread safety: as HX_AudioCodecFactory; each codec is used by one thread at a time.

#include "core/media/audio/audio_codec_factory.h"

struct WebRtcG722EncInst;
struct WebRtcG722DecInst;

// G.711 A-law: one byte per 16-bit sample. Init, Release and the bit-rate calls do nothing.
class AudioCodecG711a : public AudioCodecBase {
 public:
  explicit AudioCodecG711a(bool coder) : AudioCodecBase(coder) {}
  int Init(int) override { return 0; }
  void Release() override {}
  int Convert(unsigned char* input, int inputBytes, unsigned char* output,
              int outputCapacity) override;
  void SetQuality(int) override {}
  void SetBitrate(int) override {}
  void UpdateBitrate(int) override {}
};

// G.711 mu-law: as A-law with the mu-law curve.
class AudioCodecG711u : public AudioCodecBase {
 public:
  explicit AudioCodecG711u(bool coder) : AudioCodecBase(coder) {}
  int Init(int) override { return 0; }
  void Release() override {}
  int Convert(unsigned char* input, int inputBytes, unsigned char* output,
              int outputCapacity) override;
  void SetQuality(int) override {}
  void SetBitrate(int) override {}
  void UpdateBitrate(int) override {}
};

// G.722 at 16 kHz: one byte per two samples. The library state is made at construction and
// reset by Init.
class AudioCodecG722 : public AudioCodecBase {
 public:
  explicit AudioCodecG722(bool coder);
  ~AudioCodecG722() override;
  int Init(int) override;
  void Release() override {}
  int Convert(unsigned char* input, int inputBytes, unsigned char* output,
              int outputCapacity) override;
  void SetQuality(int) override {}
  void SetBitrate(int) override {}
  void UpdateBitrate(int) override {}

 private:
  WebRtcG722EncInst* encoder_ = nullptr;
  WebRtcG722DecInst* decoder_ = nullptr;
};

class IOS_ACFactory : public HX_AudioCodecFactory {
 public:
  IOS_ACFactory();

  AudioCodecBase* CreateEncoderG711a() override;
  AudioCodecBase* CreateEncoderG711mu() override;
  AudioCodecBase* CreateEncoderG722() override;
  AudioCodecBase* CreateDecoderG711a() override;
  AudioCodecBase* CreateDecoderG711mu() override;
  AudioCodecBase* CreateDecoderG722() override;
};
