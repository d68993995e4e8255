// The decoder front-end with real libvpx frames, and with a scripted codec (a factory that hands
// out a decoder whose answers the test sets) for the paths libvpx cannot be made to take.

#include "core/media/video/video_decoder.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/media/video/codec/codec_vp8.h"
#include "core/media/video/codec/video_codec_factory.h"

namespace {

// Answers what the test sets; records what it was given.
class ScriptedDecoder : public VideoCodecBase {
 public:
  struct Script {
    int result = 0;
    uint32_t request = 0;
    size_t bytesToWrite = 0;
    std::vector<uint32_t> inputSizes;
    std::vector<uint32_t> noOutput;
    HX_VideoCoderOptions options;
    int inits = 0;
  };
  explicit ScriptedDecoder(Script* s) : VideoCodecBase(HX_MediaFormat::kCodecVP8, false), s_(s) {}
  bool _setBitrate(uint32_t) override { return true; }
  bool _setCoderOption(const HX_VideoCoderOptions*) override { return true; }
  bool _getCoderOption(HX_VideoCoderOptions*) override { return true; }
  bool _setSVCMode(uint32_t&) override { return false; }
  int _convert(const unsigned char*, unsigned char* output, HX_VideoCodecParam& p) override {
    s_->inputSizes.push_back(p.inputSize);
    s_->noOutput.push_back(p.noOutput);
    if (!p.noOutput) std::fill(output, output + s_->bytesToWrite, 0xAB);
    p.request = s_->request;
    return s_->result;
  }
  bool init(const HX_VideoCoderOptions* o, uint32_t) override {
    s_->options = *o;
    ++s_->inits;
    validate(true);
    return true;
  }
  void release() override {}

 private:
  Script* s_;
};

class ScriptedFactory : public HX_VideoCodecFactory {
 public:
  VideoCodecBase* CreateDecoderVP8(hx_vfactory_defs::eTypeCodec type) override {
    ++created;
    lastType = type;
    return new ScriptedDecoder(&script);
  }
  ScriptedDecoder::Script script;
  int created = 0;
  hx_vfactory_defs::eTypeCodec lastType = hx_vfactory_defs::eTypeCodecAny;
};

struct Pictures {
  struct Picture {
    std::vector<unsigned char> data;
    unsigned w, h, fcc;
  };
  std::vector<Picture> pictures;
  int keyRequests = 0;
  void OnPicture(const unsigned char* d, unsigned long n, unsigned w, unsigned h, unsigned fcc) {
    pictures.push_back({std::vector<unsigned char>(d, d + n), w, h, fcc});
  }
  void OnKey() { ++keyRequests; }
};

HX_MediaFormat Format(uint32_t w, uint32_t h, uint32_t hw = 0) {
  HX_MediaFormat f;
  f.width = w;
  f.height = h;
  f.hardwareCodec = hw;
  f.videoCodec = HX_MediaFormat::kCodecVP8;
  return f;
}

struct Scripted {
  ScriptedFactory factory;
  HX_VideoDecoder decoder;
  Pictures seen;
  Scripted() {
    decoder.SetCodecFactory(&factory);
    decoder.DecodedPictureSignal.Connect(&seen, &Pictures::OnPicture);
    decoder.RequestKeyFrameSignal.Connect(&seen, &Pictures::OnKey);
  }
};

TEST(VideoDecoder, ReinitOpensOnChangesOnly) {
  Scripted s;
  s.decoder.Reinit(Format(320, 240));
  EXPECT_EQ(s.factory.created, 1);
  EXPECT_EQ(s.factory.lastType, hx_vfactory_defs::eTypeCodecSoftware);
  EXPECT_EQ(s.factory.script.options.width, 320);
  EXPECT_EQ(s.factory.script.options.height, 240);
  EXPECT_EQ(s.factory.script.options.timeBase, 10);
  EXPECT_EQ(s.factory.script.options.threads, 1);
  EXPECT_EQ(s.factory.script.options.bitrate, 128);
  EXPECT_EQ(s.decoder.GetPictureBufferSize(), 320u * 240 * 3 / 2 + 6);

  HX_MediaFormat stereo = Format(320, 240);
  stereo.stereo = 1;
  stereo.frameRate = 5;
  s.decoder.Reinit(stereo);
  EXPECT_EQ(s.factory.created, 1) << "stereo and frame rate do not reopen";
  EXPECT_EQ(s.decoder.GetFormat().stereo, 1u) << "but the stereo field is taken at once";

  s.decoder.Reinit(Format(320, 240, 3));
  EXPECT_EQ(s.factory.created, 2);
  EXPECT_EQ(s.factory.lastType, hx_vfactory_defs::eTypeCodecAny);
}

TEST(VideoDecoder, ChangeFormatKeepsTheHardwareField) {
  Scripted s;
  s.decoder.Reinit(Format(320, 240, 5));
  ASSERT_EQ(s.factory.created, 1);
  s.decoder.ChangeFormat(Format(640, 480, 0));
  EXPECT_EQ(s.factory.created, 2);
  EXPECT_EQ(s.decoder.GetFormat().hardwareCodec, 5u);
  EXPECT_EQ(s.decoder.GetFormat().width, 640u);
  s.decoder.ChangeFormat(Format(640, 480, 9));
  EXPECT_EQ(s.factory.created, 2) << "only the hardware field differs, and it is kept";
}

// Sizes the peer's bitstream claims: a side of 0 or above 8192 is refused and the decoder keeps
// its codec and picture buffer; odd sizes get room for rounded-up chroma planes.
TEST(VideoDecoder, FormatSizeTable) {
  struct Row {
    uint32_t w, h;
    bool opens;
    uint64_t buffer;
  };
  const Row rows[] = {
      {0, 240, false, 0},
      {320, 0, false, 0},
      {8193, 16, false, 0},
      {16, 16383, false, 0},
      {16383, 16383, false, 0},
      {8192, 16, true, 8192ull * 16 * 3 / 2 + 6},
      {16, 8192, true, 8192ull * 16 * 3 / 2 + 6},
      {17, 9, true, 17 * 9 + 2 * 9 * 5 + 6},
      {1, 1, true, 1 + 2 + 6},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.w << "x" << r.h);
    Scripted s;
    s.decoder.Reinit(Format(64, 48));
    ASSERT_EQ(s.factory.created, 1);
    s.decoder.Reinit(Format(r.w, r.h));
    EXPECT_EQ(s.factory.created, r.opens ? 2 : 1);
    if (r.opens) {
      EXPECT_EQ(s.decoder.GetPictureBufferSize(), r.buffer);
      EXPECT_EQ(HX_VideoDecoder::PictureBufferBytes(r.w, r.h), r.buffer);
    } else {
      EXPECT_EQ(s.decoder.GetFormat().width, 64u);
      EXPECT_EQ(s.decoder.GetPictureBufferSize(), 64u * 48 * 3 / 2 + 6);
    }
  }
}

// Frame sizes from the network: 5 bytes or fewer carry no bitstream and never reach the codec.
TEST(VideoDecoder, ShortFramesAreIgnored) {
  Scripted s;
  s.decoder.Reinit(Format(32, 32));
  s.factory.script.result = 1536;
  s.factory.script.bytesToWrite = 1536;
  const unsigned char frame[16] = {0, 1, 2, 3, 4, 5, 6, 7};
  for (unsigned long n : {0ul, 1ul, 4ul, 5ul}) s.decoder.OnReady2Decompress(frame, n, false);
  EXPECT_TRUE(s.factory.script.inputSizes.empty());
  EXPECT_TRUE(s.seen.pictures.empty());
  s.decoder.OnReady2Decompress(frame, 6, false);
  ASSERT_EQ(s.factory.script.inputSizes.size(), 1u);
  EXPECT_EQ(s.factory.script.inputSizes[0], 1u);
  ASSERT_EQ(s.seen.pictures.size(), 1u);
  EXPECT_EQ(s.seen.pictures[0].data.size(), 1536u);
  EXPECT_EQ(s.seen.pictures[0].w, 32u);
  EXPECT_EQ(s.seen.pictures[0].fcc, HX_MediaFormat::kCodecVP8);
}

TEST(VideoDecoder, SkipEmitsNoPictureButRelaysKeyFrameRequest) {
  Scripted s;
  s.decoder.Reinit(Format(32, 32));
  s.factory.script.result = 1536;
  s.factory.script.request = 1;
  const unsigned char frame[16] = {};
  s.decoder.OnReady2Decompress(frame, sizeof frame, true);
  EXPECT_TRUE(s.seen.pictures.empty());
  EXPECT_EQ(s.seen.keyRequests, 1);
  EXPECT_EQ(s.factory.script.noOutput.back(), 1u);
  s.decoder.OnReady2Decompress(frame, sizeof frame, false);
  EXPECT_EQ(s.seen.pictures.size(), 1u);
  EXPECT_EQ(s.seen.keyRequests, 2);
  s.factory.script.request = 2;  // only bit 0 asks
  s.decoder.OnReady2Decompress(frame, sizeof frame, false);
  EXPECT_EQ(s.seen.keyRequests, 2);
  s.factory.script.result = 0;
  s.decoder.OnReady2Decompress(frame, sizeof frame, false);
  EXPECT_EQ(s.seen.pictures.size(), 2u) << "nothing decoded, nothing emitted";
}

TEST(VideoDecoder, NothingWithoutCodecFactoryOrAfterRelease) {
  HX_VideoDecoder bare;
  Pictures seen;
  bare.DecodedPictureSignal.Connect(&seen, &Pictures::OnPicture);
  bare.Reinit(Format(32, 32));
  EXPECT_FALSE(bare.GetCodec());
  const unsigned char frame[16] = {};
  bare.OnReady2Decompress(frame, sizeof frame, false);

  Scripted s;
  s.decoder.Reinit(Format(32, 32));
  s.factory.script.result = 10;
  s.decoder.Release();
  EXPECT_EQ(s.decoder.GetFormat().width, 0u);
  s.decoder.OnReady2Decompress(frame, sizeof frame, false);
  EXPECT_TRUE(s.factory.script.inputSizes.empty());
  // Released: the same format opens a new codec.
  s.decoder.Reinit(Format(32, 32));
  EXPECT_EQ(s.factory.created, 2);
}

// Real VP8: an odd-sized picture decodes into the buffer without overrunning it (libvpx writes
// rounded-up chroma planes), and a frame of another size than the opened one yields nothing.
TEST(VideoDecoder, RealVp8OddSizeAndWrongSize) {
  HXCodecVP8Encoder encoder;
  HX_VideoCoderOptions o;
  o.width = 33;
  o.height = 17;
  o.timeBase = 10;
  o.bitrate = 100;
  o.threads = 1;
  ASSERT_TRUE(encoder.init(&o, 0));
  std::vector<unsigned char> picture(33 * 17 * 3 / 2 + 64, 90);
  std::vector<unsigned char> out(3 * 33 * 17 + 5);
  HX_VideoCodecParam p;
  p.request = 0;
  const int n = encoder.convert(picture.data(), out.data() + 5, p);
  ASSERT_GT(n, 0);
  out.resize(5 + n);
  out[0] = 0;

  HX_VideoCodecFactory factory;
  HX_VideoDecoder decoder;
  decoder.SetCodecFactory(&factory);
  Pictures seen;
  decoder.DecodedPictureSignal.Connect(&seen, &Pictures::OnPicture);
  decoder.Reinit(Format(33, 17));
  decoder.OnReady2Decompress(out.data(), out.size(), false);
  ASSERT_EQ(seen.pictures.size(), 1u);
  EXPECT_EQ(seen.pictures[0].data.size(), HXCodecVP8Decoder::OutputBytes(33, 17));
  EXPECT_LE(seen.pictures[0].data.size() + 6, decoder.GetPictureBufferSize());

  decoder.Reinit(Format(64, 64));
  decoder.OnReady2Decompress(out.data(), out.size(), false);
  EXPECT_EQ(seen.pictures.size(), 1u);
}

}  // namespace
