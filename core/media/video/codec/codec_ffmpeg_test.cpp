// The FFmpeg codecs against real libavcodec: the code mapping, H.264 round trips measured by PSNR,
// key-frame requests and bit-rate changes, the MPEG-video rate arithmetic read back from the new
// H.263 context, and the decoder fed peer bytes (other sizes, other picture formats made with
// libx264 here, damaged and random packets) with guard bytes behind its output.
#include "core/media/video/codec/codec_ffmpeg.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "core/wire/media_format.h"
#include "testing/video_pictures.h"

namespace {

using hx_test::MovingPicture;
using hx_test::Psnr;

constexpr size_t kGuard = 4096;
constexpr unsigned char kGuardByte = 0xA5;

HX_VideoCoderOptions Options(int w, int h, int fps, int kbps) {
  HX_VideoCoderOptions o;
  o.width = w;
  o.height = h;
  o.timeBase = fps;
  o.bitrate = kbps;
  return o;
}

// An output buffer of `room` bytes followed by a guard area.
struct Guarded {
  explicit Guarded(size_t room) : room(room), bytes(room + kGuard, kGuardByte) {}
  unsigned char* data() { return bytes.data(); }
  bool GuardIntact() const {
    for (size_t i = room; i < bytes.size(); ++i)
      if (bytes[i] != kGuardByte) return false;
    return true;
  }
  size_t room;
  std::vector<unsigned char> bytes;
};

struct Packet {
  std::vector<unsigned char> bytes;
  bool key;
};

// Encodes `count` moving pictures at w x h with the adapter; `keyAt` frames are requested as key.
std::vector<Packet> EncodeH264(int w, int h, int count, int kbps, std::vector<int> keyAt = {}) {
  VideoCodecFFmpeg enc(HX_MediaFormat::kCodecH264, true, true, 0);
  HX_VideoCoderOptions o = Options(w, h, 30, kbps);
  EXPECT_TRUE(enc.init(&o, 0));
  enc.setBitrate(static_cast<uint32_t>(kbps));
  std::vector<Packet> out;
  std::vector<unsigned char> buf(static_cast<size_t>(w) * h * 3);
  for (int i = 0; i < count; ++i) {
    HX_VideoCodecParam p;
    p.request = std::find(keyAt.begin(), keyAt.end(), i) != keyAt.end() ? 0 : 1;
    const auto pic = MovingPicture(w, h, i);
    const int n = enc.convert(pic.data(), buf.data(), p);
    out.push_back({std::vector<unsigned char>(buf.begin(), buf.begin() + n), p.keyFrame != 0});
  }
  return out;
}

int DecodeInto(VideoCodecFFmpeg& dec, const std::vector<unsigned char>& packet, Guarded& out) {
  HX_VideoCodecParam p;
  p.inputSize = static_cast<uint32_t>(packet.size());
  return dec.convert(packet.data(), out.data(), p);
}

// The parameter-set NAL units (SPS, PPS) of an Annex B access unit.
std::vector<unsigned char> ParameterSets(const std::vector<unsigned char>& au) {
  std::vector<unsigned char> out;
  size_t i = 0;
  std::vector<size_t> starts;
  while (i + 3 <= au.size()) {
    if (au[i] == 0 && au[i + 1] == 0 && au[i + 2] == 1) {
      starts.push_back(i + 3);
      i += 3;
    } else {
      ++i;
    }
  }
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t end = k + 1 < starts.size() ? starts[k + 1] - 3 : au.size();
    while (end > starts[k] && au[end - 1] == 0) --end;
    const int type = au[starts[k]] & 0x1F;
    if (type == 7 || type == 8) {
      out.insert(out.end(), {0, 0, 0, 1});
      out.insert(out.end(), au.begin() + static_cast<long>(starts[k]), au.begin() + static_cast<long>(end));
    }
  }
  return out;
}

// Encodes with bare libavcodec/libx264 in another picture format: the luma of the moving scene,
// chroma from it, at 8 or 10 bits.
std::vector<std::vector<unsigned char>> EncodeFormat(AVPixelFormat fmt, int w, int h, int count) {
  std::vector<std::vector<unsigned char>> packets;
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) return packets;
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->width = w;
  c->height = h;
  c->time_base = {1, 30};
  c->pix_fmt = fmt;
  c->max_b_frames = 0;
  c->gop_size = 300;
  av_opt_set(c->priv_data, "preset", "ultrafast", 0);
  av_opt_set(c->priv_data, "tune", "zerolatency", 0);
  if (avcodec_open2(c, codec, nullptr) < 0) {
    avcodec_free_context(&c);
    return packets;
  }
  AVFrame* f = av_frame_alloc();
  f->format = fmt;
  f->width = w;
  f->height = h;
  av_frame_get_buffer(f, 32);
  AVPacket* pkt = av_packet_alloc();
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(fmt);
  const bool deep = d->comp[0].depth > 8;
  for (int i = 0; i < count; ++i) {
    av_frame_make_writable(f);
    const auto pic = MovingPicture(w, h, i);
    for (int plane = 0; plane < d->nb_components; ++plane) {
      const int pw = plane ? AV_CEIL_RSHIFT(w, d->log2_chroma_w) : w;
      const int ph = plane ? AV_CEIL_RSHIFT(h, d->log2_chroma_h) : h;
      for (int y = 0; y < ph; ++y) {
        for (int x = 0; x < pw; ++x) {
          int v;
          if (plane == 0) {
            v = pic[static_cast<size_t>(y) * w + x];
          } else {
            const int sx = x * (w / 2) / pw, sy = y * (h / 2) / ph;
            v = pic[static_cast<size_t>(w) * h * (plane == 1 ? 4 : 5) / 4 +
                    static_cast<size_t>(sy) * (w / 2) + sx];
          }
          if (deep)
            reinterpret_cast<uint16_t*>(f->data[plane] + y * f->linesize[plane])[x] =
                static_cast<uint16_t>(v << 2);
          else
            f->data[plane][y * f->linesize[plane] + x] = static_cast<uint8_t>(v);
        }
      }
    }
    f->pts = i;
    if (avcodec_send_frame(c, f) >= 0 && avcodec_receive_packet(c, pkt) >= 0) {
      packets.emplace_back(pkt->data, pkt->data + pkt->size);
      av_packet_unref(pkt);
    }
  }
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&c);
  return packets;
}

TEST(FFmpegCodec, FourccMapping) {
  const struct {
    uint32_t fcc;
    int id;
  } cases[] = {{HX_MediaFormat::kCodecVP8, 139},      {HX_MediaFormat::kCodecVP9, 167},
               {HX_MediaFormat::kCodecH261, 3},       {HX_MediaFormat::kCodecH263, 4},
               {HX_MediaFormat::kCodecH264, 27},      {HX_MediaFormat::kCodecH265, 173},
               {HX_MediaFormat::kCodecH263Plus, 19},  {HX_MediaFormat::kCodecVP8Stereo, 0},
               {0, 0},                                {0x12345678, 0}};
  for (const auto& c : cases) {
    EXPECT_EQ(FourccToAVCodecID(c.fcc), c.id) << std::hex << c.fcc;
  }
}

TEST(FFmpegCodec, VP8StereoHasNoCodec) {
  for (bool coder : {true, false}) {
    VideoCodecFFmpeg codec(HX_MediaFormat::kCodecVP8Stereo, coder, true, 0);
    HX_VideoCoderOptions o = Options(64, 48, 10, 200);
    EXPECT_FALSE(codec.init(&o, 0));
    EXPECT_FALSE(codec.isValid());
    HX_VideoCodecParam p;
    unsigned char buf[16] = {};
    EXPECT_EQ(codec.convert(buf, buf, p), 0);
    EXPECT_FALSE(codec._setBitrate(100));
  }
}

TEST(FFmpegCodec, H264RoundTripKeyRequestsAndQuality) {
  const int w = 640, h = 360, count = 110;
  const auto packets = EncodeH264(w, h, count, 1000, {45, 100});
  ASSERT_EQ(packets.size(), static_cast<size_t>(count));
  VideoCodecFFmpeg dec(HX_MediaFormat::kCodecH264, false, true, 0);
  HX_VideoCoderOptions o = Options(w, h, 30, 0);
  ASSERT_TRUE(dec.init(&o, 0));
  const size_t room = static_cast<size_t>(w) * h * 3 / 2;
  Guarded out(room);
  for (int i = 0; i < count; ++i) {
    ASSERT_FALSE(packets[i].bytes.empty()) << "no packet for picture " << i;
    const bool wantKey = i == 0 || i == 45 || i == 100;
    EXPECT_EQ(packets[i].key, wantKey) << i;
    ASSERT_EQ(DecodeInto(dec, packets[i].bytes, out), static_cast<int>(room)) << i;
    const auto src = MovingPicture(w, h, i);
    EXPECT_GE(Psnr(src.data(), out.data(), room), 30.0) << i;
  }
  EXPECT_TRUE(out.GuardIntact());
}

TEST(FFmpegCodec, H264BitRateLoweredShrinksPackets) {
  const int w = 640, h = 360;
  VideoCodecFFmpeg enc(HX_MediaFormat::kCodecH264, true, true, 0);
  HX_VideoCoderOptions o = Options(w, h, 30, 1000);
  ASSERT_TRUE(enc.init(&o, 0));
  enc.setBitrate(1000);
  std::vector<unsigned char> buf(static_cast<size_t>(w) * h * 3);
  size_t before = 0, after = 0;
  for (int i = 0; i < 120; ++i) {
    if (i == 60) enc.setBitrate(100);
    HX_VideoCodecParam p;
    p.request = 1;
    const auto pic = MovingPicture(w, h, i);
    const int n = enc.convert(pic.data(), buf.data(), p);
    ASSERT_GT(n, 0) << i;
    if (i >= 1 && i < 60) before += static_cast<size_t>(n);
    if (i >= 60) after += static_cast<size_t>(n);
    if (i >= 1) {
      EXPECT_EQ(p.keyFrame, 0u) << i;
    }
  }
  EXPECT_EQ(enc.getAppliedBitrate(), 100u);
  EXPECT_EQ(enc.wrapper()->context()->bit_rate, 100 * 1024);
  // 59 pictures before against 60 after: the 60 at the lower rate are at least four times smaller.
  EXPECT_GE(before, after * 4) << before << " vs " << after;
}

TEST(FFmpegCodec, DecoderWithoutPictureWritesBlack) {
  const int w = 320, h = 180;
  const auto packets = EncodeH264(w, h, 1, 500);
  const auto sets = ParameterSets(packets[0].bytes);
  ASSERT_FALSE(sets.empty());
  VideoCodecFFmpeg dec(HX_MediaFormat::kCodecH264, false, true, 0);
  HX_VideoCoderOptions o = Options(w, h, 30, 0);
  ASSERT_TRUE(dec.init(&o, 0));
  const size_t room = static_cast<size_t>(w) * h * 3 / 2;
  // A packet that yields no picture of the opened size (a key frame of another size), then an
  // empty packet: a black picture written, 0 bytes.
  const std::vector<unsigned char> skipped = EncodeH264(w * 2, h * 2, 1, 500)[0].bytes;
  for (const auto& input : {skipped, std::vector<unsigned char>{}}) {
    Guarded out(room);
    std::memset(out.data(), 0x55, room);
    EXPECT_EQ(DecodeInto(dec, input, out), 0);
    for (size_t i = 0; i < room; ++i) {
      ASSERT_EQ(out.bytes[i], i < static_cast<size_t>(w) * h ? 0 : 128) << i;
    }
    EXPECT_TRUE(out.GuardIntact());
  }
  // Parameter sets alone are refused by the decoder: 0 bytes and nothing written.
  {
    Guarded out(room);
    std::memset(out.data(), 0x55, room);
    EXPECT_EQ(DecodeInto(dec, sets, out), 0);
    EXPECT_EQ(out.bytes[0], 0x55);
    EXPECT_TRUE(out.GuardIntact());
  }
  // The empty packet did not put the decoder into draining: the stream still decodes.
  Guarded out(room);
  EXPECT_EQ(DecodeInto(dec, packets[0].bytes, out), static_cast<int>(room));
}

TEST(FFmpegCodec, SetBitrateWithoutEntryAnswersMinusOne) {
  FF_VideoCodec vp8(FF_VCodecVP8, true);
  ASSERT_EQ(vp8.Init(64, 48, 0, 10), 0);
  EXPECT_EQ(vp8.SetBitrate(300), -1);
  FF_VideoCodec h264dec(FF_VCodecH264, false);
  ASSERT_EQ(h264dec.Init(64, 48, 0, 10), 0);
  EXPECT_EQ(h264dec.SetBitrate(300), -1);
  FF_VideoCodec closed(FF_VCodecH264, true);
  EXPECT_EQ(closed.SetBitrate(300), -1);

  VideoCodecFFmpeg adapter(HX_MediaFormat::kCodecVP8, true, true, 0);
  HX_VideoCoderOptions o = Options(64, 48, 10, 200);
  ASSERT_TRUE(adapter.init(&o, 0));
  EXPECT_TRUE(adapter._setBitrate(300));
  adapter.release();
  EXPECT_FALSE(adapter._setBitrate(300));
  EXPECT_EQ(adapter.getBitrate(), 128u);
}

TEST(FFmpegCodec, MpegVideoRateArithmeticOnNewContext) {
  FF_VideoCodec h263(FF_VCodecH263, true);
  ASSERT_EQ(h263.Init(352, 288, 0, 10), 0);
  const AVCodecContext* first = h263.context();
  ASSERT_EQ(h263.SetBitrate(256), 0);
  EXPECT_EQ(h263.context()->bit_rate, 262144);
  EXPECT_FLOAT_EQ(MpvRateLoad(262144, 352, 288), 2.5858586f);
  EXPECT_FLOAT_EQ(h263.context()->i_quant_factor, 1.9785444f);
  EXPECT_EQ(h263.context()->bit_rate_tolerance, 10 * 262144);
  EXPECT_NE(h263.context(), nullptr);
  (void)first;
  ASSERT_EQ(h263.SetBitrate(8000), 0);
  EXPECT_GT(MpvRateLoad(8000 * 1024, 352, 288), 5.86f);
  EXPECT_EQ(h263.context()->bit_rate, 8000 * 1024);
  EXPECT_FLOAT_EQ(h263.context()->i_quant_factor, 2.4f);
  EXPECT_FLOAT_EQ(MpvIQuantFactor(-1.0f), 2.4f);
}

TEST(FFmpegCodec, H263TakesBitRateChangeAndRefusesOtherSizes) {
  VideoCodecFFmpeg enc(HX_MediaFormat::kCodecH263, true, true, 0);
  HX_VideoCoderOptions bad = Options(640, 480, 10, 256);
  EXPECT_FALSE(enc.init(&bad, 0));
  HX_VideoCoderOptions o = Options(352, 288, 10, 256);
  ASSERT_TRUE(enc.init(&o, 0));
  enc.setBitrate(256);
  std::vector<unsigned char> buf(352 * 288 * 3);
  std::vector<bool> keys;
  for (int i = 0; i < 12; ++i) {
    if (i == 6) enc.setBitrate(512);
    HX_VideoCodecParam p;
    p.request = i == 3 ? 0 : 1;
    const auto pic = MovingPicture(352, 288, i);
    ASSERT_GT(enc.convert(pic.data(), buf.data(), p), 0) << i;
    keys.push_back(p.keyFrame != 0);
  }
  const std::vector<bool> want = {true, false, false, true, false, false,
                                  true, false, false, false, false, false};
  EXPECT_EQ(keys, want);
  EXPECT_EQ(enc.wrapper()->context()->bit_rate, 512 * 1024);
}

TEST(FFmpegCodec, EncoderDropsPacketsLargerThanItsRoom) {
  // 16x16 noise: the first key frame (with the encoder's parameter sets and banner) does not fit
  // 3 x 16 x 16 bytes; it is dropped and the next picture is a key frame again.
  FF_VideoCodec enc(FF_VCodecH264, true);
  ASSERT_EQ(enc.Init(16, 16, 0, 30), 0);
  ASSERT_EQ(enc.SetBitrate(20000), 0);
  std::mt19937 rng(7);
  std::vector<unsigned char> pic(16 * 16 * 3 / 2);
  Guarded out(enc.EncodeCapacity());
  bool key = true;
  for (auto& b : pic) b = static_cast<unsigned char>(rng());
  EXPECT_EQ(enc.Encode(pic.data(), out.data(), false, key), 0);
  EXPECT_FALSE(key);
  EXPECT_TRUE(out.GuardIntact());
  for (auto& b : pic) b = 128;
  const int n = enc.Encode(pic.data(), out.data(), false, key);
  EXPECT_GT(n, 0);
  EXPECT_TRUE(key);
  EXPECT_TRUE(out.GuardIntact());
}

TEST(FFmpegCodec, DecoderNeverWritesOtherSizes) {
  // A 640x360 stream into a decoder opened at 320x180 (a new size before the format notice).
  const auto packets = EncodeH264(640, 360, 3, 800);
  VideoCodecFFmpeg dec(HX_MediaFormat::kCodecH264, false, true, 0);
  HX_VideoCoderOptions o = Options(320, 180, 30, 0);
  ASSERT_TRUE(dec.init(&o, 0));
  const size_t room = 320 * 180 * 3 / 2;
  for (const auto& p : packets) {
    Guarded out(room);
    EXPECT_EQ(DecodeInto(dec, p.bytes, out), 0);
    EXPECT_TRUE(out.GuardIntact());
  }
  // Then the stream of the opened size decodes normally.
  const auto small = EncodeH264(320, 180, 2, 400);
  Guarded out(room);
  EXPECT_EQ(DecodeInto(dec, small[0].bytes, out), static_cast<int>(room));
  EXPECT_TRUE(out.GuardIntact());
}

TEST(FFmpegCodec, DecoderConvertsOtherPictureFormats) {
  const int w = 320, h = 180;
  const struct {
    AVPixelFormat fmt;
    const char* name;
    bool chroma;
  } cases[] = {{AV_PIX_FMT_YUV444P, "4:4:4", true},
               {AV_PIX_FMT_YUV422P, "4:2:2", true},
               {AV_PIX_FMT_YUV420P10LE, "10-bit", true},
               {AV_PIX_FMT_GRAY8, "monochrome", false}};
  const size_t room = static_cast<size_t>(w) * h * 3 / 2;
  for (const auto& c : cases) {
    const auto packets = EncodeFormat(c.fmt, w, h, 3);
    ASSERT_EQ(packets.size(), 3u) << c.name;
    VideoCodecFFmpeg dec(HX_MediaFormat::kCodecH264, false, true, 0);
    HX_VideoCoderOptions o = Options(w, h, 30, 0);
    ASSERT_TRUE(dec.init(&o, 0));
    for (int i = 0; i < 3; ++i) {
      Guarded out(room);
      ASSERT_EQ(DecodeInto(dec, packets[i], out), static_cast<int>(room)) << c.name;
      EXPECT_TRUE(out.GuardIntact()) << c.name;
      const auto src = MovingPicture(w, h, i);
      EXPECT_GE(Psnr(src.data(), out.data(), static_cast<size_t>(w) * h), 30.0) << c.name;
      const size_t chroma = static_cast<size_t>(w) * h / 2;
      if (c.chroma) {
        EXPECT_GE(Psnr(src.data() + w * h, out.data() + w * h, chroma), 28.0) << c.name;
      } else {
        for (size_t k = 0; k < chroma; ++k) ASSERT_EQ(out.bytes[w * h + k], 128) << c.name;
      }
    }
  }
}

TEST(FFmpegCodec, DecoderSurvivesDamagedAndRandomPackets) {
  const int w = 320, h = 180;
  const auto packets = EncodeH264(w, h, 8, 400);
  const size_t room = static_cast<size_t>(w) * h * 3 / 2;
  std::mt19937 rng(11);
  VideoCodecFFmpeg dec(HX_MediaFormat::kCodecH264, false, true, 0);
  HX_VideoCoderOptions o = Options(w, h, 30, 0);
  ASSERT_TRUE(dec.init(&o, 0));
  for (int round = 0; round < 60; ++round) {
    std::vector<unsigned char> p = packets[static_cast<size_t>(round) % packets.size()].bytes;
    switch (round % 3) {
      case 0:
        p.resize(p.size() * (rng() % 100) / 100);
        break;
      case 1:
        for (int k = 0; k < 8; ++k) p[rng() % p.size()] = static_cast<unsigned char>(rng());
        break;
      default:
        p.resize(1 + rng() % 2000);
        for (auto& b : p) b = static_cast<unsigned char>(rng());
        break;
    }
    Guarded out(room);
    const int n = DecodeInto(dec, p, out);
    EXPECT_TRUE(n == 0 || n == static_cast<int>(room)) << n;
    EXPECT_TRUE(out.GuardIntact()) << round;
  }
}

TEST(FFmpegCodec, HardwareDecoderWithoutDeviceFailsCleanly) {
  // No device of the platform's type on this machine, or no configuration for it: -1, nothing open.
  FfmpegHwDecoder hw(FF_VCodecH264);
  if (hw.Init(320, 180, 0, 30) == 0) GTEST_SKIP() << "a hardware decoding device is present";
  EXPECT_FALSE(hw.isOpen());
  unsigned char in[8] = {0, 0, 0, 1, 0x65, 0, 0, 0};
  std::vector<unsigned char> out(320 * 180 * 3 / 2, 0x33);
  EXPECT_EQ(hw.Decode(in, out.data(), 8), -1);
  EXPECT_EQ(out[0], 0x33);
  FfmpegHwDecoder none(FF_VCodecH264, AV_HWDEVICE_TYPE_NONE);
  EXPECT_EQ(none.Init(320, 180, 0, 30), -1);
}

TEST(FFmpegCodec, ReopenAfterRelease) {
  VideoCodecFFmpeg enc(HX_MediaFormat::kCodecH264, true, true, 0);
  VideoCodecFFmpeg dec(HX_MediaFormat::kCodecH264, false, true, 0);
  for (int size : {64, 128, 64}) {
    HX_VideoCoderOptions o = Options(size, size, 30, 300);
    ASSERT_TRUE(enc.init(&o, 0));
    ASSERT_TRUE(dec.init(&o, 0));
    std::vector<unsigned char> buf(static_cast<size_t>(size) * size * 3);
    std::vector<unsigned char> pic = MovingPicture(size, size, 1);
    HX_VideoCodecParam p;
    const int n = enc.convert(pic.data(), buf.data(), p);
    ASSERT_GT(n, 0);
    EXPECT_EQ(p.keyFrame, 1u);
    HX_VideoCodecParam d;
    d.inputSize = static_cast<uint32_t>(n);
    std::vector<unsigned char> out(static_cast<size_t>(size) * size * 3 / 2);
    EXPECT_EQ(dec.convert(buf.data(), out.data(), d), static_cast<int>(out.size()));
  }
}

TEST(FFmpegCodec, ManyThreadsOpenUseAndClose) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&failures, t] {
      for (int i = 0; i < 50; ++i) {
        const int size = 32 + 16 * ((t + i) % 3);
        VideoCodecFFmpeg enc(t % 2 ? HX_MediaFormat::kCodecH264 : HX_MediaFormat::kCodecH263Plus,
                             true, true, 0);
        VideoCodecFFmpeg dec(HX_MediaFormat::kCodecH264, false, true, 0);
        HX_VideoCoderOptions o = Options(size, size, 30, 200);
        if (t % 2 == 0) o = Options(128, 96, 30, 200);  // H.263+ sizes are multiples of 4
        if (!enc.init(&o, 0) || !dec.init(&o, 0)) {
          ++failures;
          continue;
        }
        std::vector<unsigned char> buf(static_cast<size_t>(o.width) * o.height * 3);
        std::vector<unsigned char> out(static_cast<size_t>(o.width) * o.height * 3 / 2);
        const auto pic = MovingPicture(o.width, o.height, i);
        HX_VideoCodecParam p;
        const int n = enc.convert(pic.data(), buf.data(), p);
        if (n <= 0) ++failures;
        if (t % 2) {
          HX_VideoCodecParam d;
          d.inputSize = static_cast<uint32_t>(n);
          if (dec.convert(buf.data(), out.data(), d) != static_cast<int>(out.size())) ++failures;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
