// The video receive road beside a bare libvpx decode of the same frames, in the same run:
// 300 pictures of 640x360 VP8 at 30 frames a second (libvpx, one key frame, about 1000 kbit/s),
// cut into TCP parts by the TCP frame writer before timing.
//   ours: every part through HX_VideoFrameAssembler::PushFrame, the frame into
//         CVideoSource::AddData (audio delay 200 ms) and a draw round (CheckDraw) on a clock that
//         advances 33 ms per frame: the round takes the due frame out, checks its format and
//         releases it to HX_VideoDecoder, whose VP8 codec decodes it into the picture buffer and
//         emits the picture; the frames still in the ring at the end are drawn in timed rounds;
//   base: vpx_codec_decode / vpx_codec_get_frame on a one-thread VP8 decoder with the same frame,
//         the picture then copied out packed (the job the decoder front-end does for its callers).
// Each round opens both decoders (untimed) and decodes the sequence frame by frame, ours and the
// baseline in turn (which goes first alternates), so load from other processes hits both alike.
// Counters: ours_fps and base_fps in frames per wall-clock second over all rounds, and
// ratio = ours_fps / base_fps (target at least 0.9); pictures counts what each side produced.
#include <benchmark/benchmark.h>
#include <vpx/vp8dx.h>
#include <vpx/vpx_decoder.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "core/media/video/codec/codec_vp8.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/receive/frame_assembler.h"
#include "core/media/video/receive/video_sync.h"
#include "core/media/video/video_decoder.h"
#include "core/streams/send_video_header.h"
#include "core/streams/tcp_send_queue.h"
#include "testing/video_pictures.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kPictures = 300;
constexpr int kRounds = 7;

struct Encoded {
  std::vector<Bytes> bitstreams;          // VP8 frames
  std::vector<std::vector<Bytes>> parts;  // the TCP parts of each frame
};

const Encoded& Stream() {
  static const Encoded encoded = [] {
    Encoded e;
    HXCodecVP8Encoder encoder;
    HX_VideoCoderOptions o;
    o.width = kWidth;
    o.height = kHeight;
    o.timeBase = 30;
    o.bitrate = 1000;
    o.constantBitrate = 1;
    o.keyFrameMaxDistance = 1000;
    o.threads = 1;
    o.lagFrames = 1;
    o.cpuUsed = -6;
    o.staticThreshold = 800;
    if (!encoder.init(&o, 0)) return e;
    Bytes out(static_cast<size_t>(kWidth) * kHeight * 3 + 6);
    for (int i = 0; i < kPictures; ++i) {
      const auto picture = hx_test::MovingPicture(kWidth, kHeight, i);
      HX_VideoCodecParam param;
      param.request = i == 0 ? 0 : 1;
      const int n = encoder.convert(picture.data(), out.data() + 6, param);
      if (n <= 0) continue;
      out[0] = static_cast<uint8_t>(i);
      out[1] = param.keyFrame ? 0 : 1;
      std::memset(out.data() + 2, 0, 4);
      e.bitstreams.emplace_back(out.begin() + 6, out.begin() + 6 + n);
      HX_SendNhpVideoHeader header;
      header.frameCounter = out[0];
      header.frameType = out[1];
      header.frameInterval = 33;
      HX_CommitFrameVideo frame(out.data(), static_cast<size_t>(n) + 6, &header, 0);
      std::vector<Bytes> parts;
      while (!frame.Sent()) {
        const uint8_t* head = frame.Buffer();
        parts.emplace_back(head + HX_StreamFrameHead::kSize, head + frame.CurrentPartSize());
        frame.NextPart();
      }
      e.parts.push_back(std::move(parts));
    }
    return e;
  }();
  return encoded;
}

struct Timing {
  double wall = 0;
  void Time(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    call();
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
};

// The receive road without its draw thread: the benchmark calls CheckDraw itself, on a clock it
// moves to each frame's due time.
class Road {
 public:
  Road() : source_([this] { return now_; }) {
    HX_MediaFormat format;
    format.width = kWidth;
    format.height = kHeight;
    format.videoCodec = HX_MediaFormat::kCodecVP8;
    assembler_.Reset(kWidth, kHeight, true);
    decoder_.SetCodecFactory(&factory_);
    decoder_.Reinit(format);
    source_.AudioDelaySignal.Connect(this, &Road::OnAudioDelay);
    source_.FrameReleasedSignal.Connect(static_cast<HX_VideoDecoder*>(&decoder_),
                                        &HX_VideoDecoder::OnReady2Decompress);
    source_.DecoderFormatSignal.Connect(static_cast<HX_VideoDecoder*>(&decoder_),
                                        &HX_VideoDecoder::ChangeFormat);
    decoder_.DecodedPictureSignal.Connect(this, &Road::OnPicture);
  }

  // One frame arrives 33 ms after the previous one; the draw round at that moment releases what
  // is due (the frame that arrived about 200 ms before).
  void Frame(const std::vector<Bytes>& parts) {
    now_ += 33;
    for (const Bytes& part : parts) {
      bool needed = false;
      if (!assembler_.PushFrame(part.data(), static_cast<uint16_t>(part.size()), needed)) continue;
      const uint8_t* data = nullptr;
      uint64_t length = 0;
      uint32_t time = 0;
      const HX_RecvNhpVideoHeader* header = nullptr;
      bool key = false;
      assembler_.getFrame(data, length, time, header, key);
      source_.AddData(data, static_cast<size_t>(length), static_cast<int>(time), header, key,
                      needed);
    }
    int wait = 0;
    source_.CheckDraw(wait);
  }
  // Draw rounds every 33 ms until the ring is empty.
  void Flush() {
    while (source_.GetReadIndex() < source_.GetWriteIndex()) {
      now_ += 33;
      int wait = 0;
      source_.CheckDraw(wait);
    }
  }
  int Pictures() const { return pictures_; }

 private:
  void OnAudioDelay(int& total, int& second) {
    total = 200;
    second = 0;
  }
  void OnPicture(const unsigned char* picture, unsigned long, unsigned, unsigned, unsigned) {
    if (picture != nullptr) ++pictures_;
  }

  int64_t now_ = 100000;
  HX_VideoCodecFactory factory_;
  HX_VideoFrameAssembler assembler_;
  CVideoSource source_;
  HX_VideoDecoder decoder_;
  int pictures_ = 0;
};

class BareDecoder {
 public:
  BareDecoder() : out_(static_cast<size_t>(kWidth) * kHeight * 3 / 2) {
    vpx_codec_dec_cfg_t config{};
    config.threads = 1;
    config.w = kWidth;
    config.h = kHeight;
    ok_ = vpx_codec_dec_init(&codec_, vpx_codec_vp8_dx(), &config, 0) == VPX_CODEC_OK;
  }
  ~BareDecoder() {
    if (ok_) vpx_codec_destroy(&codec_);
  }
  void Frame(const Bytes& bitstream) {
    if (!ok_ || vpx_codec_decode(&codec_, bitstream.data(), static_cast<unsigned>(bitstream.size()),
                                 nullptr, 0) != 0) {
      return;
    }
    vpx_codec_iter_t iter = nullptr;
    while (const vpx_image_t* image = vpx_codec_get_frame(&codec_, &iter)) {
      uint8_t* at = out_.data();
      for (int plane = 0; plane < 3; ++plane) {
        const int w = plane == 0 ? static_cast<int>(image->d_w) : (image->d_w + 1) / 2;
        const int h = plane == 0 ? static_cast<int>(image->d_h) : (image->d_h + 1) / 2;
        for (int y = 0; y < h; ++y) {
          std::memcpy(at, image->planes[plane] + y * image->stride[plane], w);
          at += w;
        }
      }
      ++pictures_;
    }
  }
  int Pictures() const { return pictures_; }

 private:
  vpx_codec_ctx_t codec_{};
  bool ok_ = false;
  Bytes out_;
  int pictures_ = 0;
};

void BM_VideoReceiveRoad(benchmark::State& state) {
  const Encoded& e = Stream();
  if (e.bitstreams.size() != static_cast<size_t>(kPictures)) {
    state.SkipWithError("the encoder produced too few frames");
    return;
  }
  Timing o, b;
  int oursPictures = 0, basePictures = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      auto road = std::make_unique<Road>();
      auto bare = std::make_unique<BareDecoder>();
      for (int i = 0; i < kPictures; ++i) {
        if ((i + round) % 2 == 0) {
          o.Time([&] { road->Frame(e.parts[i]); });
          b.Time([&] { bare->Frame(e.bitstreams[i]); });
        } else {
          b.Time([&] { bare->Frame(e.bitstreams[i]); });
          o.Time([&] { road->Frame(e.parts[i]); });
        }
      }
      o.Time([&] { road->Flush(); });
      oursPictures += road->Pictures();
      basePictures += bare->Pictures();
    }
  }
  const double frames = static_cast<double>(kPictures) * kRounds * state.iterations();
  state.counters["ours_fps"] = frames / o.wall;
  state.counters["base_fps"] = frames / b.wall;
  state.counters["ratio"] = b.wall / o.wall;
  state.counters["ours_pictures"] = oursPictures;
  state.counters["base_pictures"] = basePictures;
}
BENCHMARK(BM_VideoReceiveRoad)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
