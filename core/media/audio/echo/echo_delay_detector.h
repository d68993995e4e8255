#pragma once
// HX_EchoDelayDetector measures how much later the far-end audio the loudspeaker plays comes back
// through the microphone. While a measurement runs the audio connector overwrites rendered
// blocks with a known probe (from lead time after the start until the 1300 ms probe has played),
// and collects the near-end (captured) and far-end (rendered) streams the processing module
// aligns. Once both streams hold lead + tail + 1300 ms, ComputeDelay compares their short-time
// spectra (256-sample blocks at 16 kHz, 16 ms each) with the probe's: the probe's place in the
// far-end stream is the best match there; in the near-end stream every local minimum of the
// match is a candidate, confirmed only when its match is sharply better at (or next to) no
// frequency shift than at the other shifts. One confirmed candidate gives the delay; none or
// several give a code and keep the previous delay.
//
// Calling order: SetResamplerFactory, Init, then per render block AddPatternToRenderedAudio and
// per capture block IsPatternAdding, AddCapturedSamples, AddRenderedSamples, IsEnoughData; then
// ComputeDelay once, GetDelay, Release.
//
// Thread safety: none of its own. The connector calls every collecting and probe operation
// under its measurement mutex and runs ComputeDelay on its own thread after collection stopped.

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/media/audio/audio_resampler.h"

namespace audiodelay_detector {
enum EGetDelayResult : int16_t {
  kDelayFound = 0,      // exactly one candidate was confirmed
  kNoCandidate = 1,     // no candidate was confirmed
  kManyCandidates = 2,  // more than one candidate was confirmed
};
}  // namespace audiodelay_detector

struct RealFFT;

class HX_EchoDelayDetector {
 public:
  using Spectra = std::vector<std::vector<uint16_t>>;  // per block, bins 1..128
  using Pairs = std::vector<std::pair<int, double>>;   // (index, value)

  static constexpr uint64_t kFftOrder = 8;
  static constexpr uint64_t kBlockLength = 256;
  static constexpr uint64_t kAnalysisRate = 16000;
  static constexpr uint64_t kShiftCentre = kBlockLength / 16;
  static constexpr int kBins = 128;

  HX_EchoDelayDetector();
  ~HX_EchoDelayDetector();
  HX_EchoDelayDetector(const HX_EchoDelayDetector&) = delete;
  HX_EchoDelayDetector& operator=(const HX_EchoDelayDetector&) = delete;

  // Starts a measurement: lead ms of far-end reference before the probe, tail ms after it,
  // streams collected at captureRate. False for a rate of 0 or when no resampler factory is set.
  bool Init(unsigned long leadMs, unsigned long tailMs, unsigned long captureRate);
  // Forgets the collected streams and the probe position; the delay and match count stay.
  void Release();
  void SetResamplerFactory(std::shared_ptr<HX_AudioResamplerFactory> factory);

  // Overwrites the start of the render block (samples at deviceFrequency) with the next part of
  // the probe, resampled from 16 kHz, while the probe plays; at most samples × 16000 /
  // deviceFrequency probe samples are taken per call. Never writes past samples: the resampler's
  // whole-chunk output that does not fit is kept for the next block.
  void AddPatternToRenderedAudio(void* block, int deviceFrequency, unsigned long samples);
  void AddCapturedSamples(const short* samples, int count);
  void AddRenderedSamples(const short* samples, int count);
  bool IsPatternAdding() const;
  bool IsEnoughData() const;
  audiodelay_detector::EGetDelayResult ComputeDelay();
  int GetDelay() const { return delay_; }
  int GetMatchCount() const { return match_count_; }

  uint64_t GetCapturedTime() const { return captured_time_; }
  uint64_t GetRenderedTime() const { return rendered_time_; }
  uint64_t GetTotalTime() const { return total_time_; }
  uint64_t GetProbePosition() const { return probe_position_; }

  // The analysis steps, public for tests.
  Spectra GetFftFromSamples(const std::vector<int16_t>& samples);
  static Pairs GetMatchFunction(const Spectra& probe, const Spectra& stream);
  static int GetMinIdx(const Pairs& function);
  static Pairs GetSmoothed(const Pairs& function);
  static Pairs GetLocalMinimums(const Pairs& function);
  static Pairs GetMatchFunctionVertical(const Spectra& probe, const Spectra& stream, size_t at);
  static Pairs GetMajorOutliers(const Pairs& function);
  static Pairs GetMinorOutliers(const Pairs& function);
  static double GetMajorOutlier(const Pairs& function);
  static double GetMinorOutlier(const Pairs& function);
  static Pairs ToIndexValuePairs(const std::vector<double>& values);

 private:
  static Pairs GetOutliers(const Pairs& function, double factor);
  static double GetOutlierThreshold(const Pairs& function, double factor);
  // The stream resampled to 16 kHz in 320-sample chunks with a fresh resampler.
  std::vector<int16_t> To16k(const std::vector<int16_t>& samples);
  void Collect(std::vector<int16_t>& stream, uint64_t& time, const short* samples, int count);

  uint64_t capture_rate_ = 0;
  uint64_t lead_time_ = 0;
  uint64_t total_time_ = 0;
  uint64_t probe_position_ = 0;
  uint64_t captured_time_ = 0;
  uint64_t rendered_time_ = 0;
  std::vector<int16_t> probe_;
  std::vector<int16_t> captured_;
  std::vector<int16_t> rendered_;
  std::shared_ptr<HX_AudioResamplerFactory> resampler_factory_;
  std::unique_ptr<HX_AudioResamplerBase> resampler_;
  // Resampled probe that did not fit into the last render block.
  std::vector<int16_t> pending_;
  int32_t match_count_ = 0;
  int32_t delay_ = 0;
  RealFFT* fft_ = nullptr;
};
