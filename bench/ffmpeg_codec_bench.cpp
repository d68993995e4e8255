// The H.264 codec adapter over libavcodec beside bare libavcodec calls with the same settings, on
// the same 300 moving pictures at 640x360 in the same run:
//   encode: VideoCodecFFmpeg::convert against avcodec_send_frame / avcodec_receive_packet on a
//           libx264 context opened as the adapter opens it (veryfast preset, zero-latency tuning,
//           no B-frames, group 300, qmin 3, forced IDR, no scene cut, 1000 kbit/s as b = 1024000,
//           maximum rate (int)(b x 1.2) with a buffer of that size, 30 pictures a second);
//   decode: VideoCodecFFmpeg::convert on the adapter's packets against avcodec_send_packet /
//           avcodec_receive_frame on a one-thread H.264 decoder, the picture then copied out packed
//           (av_image_copy_to_buffer), the job the adapter does for its callers.
// Opening and closing the codecs are outside the timed part. Each of the rounds opens both codecs
// and codes the whole sequence from picture 0, ours and the baseline taking turns picture by
// picture, so load from other processes hits both alike. Counters: ours_pps and base_pps in
// pictures per wall-clock second over all rounds, ratio = ours_pps / base_pps (target at least
// 0.9), cpu_ratio the same in process CPU time (libx264 runs worker threads), and the bytes and
// packets (pictures) each side produced (identical settings give the same stream).
#include <benchmark/benchmark.h>
#include <time.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <vector>

#include "core/media/video/codec/codec_ffmpeg.h"
#include "core/wire/media_format.h"
#include "testing/video_pictures.h"

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 360;
constexpr int kPictures = 300;
constexpr int kFps = 30;
constexpr int kKbps = 1000;
constexpr int kRounds = 7;
constexpr size_t kPictureBytes = static_cast<size_t>(kWidth) * kHeight * 3 / 2;

const std::vector<std::vector<unsigned char>>& Pictures() {
  static const auto pictures = [] {
    std::vector<std::vector<unsigned char>> v;
    for (int i = 0; i < kPictures; ++i) v.push_back(hx_test::MovingPicture(kWidth, kHeight, i));
    return v;
  }();
  return pictures;
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Times one call: wall and process CPU seconds (libx264 works on threads of its own) added up.
struct Timing {
  double wall = 0;
  double cpu = 0;
  void Time(const std::function<void()>& call) {
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = ProcessCpuSeconds();
    call();
    cpu += ProcessCpuSeconds() - cpuStart;
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
};

// Each round opens both codecs (untimed), then codes the sequence picture by picture, ours and the
// baseline in turn (which goes first alternates), so load from other processes hits both alike;
// then closes both (untimed). Reports the pictures per second of all rounds.
void Compare(benchmark::State& state, const std::function<void()>& setup,
             const std::function<void(int)>& ours, const std::function<void(int)>& base,
             const std::function<void()>& teardown) {
  Timing o, b;
  for (int round = 0; round < kRounds; ++round) {
    setup();
    for (int i = 0; i < kPictures; ++i) {
      if ((i + round) % 2 == 0) {
        o.Time([&] { ours(i); });
        b.Time([&] { base(i); });
      } else {
        b.Time([&] { base(i); });
        o.Time([&] { ours(i); });
      }
    }
    teardown();
  }
  state.counters["ours_pps"] = kPictures * kRounds / o.wall;
  state.counters["base_pps"] = kPictures * kRounds / b.wall;
  state.counters["ratio"] = b.wall / o.wall;
  state.counters["cpu_ratio"] = b.cpu / o.cpu;
}

HX_VideoCoderOptions Options() {
  HX_VideoCoderOptions o;
  o.width = kWidth;
  o.height = kHeight;
  o.timeBase = kFps;
  o.bitrate = kKbps;
  return o;
}

// The adapter's encoder, opened and at its rate before the first picture.
std::unique_ptr<VideoCodecFFmpeg> OurEncoder() {
  auto enc = std::make_unique<VideoCodecFFmpeg>(HX_MediaFormat::kCodecH264, true, true, 0);
  const HX_VideoCoderOptions o = Options();
  if (!enc->init(&o, 0)) throw std::runtime_error("adapter encoder init failed");
  enc->setBitrate(kKbps);
  enc->updateBiterate();
  return enc;
}

// A bare libx264 context with the adapter's settings.
AVCodecContext* BareEncoder() {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  if (!ctx) throw std::runtime_error("no H.264 encoder");
  const int64_t b = static_cast<int64_t>(kKbps) * 1024;
  ctx->width = kWidth;
  ctx->height = kHeight;
  ctx->time_base = AVRational{1, kFps};
  ctx->framerate = AVRational{kFps, 1};
  ctx->gop_size = 300;
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->max_b_frames = 0;
  ctx->qmin = 3;
  ctx->bit_rate = b;
  ctx->rc_max_rate = static_cast<int64_t>(static_cast<double>(b) * 1.2);
  ctx->rc_buffer_size = static_cast<int>(ctx->rc_max_rate);
  av_opt_set(ctx->priv_data, "preset", "veryfast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  av_opt_set_int(ctx->priv_data, "forced-idr", 1, 0);
  av_opt_set(ctx->priv_data, "x264-params", "scenecut=0", 0);
  if (avcodec_open2(ctx, codec, nullptr) < 0) throw std::runtime_error("bare encoder open failed");
  return ctx;
}

void BM_H264Encode(benchmark::State& state) {
  const auto& pictures = Pictures();
  std::vector<unsigned char> out(static_cast<size_t>(kWidth) * kHeight * 3);
  std::unique_ptr<VideoCodecFFmpeg> ours;
  AVCodecContext* bare = nullptr;
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  size_t oursBytes = 0, baseBytes = 0;
  int oursPackets = 0, basePackets = 0;

  auto setup = [&] {
    ours = OurEncoder();
    bare = BareEncoder();
    oursBytes = baseBytes = 0;
    oursPackets = basePackets = 0;
  };
  auto oursStep = [&](int i) {
    HX_VideoCodecParam p;
    p.request = 1;
    const int n = ours->convert(pictures[i].data(), out.data(), p);
    oursBytes += static_cast<size_t>(n);
    oursPackets += n > 0;
  };
  auto bareStep = [&](int i) {
    // The packed picture handed over as it is (libavcodec copies a frame without buffers).
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = kWidth;
    frame->height = kHeight;
    frame->data[0] = const_cast<unsigned char*>(pictures[i].data());
    frame->data[1] = frame->data[0] + kWidth * kHeight;
    frame->data[2] = frame->data[1] + kWidth * kHeight / 4;
    frame->linesize[0] = kWidth;
    frame->linesize[1] = frame->linesize[2] = kWidth / 2;
    frame->pts = i + 1;
    if (avcodec_send_frame(bare, frame) < 0) return;
    while (avcodec_receive_packet(bare, packet) >= 0) {
      std::memcpy(out.data(), packet->data, static_cast<size_t>(packet->size));
      baseBytes += static_cast<size_t>(packet->size);
      ++basePackets;
      av_packet_unref(packet);
    }
  };
  auto teardown = [&] {
    ours.reset();
    avcodec_free_context(&bare);
  };
  for (auto _ : state) Compare(state, setup, oursStep, bareStep, teardown);
  state.counters["ours_bytes"] = static_cast<double>(oursBytes);
  state.counters["base_bytes"] = static_cast<double>(baseBytes);
  state.counters["ours_packets"] = oursPackets;
  state.counters["base_packets"] = basePackets;
  av_packet_free(&packet);
  av_frame_free(&frame);
}
BENCHMARK(BM_H264Encode)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The adapter encoder's packets of the sequence, each with libavcodec's zero padding behind it.
struct Stream {
  std::vector<std::vector<unsigned char>> packets;  // padded storage
  std::vector<int> sizes;
};

const Stream& Packets() {
  static const Stream stream = [] {
    Stream s;
    auto enc = OurEncoder();
    std::vector<unsigned char> out(static_cast<size_t>(kWidth) * kHeight * 3);
    for (const auto& pic : Pictures()) {
      HX_VideoCodecParam p;
      p.request = 1;
      const int n = enc->convert(pic.data(), out.data(), p);
      std::vector<unsigned char> padded(static_cast<size_t>(n) + AV_INPUT_BUFFER_PADDING_SIZE, 0);
      std::memcpy(padded.data(), out.data(), static_cast<size_t>(n));
      s.packets.push_back(std::move(padded));
      s.sizes.push_back(n);
    }
    return s;
  }();
  return stream;
}

void BM_H264Decode(benchmark::State& state) {
  const Stream& stream = Packets();
  std::vector<unsigned char> picture(kPictureBytes);
  std::unique_ptr<VideoCodecFFmpeg> ours;
  AVCodecContext* bare = nullptr;
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  int oursPictures = 0, basePictures = 0;

  auto setup = [&] {
    ours = std::make_unique<VideoCodecFFmpeg>(HX_MediaFormat::kCodecH264, false, true, 0);
    const HX_VideoCoderOptions o = Options();
    if (!ours->init(&o, 0)) throw std::runtime_error("adapter decoder init failed");
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    bare = avcodec_alloc_context3(codec);
    bare->width = kWidth;
    bare->height = kHeight;
    bare->thread_count = 1;  // as the adapter: one packet in, its picture out
    if (avcodec_open2(bare, codec, nullptr) < 0)
      throw std::runtime_error("bare decoder open failed");
    oursPictures = basePictures = 0;
  };
  auto oursStep = [&](int i) {
    HX_VideoCodecParam p;
    p.inputSize = static_cast<uint32_t>(stream.sizes[i]);
    oursPictures += ours->convert(stream.packets[i].data(), picture.data(), p) > 0;
  };
  auto bareStep = [&](int i) {
    packet->data = const_cast<unsigned char*>(stream.packets[i].data());
    packet->size = stream.sizes[i];
    const int sent = avcodec_send_packet(bare, packet);
    packet->data = nullptr;
    packet->size = 0;
    if (sent < 0) return;
    while (avcodec_receive_frame(bare, frame) >= 0) {
      av_image_copy_to_buffer(picture.data(), static_cast<int>(picture.size()), frame->data,
                              frame->linesize, static_cast<AVPixelFormat>(frame->format),
                              frame->width, frame->height, 1);
      ++basePictures;
      av_frame_unref(frame);
    }
  };
  auto teardown = [&] {
    ours.reset();
    avcodec_free_context(&bare);
  };
  for (auto _ : state) Compare(state, setup, oursStep, bareStep, teardown);
  state.counters["ours_pictures"] = oursPictures;
  state.counters["base_pictures"] = basePictures;
  av_packet_free(&packet);
  av_frame_free(&frame);
}
BENCHMARK(BM_H264Decode)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
