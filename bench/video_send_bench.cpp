// The video send path beside bare libvpx, on the same moving pictures in the same run.
//
//   one_layer: pictures of the camera stand-in's moving pattern, 640x360 I420 with capture times
//     33 ms apart (nothing is thinned), go through the capture slot (real media-format adapter and
//     capture conversion), the file capture slot and a one-layer VP8 encoder front-end to its
//     compressed-frame signal — the send stream's wiring, done here by a small glue object until
//     the stream exists — against vpx_codec_encode on a libvpx VP8 encoder opened with the
//     configuration the front-end's codec handed to libvpx (read back after it opened), the same
//     speed and static threshold, each packet copied out as the codec does.
//   two_layers: 640x480 with spatial bit 16 in both SVC words (layer 1 at 320x240 scales and
//     encodes on its own thread while layer 0 encodes) against bare encodes of 640x480 and of the
//     pre-scaled 320x240 pictures one after the other.
//
// Each round codes the whole sequence from picture 0 with fresh encoders (opened untimed), ours and
// the baseline taking turns picture by picture so that load from other processes hits both alike.
// Counters: ours_pps and base_pps in pictures per second over all rounds, ratio = ours / base
// (the path adds one copy and the capture work: expect about 0.9 for one layer, above 1 for two
// layers where layer 1 runs beside layer 0 on a machine with a free core), the bytes each side
// produced, and for two layers scale_ms, the bilinear scaling of one picture that layer 1 does on
// top of the baseline's work.
#include <benchmark/benchmark.h>
#include <vpx/vp8cx.h>
#include <vpx/vpx_encoder.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "core/media/video/capture_slot_file.h"
#include "core/media/video/codec/codec_vp8.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/video_capture_slot.h"
#include "core/media/video/video_encoder.h"
#include "core/media/video/video_processing.h"
#include "platform/camera/camera_stand_in.h"

namespace {

constexpr int kPictures = 150;
constexpr int kRounds = 5;

std::vector<std::vector<unsigned char>> Pictures(int w, int h) {
  std::vector<std::vector<unsigned char>> v(kPictures);
  for (int i = 0; i < kPictures; ++i) {
    v[i].resize(static_cast<size_t>(w) * h * 3 / 2);
    hx::platform::CameraStandIn::MovingPattern(i, w, h, v[i].data());
  }
  return v;
}

// What the send stream does between the capture slot and the encoder.
struct SendPath {
  HX_VideoCodecFactory factory;
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter =
      std::make_shared<HX_MediaFormatManagerAdapter>();
  HX_VideoCaptureSlotStub slot;
  HX_CaptureSlotFile file{0};
  HX_VideoEncoder encoder;
  HX_MediaFormat format;
  bool screen = false;
  uint64_t bytes = 0;
  uint64_t frames = 0;

  SendPath(int w, int h, uint32_t svc) {
    scalable_info::Config config;
    config.svcCaps = svc;
    config.lastLayerOption = 0;
    encoder.Configure(config);
    encoder.SetCodecFactory(&factory);
    format.width = w;
    format.height = h;
    format.frameRate = 30;
    format.svcMode = svc == 1 ? 0 : svc;
    encoder.Reinit(&format, false);
    encoder.SetBitrate(800, 800, 800, 3000);
    slot.SetMediaAdapter(adapter);
    slot.FrameReadySignal.Connect(this, &SendPath::OnCapturePutImage);
    file.RawFrameSignal.Connect(this, &SendPath::OnCaptureReady2Compress);
    encoder.CompressedFrameSignal.Connect(this, &SendPath::OnCompressed);
    slot.StartProcessingThread();
  }
  ~SendPath() { slot.StopProcessingThread(); }
  void OnCapturePutImage(const void*, const unsigned char* data, unsigned long size,
                         HX_MediaFormat&, unsigned long timestamp, bool key) {
    file.AddFrame(data, size, timestamp, key);
  }
  void OnCaptureReady2Compress(const unsigned char* data, unsigned long size,
                               const HX_SendNhpVideoHeader& header, bool& accepted) {
    encoder.OnReady2Compress(data, size, &header, accepted);
  }
  void OnCompressed(const unsigned char*, unsigned long size, HX_SendNhpVideoHeader*) {
    bytes += size;
    ++frames;
  }
  void Put(std::vector<unsigned char>& picture, int w, int h, unsigned long time) {
    HX_CaptureMode mode;
    mode.width = w;
    mode.height = h;
    slot.OnPutFrame(picture.data(), picture.size(), 3000, time, false, &mode,
                    hx_processing_defs::eRotateNone, hx_capture_defs::eCaptureDefault);
  }
};

// A bare libvpx VP8 encoder opened like a front-end layer's codec.
struct Bare {
  vpx_codec_ctx_t ctx{};
  vpx_image_t* image = nullptr;
  std::vector<unsigned char> out;
  uint64_t bytes = 0;
  int64_t pts = 0;
  explicit Bare(const vpx_codec_enc_cfg_t& cfg) {
    vpx_codec_enc_init(&ctx, vpx_codec_vp8_cx(), &cfg, 0);
    vpx_codec_control(&ctx, VP8E_SET_CPUUSED, -14);
    vpx_codec_control(&ctx, VP8E_SET_STATIC_THRESHOLD, 800);
    image = vpx_img_alloc(nullptr, VPX_IMG_FMT_I420, cfg.g_w, cfg.g_h, 16);
    out.resize(static_cast<size_t>(cfg.g_w) * cfg.g_h * 3);
  }
  ~Bare() {
    vpx_img_free(image);
    vpx_codec_destroy(&ctx);
  }
  void Encode(const unsigned char* picture, bool key) {
    const size_t w = image->d_w, h = image->d_h;
    for (size_t y = 0; y < h; ++y) {
      std::memcpy(image->planes[0] + y * image->stride[0], picture + y * w, w);
    }
    for (size_t y = 0; y < h / 2; ++y) {
      std::memcpy(image->planes[1] + y * image->stride[1], picture + w * h + y * w / 2, w / 2);
      std::memcpy(image->planes[2] + y * image->stride[2], picture + w * h * 5 / 4 + y * w / 2,
                  w / 2);
    }
    vpx_codec_encode(&ctx, image, pts++, 1, key ? VPX_EFLAG_FORCE_KF : 0, VPX_DL_REALTIME);
    vpx_codec_iter_t iter = nullptr;
    size_t total = 0;
    while (const vpx_codec_cx_pkt_t* pkt = vpx_codec_get_cx_data(&ctx, &iter)) {
      if (pkt->kind != VPX_CODEC_CX_FRAME_PKT) continue;
      std::memcpy(out.data() + total, pkt->data.frame.buf, pkt->data.frame.sz);
      total += pkt->data.frame.sz;
    }
    bytes += total;
  }
};

template <typename F>
double Seconds(F&& f) {
  const auto start = std::chrono::steady_clock::now();
  f();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void Run(benchmark::State& state, int w, int h, uint32_t svc) {
  auto pictures = Pictures(w, h);
  std::vector<std::vector<unsigned char>> small;
  double scaling = 0;
  if (svc != 1) {
    HX_VideoProcessingBase toolbox;
    for (auto& p : pictures) {
      small.emplace_back(static_cast<size_t>(w / 2) * (h / 2) * 3 / 2);
      scaling += Seconds([&] {
        toolbox.ResampleI420(p.data(), w, w, h, small.back().data(), w / 2, w / 2, h / 2,
                             hx_processing_defs::eBilinear);
      });
    }
  }
  double ours = 0, base = 0;
  uint64_t oursBytes = 0, baseBytes = 0, pictureCount = 0;
  for (auto _ : state) {
    for (int round = 0; round < kRounds; ++round) {
      SendPath path(w, h, svc);
      // The first picture opens the rate; the bare encoders take the configuration read back then.
      std::vector<std::unique_ptr<Bare>> bare;
      unsigned long time = 1000;
      ours += Seconds([&] { path.Put(pictures[0], w, h, time); });
      time += 33;
      for (size_t i = 0; i < path.encoder.GetLayerCountBuilt(); ++i) {
        auto* codec = static_cast<HXCodecVP8Encoder*>(path.encoder.GetLayer(i)->codec.get());
        bare.push_back(std::make_unique<Bare>(codec->storedConfig()));
      }
      base += Seconds([&] {
        bare[0]->Encode(pictures[0].data(), true);
        if (bare.size() > 1) bare[1]->Encode(small[0].data(), true);
      });
      for (int i = 1; i < kPictures; ++i) {
        auto ourTurn = [&] { ours += Seconds([&] { path.Put(pictures[i], w, h, time); }); };
        auto baseTurn = [&] {
          base += Seconds([&] {
            bare[0]->Encode(pictures[i].data(), false);
            if (bare.size() > 1) bare[1]->Encode(small[i].data(), false);
          });
        };
        if (i % 2) {
          ourTurn();
          baseTurn();
        } else {
          baseTurn();
          ourTurn();
        }
        time += 33;
      }
      oursBytes += path.bytes;
      for (auto& b : bare) baseBytes += b->bytes;
      pictureCount += kPictures;
    }
  }
  state.counters["ours_pps"] = pictureCount / ours;
  state.counters["base_pps"] = pictureCount / base;
  state.counters["ratio"] = base / ours;
  // Layer 1's scaling, done once untimed for the baseline: what the path does on top of it.
  if (svc != 1) state.counters["scale_ms"] = scaling * 1000 / kPictures;
  state.counters["ours_bytes"] = static_cast<double>(oursBytes);
  state.counters["base_bytes"] = static_cast<double>(baseBytes);
}

void BM_OneLayer640x360(benchmark::State& state) { Run(state, 640, 360, 1); }
void BM_TwoLayers640x480(benchmark::State& state) { Run(state, 640, 480, 0x10000); }

BENCHMARK(BM_OneLayer640x360)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoLayers640x480)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
