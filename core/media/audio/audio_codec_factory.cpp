#include "core/media/audio/audio_codec_factory.h"

#include "core/media/audio/audio_codec_isac.h"
#include "core/media/audio/audio_codec_opus.h"
#include "core/media/audio/audio_codec_speex.h"

using namespace hx_audio_tags;

HX_AudioCodecFactory::HX_AudioCodecFactory() : fourcc_{kOpus, kISAC, kSpeex} {}

HX_AudioCodecFactory::~HX_AudioCodecFactory() = default;

std::shared_ptr<AudioCodecBase> HX_AudioCodecFactory::CreateEncoder(unsigned tag) {
  return std::shared_ptr<AudioCodecBase>(CreateByTag(tag, true));
}

std::shared_ptr<AudioCodecBase> HX_AudioCodecFactory::CreateDecoder(unsigned tag) {
  return std::shared_ptr<AudioCodecBase>(CreateByTag(tag, false));
}

std::set<uint32_t> HX_AudioCodecFactory::GetFourcc() { return fourcc_; }

void HX_AudioCodecFactory::AddSupportFourcc(unsigned tag) { fourcc_.insert(tag); }

AudioCodecBase* HX_AudioCodecFactory::CreateByTag(unsigned tag, bool encoder) {
  // Each case calls the creator through the virtual table, so overrides are used.
#define HX_TAG_CASE(tag_value, name) \
  case tag_value:                    \
    return encoder ? CreateEncoder##name() : CreateDecoder##name();
  switch (tag) {
    HX_TAG_CASE(kPCM, PCM)
    HX_TAG_CASE(kG711a, G711a)
    HX_TAG_CASE(kG711mu, G711mu)
    HX_TAG_CASE(kGSM610, GSM610)
    HX_TAG_CASE(kG728, G728)
    HX_TAG_CASE(kG723, G723)
    HX_TAG_CASE(kMP3, MP3)
    HX_TAG_CASE(kG722, G722)
    HX_TAG_CASE(kG729A, G729A)
    HX_TAG_CASE(kG7221_24, G7221_24)
    HX_TAG_CASE(kG7221_32, G7221_32)
    HX_TAG_CASE(kSpeex, Speex)
    HX_TAG_CASE(kISAC, ISAC)
    HX_TAG_CASE(kG7221C_24, G7221C_24)
    HX_TAG_CASE(kG7221C_32, G7221C_32)
    HX_TAG_CASE(kG7221C_48, G7221C_48)
    HX_TAG_CASE(kOpus, Opus)
    HX_TAG_CASE(kAAC, AAC)
    HX_TAG_CASE(kDump, Dump)
    default:
      return encoder ? CreateEncoderStub() : CreateDecoderStub();
  }
#undef HX_TAG_CASE
}

AudioCodecBase* HX_AudioCodecFactory::CreateEncoderStub() { return new AudioCodecStub(true); }
AudioCodecBase* HX_AudioCodecFactory::CreateDecoderStub() { return new AudioCodecStub(false); }
AudioCodecBase* HX_AudioCodecFactory::CreateEncoderSpeex() { return new AudioCodecSpeex(true); }
AudioCodecBase* HX_AudioCodecFactory::CreateDecoderSpeex() { return new AudioCodecSpeex(false); }
AudioCodecBase* HX_AudioCodecFactory::CreateEncoderISAC() { return new AudioCodecISAC(true); }
AudioCodecBase* HX_AudioCodecFactory::CreateDecoderISAC() { return new AudioCodecISAC(false); }
AudioCodecBase* HX_AudioCodecFactory::CreateEncoderOpus() { return new AudioCodecOpus(true); }
AudioCodecBase* HX_AudioCodecFactory::CreateDecoderOpus() { return new AudioCodecOpus(false); }
// Both dump creators make the codec with the coder flag clear: either direction records into
// "audio_dec.dump".
AudioCodecBase* HX_AudioCodecFactory::CreateEncoderDump() { return new AudioCodecDump(false); }
AudioCodecBase* HX_AudioCodecFactory::CreateDecoderDump() { return new AudioCodecDump(false); }

// Codecs this factory has no library for: the stub of the same direction, through the virtual
// table so that an overridden stub creator serves them too.
#define HX_STUB_CREATORS(name)                                                                \
  AudioCodecBase* HX_AudioCodecFactory::CreateEncoder##name() { return CreateEncoderStub(); } \
  AudioCodecBase* HX_AudioCodecFactory::CreateDecoder##name() { return CreateDecoderStub(); }
HX_STUB_CREATORS(PCM)
HX_STUB_CREATORS(G711a)
HX_STUB_CREATORS(G711mu)
HX_STUB_CREATORS(GSM610)
HX_STUB_CREATORS(G723)
HX_STUB_CREATORS(G728)
HX_STUB_CREATORS(G729A)
HX_STUB_CREATORS(G722)
HX_STUB_CREATORS(G7221_24)
HX_STUB_CREATORS(G7221_32)
HX_STUB_CREATORS(G7221C_24)
HX_STUB_CREATORS(G7221C_32)
HX_STUB_CREATORS(G7221C_48)
HX_STUB_CREATORS(AAC)
HX_STUB_CREATORS(MP3)
#undef HX_STUB_CREATORS
