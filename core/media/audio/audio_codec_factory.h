#pragma once
// HX_AudioCodecFactory maps an audio codec tag (the wave-format tag of a media format) to a codec.
// CreateEncoder and CreateDecoder pick the creator for the tag and call it through the virtual
// table, so a subclass adds a codec by overriding its creator (the platform factory adds G.711
// and G.722 that way). A tag without a creator, and every creator this factory does not
// implement itself, yields the do-nothing stub codec: a stream with an unknown codec sends and
// plays nothing, without failing.
//
// The supported-tag set only answers GetFourcc (what this client offers in its capabilities); it
// does not restrict what the creators make. It starts as {Speex, iSAC, Opus}.
//
// Thread safety: the creators touch no shared state and may run on any thread. AddSupportFourcc
// is meant for a subclass's constructor, before the factory is shared.

#include <cstdint>
#include <memory>
#include <set>

#include "core/media/audio/audio_codec.h"

namespace hx_audio_tags {
constexpr uint32_t kPCM = 1;
constexpr uint32_t kG711a = 6;
constexpr uint32_t kG711mu = 7;
constexpr uint32_t kGSM610 = 49;
constexpr uint32_t kG728 = 65;
constexpr uint32_t kG723 = 66;
constexpr uint32_t kMP3 = 85;
constexpr uint32_t kG722 = 101;
constexpr uint32_t kG729A = 131;
constexpr uint32_t kG7221_24 = 0x7001;
constexpr uint32_t kG7221_32 = 0x7002;
constexpr uint32_t kSpeex = 0x7003;
constexpr uint32_t kISAC = 0x7004;
constexpr uint32_t kG7221C_24 = 0x7005;
constexpr uint32_t kG7221C_32 = 0x7006;
constexpr uint32_t kG7221C_48 = 0x7007;
constexpr uint32_t kOpus = 0x7ff0;
constexpr uint32_t kAAC = 0xA106;
constexpr uint32_t kDump = 0xFFFFFFFF;
}  // namespace hx_audio_tags

// The creators in table order: X(creator suffix).
#define HX_AUDIO_CODEC_CREATORS(X)                                                                 \
  X(Stub)                                                                                          \
  X(Speex)                                                                                         \
  X(ISAC) X(Opus) X(PCM) X(G711a) X(G711mu) X(GSM610) X(G723) X(G728) X(G729A) X(G722) X(G7221_24) \
      X(G7221_32) X(G7221C_24) X(G7221C_32) X(G7221C_48) X(AAC) X(MP3) X(Dump)

class HX_AudioCodecFactory {
 public:
  HX_AudioCodecFactory();
  virtual ~HX_AudioCodecFactory();

  // A new codec for the tag, not yet initialised; never null (unknown tags give the stub).
  virtual std::shared_ptr<AudioCodecBase> CreateEncoder(unsigned tag);
  virtual std::shared_ptr<AudioCodecBase> CreateDecoder(unsigned tag);
  // A copy of the supported-tag set.
  virtual std::set<uint32_t> GetFourcc();

  // The creators, each returning a new codec owned by the caller.
#define HX_DECLARE_ENCODER_CREATOR(name) virtual AudioCodecBase* CreateEncoder##name();
#define HX_DECLARE_DECODER_CREATOR(name) virtual AudioCodecBase* CreateDecoder##name();
  HX_AUDIO_CODEC_CREATORS(HX_DECLARE_ENCODER_CREATOR)
  HX_AUDIO_CODEC_CREATORS(HX_DECLARE_DECODER_CREATOR)
#undef HX_DECLARE_ENCODER_CREATOR
#undef HX_DECLARE_DECODER_CREATOR

  // Adds a tag to the supported set (once).
  void AddSupportFourcc(unsigned tag);

 private:
  AudioCodecBase* CreateByTag(unsigned tag, bool encoder);

  std::set<uint32_t> fourcc_;
};
