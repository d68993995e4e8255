// The decoder front-end driven the way a hostile peer can drive it: real VP8 frames from the
// factory's libvpx encoder, cut at every length, garbage, key frames of another size than the one
// the decoder was opened for, key frames announcing sides beyond any limit, and formats whose
// sides are 0, just above the limit or big enough to wrap a 32-bit picture size. Every frame is
// handed over in a heap buffer of exactly its length, so that AddressSanitizer reports any read
// outside it; every picture emitted is checked against its format and, where the frame was whole,
// against an independent decode of the same bitstream.

#include "core/media/video/video_decoder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/media/video/codec/codec_ffmpeg.h"
#include "core/media/video/codec/codec_vp8.h"
#include "core/media/video/codec/video_codec_factory.h"

namespace {

using Bytes = std::vector<unsigned char>;
constexpr uint32_t kVP8 = HX_MediaFormat::kCodecVP8;

constexpr uint32_t kH264 = HX_MediaFormat::kCodecH264;

HX_MediaFormat Format(uint32_t width, uint32_t height, uint32_t fcc = kVP8) {
  HX_MediaFormat f;
  f.width = width;
  f.height = height;
  f.videoCodec = fcc;
  return f;
}

// A packed I420 picture with a pattern that moves with `index`; chroma planes rounded up so that
// odd sizes are covered whichever way the encoder rounds.
Bytes Picture(int width, int height, int index) {
  const size_t luma = static_cast<size_t>(width) * height;
  const size_t chroma = static_cast<size_t>((width + 1) / 2) * ((height + 1) / 2);
  Bytes p(luma + 2 * chroma);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      p[static_cast<size_t>(y) * width + x] = static_cast<unsigned char>(x * 3 + y * 2 + index * 7);
    }
  }
  for (size_t i = 0; i < 2 * chroma; ++i) p[luma + i] = static_cast<unsigned char>(i + index);
  return p;
}

// Encodes a moving picture with the factory's VP8 encoder (or libx264 for H.264, which this
// factory leaves to the platform); each frame comes with its 5-byte receive header.
class EncodedStream {
 public:
  EncodedStream(int width, int height, uint32_t fcc = kVP8) : width_(width), height_(height) {
    if (fcc == kH264) {
      codec_ = std::make_shared<VideoCodecFFmpeg>(kH264, true, true, 0);
    } else {
      codec_ = factory_.CreateEncoder(fcc, hx_vfactory_defs::eTypeCodecSoftware);
    }
    HX_VideoCoderOptions o;
    o.width = width;
    o.height = height;
    o.timeBase = 10;
    o.bitrate = 128;
    o.constantBitrate = 1;
    o.keyFrameMaxDistance = 1000;
    o.threads = 1;
    o.lagFrames = 1;
    o.cpuUsed = -14;
    o.staticThreshold = 800;
    o.autoKeyFrames = 1;
    ok_ = codec_->init(&o, 0);
  }
  bool ok() const { return ok_; }

  Bytes Next(bool key) {
    const Bytes picture = Picture(width_, height_, index_++);
    Bytes out(static_cast<size_t>(width_) * height_ * 3 + HX_RecvNhpVideoHeader::kSize);
    HX_VideoCodecParam param;
    param.request = key ? 0 : 1;
    const int n = codec_->convert(picture.data(), out.data() + HX_RecvNhpVideoHeader::kSize, param);
    EXPECT_GT(n, 0);
    HX_RecvNhpVideoHeader header;
    header.frameType = param.keyFrame ? 0 : 1;
    header.timeValue = 33;
    header.Store(out.data());
    out.resize(HX_RecvNhpVideoHeader::kSize + static_cast<size_t>(n > 0 ? n : 0));
    return out;
  }

 private:
  HX_VideoCodecFactory factory_;
  std::shared_ptr<VideoCodecBase> codec_;
  int width_;
  int height_;
  int index_ = 0;
  bool ok_ = false;
};

// An independent decoder of the same codec, for the pictures a whole frame must give.
class ReferenceDecoder {
 public:
  ReferenceDecoder(int width, int height, uint32_t fcc = kVP8) : width_(width), height_(height) {
    codec_ = factory_.CreateDecoder(fcc, hx_vfactory_defs::eTypeCodecSoftware);
    HX_VideoCoderOptions o;
    o.width = width;
    o.height = height;
    o.timeBase = 10;
    o.threads = 1;
    codec_->init(&o, 0);
  }
  // The picture of a frame (receive header included); empty when none.
  Bytes Decode(const Bytes& frame) {
    Bytes out(HXCodecVP8Decoder::OutputBytes(width_, height_));
    HX_VideoCodecParam p;
    p.inputSize = static_cast<uint32_t>(frame.size() - HX_RecvNhpVideoHeader::kSize);
    const int n = codec_->convert(frame.data() + HX_RecvNhpVideoHeader::kSize, out.data(), p);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }

 private:
  HX_VideoCodecFactory factory_;
  std::shared_ptr<VideoCodecBase> codec_;
  int width_;
  int height_;
};

struct Decoded {
  Bytes data;
  unsigned width;
  unsigned height;
  unsigned fcc;
};

// A decoder front-end with its signals recorded.
class DecoderFixture {
 public:
  DecoderFixture() {
    decoder.SetCodecFactory(&factory);
    decoder.DecodedPictureSignal.Connect(this, &DecoderFixture::OnPicture);
    decoder.RequestKeyFrameSignal.Connect(this, &DecoderFixture::OnKeyRequest);
  }
  // Hands the frame over in a heap buffer of exactly its length (null for length 0).
  void Feed(const Bytes& frame, bool skip = false) { Feed(frame.data(), frame.size(), skip); }
  void Feed(const unsigned char* bytes, size_t length, bool skip = false) {
    std::unique_ptr<unsigned char[]> exact(length ? new unsigned char[length] : nullptr);
    if (length) std::memcpy(exact.get(), bytes, length);
    decoder.OnReady2Decompress(exact.get(), length, skip);
  }
  // Every picture has the size the decoder's format allows and the format's dimensions.
  void ExpectPicturesFitFormat(unsigned width, unsigned height, uint32_t fcc = kVP8) const {
    for (const Decoded& p : pictures) {
      EXPECT_EQ(p.width, width);
      EXPECT_EQ(p.height, height);
      EXPECT_EQ(p.fcc, fcc);
      EXPECT_EQ(p.data.size(), HXCodecVP8Decoder::OutputBytes(width, height));
    }
  }

  HX_VideoCodecFactory factory;
  HX_VideoDecoder decoder;
  std::vector<Decoded> pictures;
  int keyRequests = 0;

 private:
  void OnPicture(const unsigned char* data, unsigned long size, unsigned w, unsigned h,
                 unsigned fcc) {
    pictures.push_back({Bytes(data, data + size), w, h, fcc});
  }
  void OnKeyRequest() { ++keyRequests; }
};

// A VP8 key frame (receive header first) that announces a size, followed by `tail` bytes of noise.
Bytes AnnouncingKeyFrame(unsigned width, unsigned height, size_t tail) {
  Bytes f = {0,
             33,
             0,
             0,
             0,
             0x10,
             0x02,
             0x00,
             0x9D,
             0x01,
             0x2A,
             static_cast<unsigned char>(width),
             static_cast<unsigned char>(width >> 8),
             static_cast<unsigned char>(height),
             static_cast<unsigned char>(height >> 8)};
  std::mt19937 rng(7);
  for (size_t i = 0; i < tail; ++i) f.push_back(static_cast<unsigned char>(rng()));
  return f;
}

uint64_t ExpectedBufferBytes(uint64_t w, uint64_t h) {
  if (w == 0 || h == 0) return 0;
  return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2) + 6;
}

TEST(HostileVideoDecoder, PictureBufferBytesIsExactAndNeverWraps) {
  struct Case {
    uint32_t w, h;
  } cases[] = {{0, 5},           {5, 0},           {1, 1},           {2, 2},
               {641, 481},       {8192, 8192},     {65535, 65535},   {65536, 65536},
               {0x80000000u, 2}, {0xFFFFFFFFu, 1}, {131072, 131072}, {3, 0xFFFFFFFFu}};
  for (const Case& c : cases) {
    EXPECT_EQ(HX_VideoDecoder::PictureBufferBytes(c.w, c.h), ExpectedBufferBytes(c.w, c.h))
        << c.w << "x" << c.h;
  }
}

// A format from the peer with an unusable side must leave the open decoder as it was: same codec,
// same format, same buffer, and frames of the stream keep decoding intact.
TEST(HostileVideoDecoder, UnusableFormatsKeepTheOpenDecoder) {
  EncodedStream stream(160, 120);
  ASSERT_TRUE(stream.ok());
  ReferenceDecoder reference(160, 120);
  DecoderFixture f;
  f.decoder.Reinit(Format(160, 120));
  const auto codec = f.decoder.GetCodec();
  ASSERT_NE(codec, nullptr);
  const size_t bufferSize = f.decoder.GetPictureBufferSize();
  EXPECT_EQ(bufferSize, HX_VideoDecoder::PictureBufferBytes(160, 120));

  const Bytes key = stream.Next(true);
  f.Feed(key);
  ASSERT_EQ(f.pictures.size(), 1u);
  EXPECT_EQ(f.pictures[0].data, reference.Decode(key));

  struct Case {
    uint32_t w, h;
  } hostile[] = {{0, 120},         {160, 0},
                 {0, 0},           {8193, 120},
                 {160, 8193},      {65535, 65535},
                 {65536, 65536},   {0x80000000u, 2},
                 {2, 0x80000000u}, {0xFFFFFFFFu, 0xFFFFFFFFu}};
  for (const Case& c : hostile) {
    SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
    f.decoder.Reinit(Format(c.w, c.h));
    f.decoder.ChangeFormat(Format(c.w, c.h));
    EXPECT_EQ(f.decoder.GetFormat().width, 160u);
    EXPECT_EQ(f.decoder.GetFormat().height, 120u);
    EXPECT_EQ(f.decoder.GetCodec(), codec);
    EXPECT_EQ(f.decoder.GetPictureBufferSize(), bufferSize);

    const Bytes delta = stream.Next(false);
    const size_t before = f.pictures.size();
    f.Feed(delta);
    ASSERT_EQ(f.pictures.size(), before + 1);
    EXPECT_EQ(f.pictures.back().data, reference.Decode(delta));
  }
  f.ExpectPicturesFitFormat(160, 120);
}

// The largest side that is allowed opens a decoder with a buffer of the exact size.
TEST(HostileVideoDecoder, LargestAllowedSideOpens) {
  DecoderFixture f;
  f.decoder.Reinit(Format(HX_VideoDecoder::kMaxSide, 16));
  EXPECT_EQ(f.decoder.GetFormat().width, HX_VideoDecoder::kMaxSide);
  EXPECT_EQ(f.decoder.GetPictureBufferSize(),
            HX_VideoDecoder::PictureBufferBytes(HX_VideoDecoder::kMaxSide, 16));
  ASSERT_NE(f.decoder.GetCodec(), nullptr);
  EXPECT_TRUE(f.decoder.GetCodec()->isValid());
}

// Every prefix of a real key frame, then the whole frame, for each codec: the prefixes read
// nothing outside their buffer and emit no picture of another size; the whole frame afterwards
// decodes to exactly the picture an untouched decoder gives.
TEST(HostileVideoDecoder, KeyFrameCutAtEveryLength) {
  for (uint32_t fcc : {kVP8, kH264}) {
    SCOPED_TRACE(fcc == kVP8 ? "VP8" : "H.264");
    EncodedStream stream(160, 120, fcc);
    ASSERT_TRUE(stream.ok());
    const Bytes key = stream.Next(true);
    const Bytes delta = stream.Next(false);
    ReferenceDecoder reference(160, 120, fcc);
    const Bytes keyPicture = reference.Decode(key);
    const Bytes deltaPicture = reference.Decode(delta);
    ASSERT_FALSE(keyPicture.empty());

    DecoderFixture f;
    f.decoder.Reinit(Format(160, 120, fcc));
    for (size_t n = 0; n < key.size(); ++n) {
      f.Feed(key.data(), n);
      if (n <= HX_RecvNhpVideoHeader::kSize) {
        EXPECT_TRUE(f.pictures.empty()) << "a frame of " << n << " bytes carries no bitstream";
      }
    }
    f.ExpectPicturesFitFormat(160, 120, fcc);
    f.pictures.clear();
    f.Feed(key);
    f.Feed(delta);
    ASSERT_EQ(f.pictures.size(), 2u);
    EXPECT_EQ(f.pictures[0].data, keyPicture);
    EXPECT_EQ(f.pictures[1].data, deltaPicture);
  }
}

// Garbage, delta frames cut short, key frames of another size than the open one and key frames
// announcing sides beyond the limit, for each codec: no picture of a wrong size, nothing written
// outside the buffer; a good key frame afterwards decodes intact.
TEST(HostileVideoDecoder, HostileFramesThenRecovery) {
  for (uint32_t fcc : {kVP8, kH264}) {
    SCOPED_TRACE(fcc == kVP8 ? "VP8" : "H.264");
    EncodedStream small(160, 120, fcc);
    EncodedStream large(320, 240, fcc);
    ASSERT_TRUE(small.ok());
    ASSERT_TRUE(large.ok());
    std::vector<Bytes> hostile;
    std::mt19937 rng(42);
    for (size_t n : {6u, 7u, 16u, 100u, 8193u, 65535u}) {
      Bytes g(n);
      for (auto& b : g) b = static_cast<unsigned char>(rng());
      g[0] = static_cast<unsigned char>(n & 1);
      hostile.push_back(g);
    }
    hostile.push_back(large.Next(true));
    hostile.push_back(large.Next(false));
    hostile.push_back(AnnouncingKeyFrame(8193, 8193, 200));
    hostile.push_back(AnnouncingKeyFrame(0, 0, 200));
    hostile.push_back(AnnouncingKeyFrame(161, 121, 200));
    Bytes cutDelta = small.Next(false);
    cutDelta.resize(cutDelta.size() / 2);
    hostile.push_back(cutDelta);

    DecoderFixture f;
    f.decoder.Reinit(Format(160, 120, fcc));
    for (const Bytes& frame : hostile) f.Feed(frame);
    for (const Bytes& frame : hostile) f.Feed(frame, true);
    f.ExpectPicturesFitFormat(160, 120, fcc);

    ReferenceDecoder reference(160, 120, fcc);
    const Bytes key = small.Next(true);
    f.pictures.clear();
    f.Feed(key);
    ASSERT_EQ(f.pictures.size(), 1u);
    EXPECT_EQ(f.pictures[0].data, reference.Decode(key));
  }
}

// A key frame decoded with the skip flag draws nothing, but the decoder keeps it as reference:
// the next delta frame gives the same picture as in a stream decoded without skipping.
TEST(HostileVideoDecoder, SkippedFramesStayReferences) {
  EncodedStream stream(160, 120);
  ASSERT_TRUE(stream.ok());
  const Bytes frames[] = {stream.Next(true), stream.Next(false), stream.Next(false)};
  ReferenceDecoder reference(160, 120);
  Bytes expected;
  for (const Bytes& frame : frames) expected = reference.Decode(frame);

  DecoderFixture f;
  f.decoder.Reinit(Format(160, 120));
  f.Feed(frames[0], true);
  f.Feed(frames[1], true);
  EXPECT_TRUE(f.pictures.empty());
  f.Feed(frames[2]);
  ASSERT_EQ(f.pictures.size(), 1u);
  EXPECT_EQ(f.pictures[0].data, expected);
}

// Sizes whose chroma planes round up: the decoder's buffer takes what the codec writes, and the
// picture is the reference picture.
TEST(HostileVideoDecoder, OddSizesDecodeIntact) {
  for (int side : {17, 35, 161}) {
    SCOPED_TRACE(side);
    EncodedStream stream(side, side + 2);
    ASSERT_TRUE(stream.ok());
    const Bytes key = stream.Next(true);
    ReferenceDecoder reference(side, side + 2);
    DecoderFixture f;
    f.decoder.Reinit(Format(side, side + 2));
    f.Feed(key);
    ASSERT_EQ(f.pictures.size(), 1u);
    EXPECT_EQ(f.pictures[0].data, reference.Decode(key));
    f.ExpectPicturesFitFormat(side, side + 2);
  }
}

// Format changes between frames of a stream that has not followed yet: a frame of the old size
// after the decoder shrank, and one of the new size before the key frame, draw nothing.
TEST(HostileVideoDecoder, FormatChangesAheadOfTheStream) {
  EncodedStream large(320, 240);
  EncodedStream small(160, 120);
  ASSERT_TRUE(large.ok());
  ASSERT_TRUE(small.ok());
  DecoderFixture f;
  f.decoder.Reinit(Format(320, 240));
  f.Feed(large.Next(true));
  ASSERT_EQ(f.pictures.size(), 1u);

  f.decoder.ChangeFormat(Format(160, 120));
  EXPECT_EQ(f.decoder.GetPictureBufferSize(), HX_VideoDecoder::PictureBufferBytes(160, 120));
  f.pictures.clear();
  f.Feed(large.Next(false));
  f.Feed(large.Next(true));
  EXPECT_TRUE(f.pictures.empty());

  const Bytes key = small.Next(true);
  ReferenceDecoder reference(160, 120);
  f.Feed(key);
  ASSERT_EQ(f.pictures.size(), 1u);
  EXPECT_EQ(f.pictures[0].data, reference.Decode(key));
  f.ExpectPicturesFitFormat(160, 120);
}

// After Release frames are ignored (the buffer is gone); the same format opens again.
TEST(HostileVideoDecoder, FramesAfterReleaseAreIgnored) {
  EncodedStream stream(160, 120);
  ASSERT_TRUE(stream.ok());
  DecoderFixture f;
  f.decoder.Reinit(Format(160, 120));
  f.decoder.Release();
  EXPECT_EQ(f.decoder.GetPictureBufferSize(), 0u);
  f.Feed(stream.Next(true));
  f.Feed(stream.Next(false), true);
  EXPECT_TRUE(f.pictures.empty());

  f.decoder.Reinit(Format(160, 120));
  const Bytes key = stream.Next(true);
  ReferenceDecoder reference(160, 120);
  f.Feed(key);
  ASSERT_EQ(f.pictures.size(), 1u);
  EXPECT_EQ(f.pictures[0].data, reference.Decode(key));
}

// Resident memory of this process in KiB (0 when it cannot be read).
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

// A small frame whose bitstream announces a picture far beyond any limit (a VP8 key frame of
// 16383x16383; a frame type that lies lets it past the synchroniser's key-frame check) must not
// make the decoder open for it: the decoder is open for 160x120 and stays within its memory, and
// asks for a key frame instead.
TEST(HostileVideoDecoder, HugeAnnouncedPictureAllocatesNothing) {
  EncodedStream stream(160, 120);
  ASSERT_TRUE(stream.ok());
  DecoderFixture f;
  f.decoder.Reinit(Format(160, 120));
  f.Feed(stream.Next(true));
  ASSERT_EQ(f.pictures.size(), 1u);
  const long before = ResidentKb();
  ASSERT_GT(before, 0);
  for (unsigned char type : {0, 1}) {
    Bytes frame = AnnouncingKeyFrame(16383, 16383, 3000);
    frame[0] = type;
    f.Feed(frame);
  }
  EXPECT_LT(ResidentKb() - before, 128 * 1024) << "KiB more resident after two 3 KB frames";
  EXPECT_EQ(f.keyRequests, 2);
  f.ExpectPicturesFitFormat(160, 120);
  // The stream goes on once a key frame of the opened size comes.
  f.Feed(stream.Next(true));
  EXPECT_EQ(f.pictures.size(), 2u);
}

}  // namespace
