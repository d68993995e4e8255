// The audio path's hot calls beside the bare library doing the same job on the same samples:
// the resampler wrapper against a bare WebRTC push resampler (48 → 16 kHz and 16 → 48 kHz), and
// the Opus wrapper's encode and decode against bare libopus calls with the same settings. Each
// wrapper benchmark also times its baseline in the same run, interleaved in rounds so that load
// from other processes hits both alike (thread CPU time), and reports "vs_bare": the wrapper's
// throughput over the bare library's (1.0 means no overhead).
#include <benchmark/benchmark.h>
#include <opus/opus.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "common_audio/resampler/include/push_resampler.h"
#include "core/media/audio/audio_codec_opus.h"
#include "core/media/audio/audio_resampler.h"

namespace {

std::vector<int16_t> Speechlike(int rate, size_t n) {
  std::vector<int16_t> v(n);
  uint32_t seed = 1;
  for (size_t i = 0; i < n; ++i) {
    seed = seed * 1664525u + 1013904223u;
    const double t = static_cast<double>(i) / rate;
    v[i] =
        static_cast<int16_t>(6000 * std::sin(2 * M_PI * 220 * t) * (0.6 + 0.4 * std::sin(7 * t)) +
                             2000 * std::sin(2 * M_PI * 1330 * t) + ((seed >> 20) & 511) - 256);
  }
  return v;
}

// Thread CPU seconds: other processes on a shared machine do not count.
double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double SecondsPerCall(const std::function<void()>& fn, int calls) {
  const double start = CpuSeconds();
  for (int i = 0; i < calls; ++i) fn();
  return (CpuSeconds() - start) / calls;
}

// Best of several interleaved rounds of each.
void SetRatio(benchmark::State& state, const std::function<void()>& wrapped,
              const std::function<void()>& bare, int calls) {
  double b = 1e9, w = 1e9;
  for (int round = 0; round < 7; ++round) {
    b = std::min(b, SecondsPerCall(bare, calls));
    w = std::min(w, SecondsPerCall(wrapped, calls));
  }
  state.counters["vs_bare"] = b / w;
}

// --- resampler -----------------------------------------------------------------------------

struct ResampleCase {
  int from, to;
};

void BM_ResamplerWrapper(benchmark::State& state) {
  const ResampleCase c{static_cast<int>(state.range(0)), static_cast<int>(state.range(1))};
  const auto in = Speechlike(c.from, c.from);  // one second, fed 10 ms at a time
  std::vector<int16_t> out(c.to / 100 + 16);
  const size_t chunk = c.from / 100;
  HXResamplerWebRtc wrapper;
  size_t pos = 0;
  auto wrapped = [&] {
    benchmark::DoNotOptimize(wrapper.Process(const_cast<int16_t*>(in.data() + pos), out.data(),
                                             chunk * 2, c.from, c.to));
    pos = (pos + chunk) % in.size();
  };
  webrtc::PushResampler<int16_t> bare_resampler;
  bare_resampler.InitializeIfNeeded(c.from, c.to, 1);
  size_t bare_pos = 0;
  auto bare = [&] {
    benchmark::DoNotOptimize(
        bare_resampler.Resample(in.data() + bare_pos, chunk, out.data(), out.size()));
    bare_pos = (bare_pos + chunk) % in.size();
  };
  for (auto _ : state) wrapped();
  state.SetItemsProcessed(state.iterations() * chunk);
  SetRatio(state, wrapped, bare, 10000);
}
BENCHMARK(BM_ResamplerWrapper)->Args({48000, 16000})->Args({16000, 48000});

void BM_ResamplerBare(benchmark::State& state) {
  const int from = static_cast<int>(state.range(0)), to = static_cast<int>(state.range(1));
  const auto in = Speechlike(from, from);
  std::vector<int16_t> out(to / 100 + 16);
  const size_t chunk = from / 100;
  webrtc::PushResampler<int16_t> r;
  r.InitializeIfNeeded(from, to, 1);
  size_t pos = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(r.Resample(in.data() + pos, chunk, out.data(), out.size()));
    pos = (pos + chunk) % in.size();
  }
  state.SetItemsProcessed(state.iterations() * chunk);
}
BENCHMARK(BM_ResamplerBare)->Args({48000, 16000})->Args({16000, 48000});

// --- Opus ----------------------------------------------------------------------------------

constexpr int kRate = 16000;
constexpr int kFrameSamples = 640;  // 40 ms, as the wrapper codes

OpusEncoder* BareEncoder() {
  int error = 0;
  OpusEncoder* enc = opus_encoder_create(kRate, 1, OPUS_APPLICATION_VOIP, &error);
  opus_encoder_ctl(enc, OPUS_SET_COMPLEXITY(3));
  opus_encoder_ctl(enc, OPUS_SET_BITRATE(34000));
  opus_encoder_ctl(enc, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
  opus_encoder_ctl(enc, OPUS_SET_VBR(1));
  return enc;
}

void BM_OpusEncodeWrapper(benchmark::State& state) {
  auto in = Speechlike(kRate, kRate * 2);
  std::vector<unsigned char> out(4000);
  AudioCodecOpus wrapper(true);
  wrapper.Init(kRate);
  size_t pos = 0;
  auto wrapped = [&] {
    benchmark::DoNotOptimize(wrapper.Convert(reinterpret_cast<unsigned char*>(in.data() + pos),
                                             kFrameSamples * 2, out.data(), out.size()));
    pos = (pos + kFrameSamples) % (in.size() - kFrameSamples);
  };
  OpusEncoder* bare_enc = BareEncoder();
  size_t bare_pos = 0;
  auto bare = [&] {
    benchmark::DoNotOptimize(
        opus_encode(bare_enc, in.data() + bare_pos, kFrameSamples, out.data(), out.size()));
    bare_pos = (bare_pos + kFrameSamples) % (in.size() - kFrameSamples);
  };
  for (auto _ : state) wrapped();
  state.SetItemsProcessed(state.iterations() * kFrameSamples);
  SetRatio(state, wrapped, bare, 200);
  opus_encoder_destroy(bare_enc);
}
BENCHMARK(BM_OpusEncodeWrapper);

void BM_OpusEncodeBare(benchmark::State& state) {
  auto in = Speechlike(kRate, kRate * 2);
  std::vector<unsigned char> out(4000);
  OpusEncoder* enc = BareEncoder();
  size_t pos = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        opus_encode(enc, in.data() + pos, kFrameSamples, out.data(), out.size()));
    pos = (pos + kFrameSamples) % (in.size() - kFrameSamples);
  }
  state.SetItemsProcessed(state.iterations() * kFrameSamples);
  opus_encoder_destroy(enc);
}
BENCHMARK(BM_OpusEncodeBare);

// Packets of the wrapper's encoder (one 40 ms frame each), decoded in turn.
std::vector<std::vector<unsigned char>> Packets() {
  auto in = Speechlike(kRate, kRate * 2);
  AudioCodecOpus enc(true);
  enc.Init(kRate);
  std::vector<std::vector<unsigned char>> packets;
  std::vector<unsigned char> out(4000);
  for (size_t pos = 0; pos + kFrameSamples <= in.size(); pos += kFrameSamples) {
    const int n = enc.Convert(reinterpret_cast<unsigned char*>(in.data() + pos), kFrameSamples * 2,
                              out.data(), out.size());
    packets.emplace_back(out.begin(), out.begin() + n);
  }
  return packets;
}

void BM_OpusDecodeWrapper(benchmark::State& state) {
  auto packets = Packets();
  std::vector<int16_t> pcm(5760);
  AudioCodecOpus wrapper(false);
  wrapper.Init(kRate);
  size_t k = 0;
  auto wrapped = [&] {
    auto& p = packets[k];
    benchmark::DoNotOptimize(wrapper.Convert(p.data(), static_cast<int>(p.size()),
                                             reinterpret_cast<unsigned char*>(pcm.data()),
                                             static_cast<int>(pcm.size() * 2)));
    k = (k + 1) % packets.size();
  };
  int error = 0;
  OpusDecoder* bare_dec = opus_decoder_create(kRate, 1, &error);
  size_t bare_k = 0;
  auto bare = [&] {
    auto& p = packets[bare_k];
    benchmark::DoNotOptimize(opus_decode(bare_dec, p.data(), static_cast<opus_int32>(p.size()),
                                         pcm.data(), static_cast<int>(pcm.size()), 0));
    bare_k = (bare_k + 1) % packets.size();
  };
  for (auto _ : state) wrapped();
  state.SetItemsProcessed(state.iterations() * kFrameSamples);
  SetRatio(state, wrapped, bare, 400);
  opus_decoder_destroy(bare_dec);
}
BENCHMARK(BM_OpusDecodeWrapper);

void BM_OpusDecodeBare(benchmark::State& state) {
  auto packets = Packets();
  std::vector<int16_t> pcm(5760);
  int error = 0;
  OpusDecoder* dec = opus_decoder_create(kRate, 1, &error);
  size_t k = 0;
  for (auto _ : state) {
    auto& p = packets[k];
    benchmark::DoNotOptimize(opus_decode(dec, p.data(), static_cast<opus_int32>(p.size()),
                                         pcm.data(), static_cast<int>(pcm.size()), 0));
    k = (k + 1) % packets.size();
  }
  state.SetItemsProcessed(state.iterations() * kFrameSamples);
  opus_decoder_destroy(dec);
}
BENCHMARK(BM_OpusDecodeBare);

}  // namespace
