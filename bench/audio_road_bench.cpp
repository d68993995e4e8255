// The received-audio road against the bare decode it is built on. Four peers send 40 ms Opus
// frames (three at 16 kHz, one at 48 kHz); every frame goes through its source's AddData (decode,
// level, jitter rule) and the sink's GetAudio pulls 10 ms blocks at the 16 kHz device rate (mix,
// resample of the 48 kHz peer, peak normalisation), over 32 s of arrivals stepped on the sources'
// clock so that the arrival estimator's window is full. The baseline is bare libopus decoding the
// same packets with four decoders of its own.
//
// Both run side by side in one round and are timed in thread CPU time, alternating every 40 ms
// step (road then bare, then bare then road): on a shared machine the load changes within
// seconds, and timing the two whole runs one after the other lets a busy second fall on one side
// only. A round gives the ratio of the two sums; the figures are the medians over the rounds.
// "road_per_bare" is the median ratio (the target: at most 1.3), "us_road" and "us_bare" the
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
constexpr int kRounds = 800;        // 40 ms each: 32 s
constexpr int kMeasureRounds = 15;  // rounds of road and bare side by side
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

// The road: four sources in one sink, stepped 40 ms at a time.
class Road {
 public:
  Road() {
    sink_.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
    sink_.SetAudioMode(HX_AudioSinc::kFixed, 16000);
    for (int p = 0; p < kPeers; ++p) {
      auto s = std::make_unique<HX_AudioSource>();
      s->SetClock([this] { return now_; });
      HX_MediaFormat format;
      format.SetAudio(kRates[p], HX_MediaFormat::kAudioOpus, 40);
      s->Init(&format, nullptr);
      sink_.AddSource(s.get());
      sources_.push_back(std::move(s));
    }
  }
  ~Road() {
    for (auto& s : sources_) sink_.RemoveSource(s.get());
  }
  // Frame r of every peer, then 40 ms of output in 10 ms blocks.
  void Step(const Traffic& traffic, int r) {
    for (int p = 0; p < kPeers; ++p) {
      const auto& packet = traffic.packets[p][r];
      std::copy(packet.begin(), packet.end(), payload_.begin());
      sources_[p]->AddData(payload_.data(), int(packet.size()));
    }
    for (int b = 0; b < 4; ++b) {
      sink_.GetAudio(block_.data(), 320, 16000);
      benchmark::DoNotOptimize(block_.data());
      now_ += 10;
    }
  }

 private:
  int64_t now_ = 1000;
  HX_AudioSinc sink_{nullptr};
  std::vector<std::unique_ptr<HX_AudioSource>> sources_;
  std::vector<int16_t> block_ = std::vector<int16_t>(160);
  std::vector<char> payload_ = std::vector<char>(4000);
};

// The baseline: libopus decoding the same frames.
class Bare {
 public:
  Bare() {
    int error = 0;
    for (int p = 0; p < kPeers; ++p) dec_[p] = opus_decoder_create(kRates[p], 1, &error);
  }
  ~Bare() {
    for (auto* d : dec_) opus_decoder_destroy(d);
  }
  void Step(const Traffic& traffic, int r) {
    for (int p = 0; p < kPeers; ++p) {
      const auto& packet = traffic.packets[p][r];
      benchmark::DoNotOptimize(opus_decode(dec_[p], packet.data(), opus_int32(packet.size()),
                                           pcm_.data(), int(pcm_.size()), 0));
    }
  }

 private:
  OpusDecoder* dec_[kPeers];
  std::vector<int16_t> pcm_ = std::vector<int16_t>(5760);
};

struct RoundTimes {
  double road = 0;  // thread CPU seconds
  double bare = 0;
};

// One round: 32 s of both, the order of the two swapped every step.
RoundTimes RunRound(const Traffic& traffic) {
  Road road;
  Bare bare;
  RoundTimes times;
  for (int r = 0; r < kRounds; ++r) {
    const double t0 = CpuSeconds();
    if (r % 2 == 0) {
      road.Step(traffic, r);
      const double t1 = CpuSeconds();
      bare.Step(traffic, r);
      const double t2 = CpuSeconds();
      times.road += t1 - t0;
      times.bare += t2 - t1;
    } else {
      bare.Step(traffic, r);
      const double t1 = CpuSeconds();
      road.Step(traffic, r);
      const double t2 = CpuSeconds();
      times.bare += t1 - t0;
      times.road += t2 - t1;
    }
  }
  return times;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

void BM_AudioRoad(benchmark::State& state) {
  static const Traffic traffic;
  // Warm-up: page in both paths before the timed rounds.
  for (auto _ : state) benchmark::DoNotOptimize(RunRound(traffic).road);
  std::vector<double> road, bare, ratio;
  for (int round = 0; round < kMeasureRounds; ++round) {
    const RoundTimes t = RunRound(traffic);
    road.push_back(t.road);
    bare.push_back(t.bare);
    ratio.push_back(t.road / t.bare);
  }
  const double roadMedian = Median(road) / kRounds * 1e6;
  const double bareMedian = Median(bare) / kRounds * 1e6;
  const double ratioMedian = Median(ratio);
  state.counters["us_road"] = roadMedian;
  state.counters["us_bare"] = bareMedian;
  state.counters["road_per_bare"] = ratioMedian;
  std::printf(
      "audio road %.1f us, bare decode %.1f us per 40 ms of four peers; road/bare %.3f "
      "(median of %d rounds, range %.3f to %.3f)\n",
      roadMedian, bareMedian, ratioMedian, kMeasureRounds,
      *std::min_element(ratio.begin(), ratio.end()), *std::max_element(ratio.begin(), ratio.end()));
}
BENCHMARK(BM_AudioRoad)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace
