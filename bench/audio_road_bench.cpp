// The received-audio road against the bare decode it is built on. Four peers send 40 ms Opus
// frames (three at 16 kHz, one at 48 kHz); every frame goes through its source's AddData (decode,
// level, jitter rule) and the sink's GetAudio pulls 10 ms blocks at the 16 kHz device rate (mix,
// resample of the 48 kHz peer, peak normalisation), over 32 s of arrivals stepped on the sources'
// clock so that the arrival estimator's window is full. The baseline is bare libopus decoding the
// same packets with four decoders.
//
// Both are timed in thread CPU time over many rounds that alternate road and bare decode (the
// order swapped every round, so that neither always runs on a warm or a cold cache), and the
// medians are compared: on a shared machine single rounds vary by several percent, the median of
// many does not. "road_per_bare" is the median road time over the median bare time (the target:
// at most 1.3), "pair_ratio" the median of the rounds' own ratios, "us_road" and "us_bare" the
// median times per 40 ms of the four peers.
#include <benchmark/benchmark.h>
#include <opus/opus.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include "core/media/audio/audio_codec_opus.h"
#include "core/media/audio/audio_sinc.h"
#include "core/media/audio/audio_source.h"

namespace {

constexpr int kPeers = 4;
constexpr int kRounds = 800;     // 40 ms each: 32 s
constexpr int kMeasureRounds = 25;  // alternating road and bare runs
const int kRates[kPeers] = {16000, 16000, 16000, 48000};

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// 40 ms Opus packets of a voice-like signal (a pitch with harmonics, syllable-rate envelope).
std::vector<std::vector<unsigned char>> Packets(int rate, int count, double pitch) {
  AudioCodecOpus enc(true);
  enc.Init(rate);
  const int frame = rate / 25;
  std::vector<std::vector<unsigned char>> out;
  std::vector<int16_t> pcm(frame);
  std::vector<unsigned char> packet(4000);
  uint32_t seed = 7;
  for (int f = 0; f < count; ++f) {
    for (int i = 0; i < frame; ++i) {
      const double t = double(f * frame + i) / rate;
      seed = seed * 1664525u + 1013904223u;
      const double env = 0.5 + 0.5 * std::sin(2 * M_PI * 4 * t);
      pcm[i] = int16_t(env * (5000 * std::sin(2 * M_PI * pitch * t) +
                              2500 * std::sin(2 * M_PI * 3 * pitch * t)) +
                       double((seed >> 22) & 255) - 128);
    }
    const int n = enc.Convert(reinterpret_cast<unsigned char*>(pcm.data()), frame * 2,
                              packet.data(), int(packet.size()));
    out.emplace_back(packet.begin(), packet.begin() + std::max(n, 0));
  }
  return out;
}

struct Traffic {
  std::vector<std::vector<unsigned char>> packets[kPeers];
  Traffic() {
    for (int p = 0; p < kPeers; ++p) packets[p] = Packets(kRates[p], kRounds, 140 + 60 * p);
  }
};

// The whole road for 32 s; answers thread CPU seconds.
double RunRoad(const Traffic& traffic) {
  int64_t now = 1000;
  HX_AudioSinc sink(nullptr);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  sink.SetAudioMode(HX_AudioSinc::kFixed, 16000);
  std::vector<std::unique_ptr<HX_AudioSource>> sources;
  for (int p = 0; p < kPeers; ++p) {
    auto s = std::make_unique<HX_AudioSource>();
    s->SetClock([&now] { return now; });
    HX_MediaFormat format;
    format.SetAudio(kRates[p], HX_MediaFormat::kAudioOpus, 40);
    s->Init(&format, nullptr);
    sink.AddSource(s.get());
    sources.push_back(std::move(s));
  }
  std::vector<int16_t> block(160);
  std::vector<char> payload(4000);
  const double start = CpuSeconds();
  for (int r = 0; r < kRounds; ++r) {
    for (int p = 0; p < kPeers; ++p) {
      const auto& packet = traffic.packets[p][r];
      std::copy(packet.begin(), packet.end(), payload.begin());
      sources[p]->AddData(payload.data(), int(packet.size()));
    }
    for (int b = 0; b < 4; ++b) {
      sink.GetAudio(block.data(), 320, 16000);
      benchmark::DoNotOptimize(block.data());
      now += 10;
    }
  }
  const double spent = CpuSeconds() - start;
  for (auto& s : sources) sink.RemoveSource(s.get());
  return spent;
}

double RunBare(const Traffic& traffic) {
  OpusDecoder* dec[kPeers];
  int error = 0;
  for (int p = 0; p < kPeers; ++p) dec[p] = opus_decoder_create(kRates[p], 1, &error);
  std::vector<int16_t> pcm(5760);
  const double start = CpuSeconds();
  for (int r = 0; r < kRounds; ++r) {
    for (int p = 0; p < kPeers; ++p) {
      const auto& packet = traffic.packets[p][r];
      benchmark::DoNotOptimize(opus_decode(dec[p], packet.data(), opus_int32(packet.size()),
                                           pcm.data(), int(pcm.size()), 0));
    }
  }
  const double spent = CpuSeconds() - start;
  for (auto* d : dec) opus_decoder_destroy(d);
  return spent;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void BM_AudioRoad(benchmark::State& state) {
  static const Traffic traffic;
  // Warm-up: page in both paths before the timed rounds.
  for (auto _ : state) {
    benchmark::DoNotOptimize(RunRoad(traffic));
    benchmark::DoNotOptimize(RunBare(traffic));
  }
  std::vector<double> road, bare, ratio;
  for (int round = 0; round < kMeasureRounds; ++round) {
    double r, b;
    if (round % 2 == 0) {
      r = RunRoad(traffic);
      b = RunBare(traffic);
    } else {
      b = RunBare(traffic);
      r = RunRoad(traffic);
    }
    road.push_back(r);
    bare.push_back(b);
    ratio.push_back(r / b);
  }
  const double roadMedian = Median(road);
  const double bareMedian = Median(bare);
  state.counters["us_road"] = roadMedian / kRounds * 1e6;
  state.counters["us_bare"] = bareMedian / kRounds * 1e6;
  state.counters["road_per_bare"] = roadMedian / bareMedian;
  state.counters["pair_ratio"] = Median(ratio);
  std::printf("audio road: %.1f us, bare decode: %.1f us per 40 ms of four peers (medians of %d "
              "rounds); road/bare %.3f (median of round ratios %.3f, range %.3f to %.3f)\n",
              roadMedian / kRounds * 1e6, bareMedian / kRounds * 1e6, kMeasureRounds,
              roadMedian / bareMedian, Median(ratio), *std::min_element(ratio.begin(), ratio.end()),
              *std::max_element(ratio.begin(), ratio.end()));
}
BENCHMARK(BM_AudioRoad)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
