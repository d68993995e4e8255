#include "core/media/audio/echo/echo_delay_detector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common_audio/signal_processing/include/real_fft.h"
#include "core/media/audio/echo/echo_probe.h"

using audiodelay_detector::EGetDelayResult;

HX_EchoDelayDetector::HX_EchoDelayDetector() : fft_(WebRtcSpl_CreateRealFFT(int(kFftOrder))) {}

HX_EchoDelayDetector::~HX_EchoDelayDetector() { WebRtcSpl_FreeRealFFT(fft_); }

void HX_EchoDelayDetector::SetResamplerFactory(std::shared_ptr<HX_AudioResamplerFactory> factory) {
  resampler_factory_ = std::move(factory);
}

bool HX_EchoDelayDetector::Init(unsigned long leadMs, unsigned long tailMs,
                                unsigned long captureRate) {
  Release();
  if (captureRate == 0 || !resampler_factory_) return false;
  lead_time_ = leadMs;
  capture_rate_ = captureRate;
  probe_position_ = 0;
  probe_ = hx_echo_probe::Probe();
  total_time_ = leadMs + tailMs + uint64_t(probe_.size()) * 1000 / hx_echo_probe::kRate;
  resampler_.reset(resampler_factory_->CreateAudioResampler());
  return true;
}

void HX_EchoDelayDetector::Release() {
  probe_position_ = 0;
  captured_time_ = rendered_time_ = total_time_ = lead_time_ = 0;
  probe_.clear();
  captured_.clear();
  rendered_.clear();
  pending_.clear();
}

bool HX_EchoDelayDetector::IsPatternAdding() const {
  return rendered_time_ > lead_time_ && probe_position_ < probe_.size();
}

bool HX_EchoDelayDetector::IsEnoughData() const {
  // After Release every time is 0: that is no measurement, not a complete one.
  return total_time_ != 0 && captured_time_ >= total_time_ && rendered_time_ >= total_time_;
}

void HX_EchoDelayDetector::Collect(std::vector<int16_t>& stream, uint64_t& time,
                                   const short* samples, int count) {
  if (samples == nullptr || count <= 0 || capture_rate_ == 0 || time >= total_time_) return;
  stream.insert(stream.end(), samples, samples + count);
  time += uint64_t(count) * 1000 / capture_rate_;
}

void HX_EchoDelayDetector::AddCapturedSamples(const short* samples, int count) {
  Collect(captured_, captured_time_, samples, count);
}

void HX_EchoDelayDetector::AddRenderedSamples(const short* samples, int count) {
  Collect(rendered_, rendered_time_, samples, count);
}

void HX_EchoDelayDetector::AddPatternToRenderedAudio(void* block, int deviceFrequency,
                                                     unsigned long samples) {
  if (block == nullptr || deviceFrequency <= 0 || samples == 0 || !resampler_) return;
  int16_t* out = static_cast<int16_t*>(block);
  if (rendered_time_ > lead_time_ && probe_position_ < probe_.size()) {
    const uint64_t remaining = probe_.size() - probe_position_;
    const uint64_t m =
        std::min<uint64_t>(uint64_t(samples) * 16000 / unsigned(deviceFrequency), remaining);
    const auto first = probe_.begin() + std::ptrdiff_t(probe_position_);
    if (m != 0 && deviceFrequency == int(hx_echo_probe::kRate)) {
      // No conversion: the probe is copied as it is and starts exactly at a block boundary (the
      // resampler would hold back part of a 10 ms chunk and shift it within the block).
      pending_.insert(pending_.end(), first, first + std::ptrdiff_t(m));
    } else if (m != 0) {
      // The resampler converts whole 10 ms chunks and holds the rest, so one call may give fewer
      // or more samples than m × f / 16000: it writes into scratch, never into the block.
      std::vector<int16_t> input(first, first + std::ptrdiff_t(m));
      std::vector<int16_t> scratch((m + 2 * 160) * unsigned(deviceFrequency) / 16000 + 64);
      const int got = resampler_->Process(input.data(), scratch.data(), unsigned(m * 2), 16000,
                                          unsigned(deviceFrequency));
      if (got > 0)
        pending_.insert(
            pending_.end(), scratch.begin(),
            scratch.begin() + std::ptrdiff_t(std::min<size_t>(size_t(got), scratch.size())));
    }
    probe_position_ += m;
  }
  if (pending_.empty()) return;
  const size_t n = std::min<size_t>(pending_.size(), samples);
  std::memcpy(out, pending_.data(), n * 2);
  pending_.erase(pending_.begin(), pending_.begin() + n);
}

std::vector<int16_t> HX_EchoDelayDetector::To16k(const std::vector<int16_t>& samples) {
  std::vector<int16_t> out;
  if (capture_rate_ == 0 || !resampler_factory_) return out;
  const size_t size = samples.size() * kAnalysisRate / capture_rate_;
  out.reserve(size);
  std::unique_ptr<HX_AudioResamplerBase> resampler(resampler_factory_->CreateAudioResampler());
  if (!resampler) return out;
  std::vector<int16_t> chunk(320);
  std::vector<int16_t> scratch((320 + 2 * capture_rate_ / 100) * kAnalysisRate / capture_rate_ +
                               64);
  for (size_t pos = 0; pos < samples.size() && out.size() < size; pos += 320) {
    const size_t n = std::min<size_t>(320, samples.size() - pos);
    std::copy(samples.begin() + pos, samples.begin() + pos + n, chunk.begin());
    const int got = resampler->Process(chunk.data(), scratch.data(), unsigned(n * 2),
                                       unsigned(capture_rate_), unsigned(kAnalysisRate));
    if (got <= 0) continue;  // a failed chunk adds nothing; the next closes up behind
    const size_t take = std::min<size_t>({size_t(got), scratch.size(), size - out.size()});
    out.insert(out.end(), scratch.begin(), scratch.begin() + take);
  }
  return out;
}

HX_EchoDelayDetector::Spectra HX_EchoDelayDetector::GetFftFromSamples(
    const std::vector<int16_t>& samples) {
  Spectra spectra;
  if (fft_ == nullptr) return spectra;
  int16_t in[kBlockLength];
  int16_t out[kBlockLength + 2];
  for (size_t pos = 0; pos + kBlockLength <= samples.size(); pos += kBlockLength) {
    std::copy(samples.begin() + pos, samples.begin() + pos + kBlockLength, in);
    if (WebRtcSpl_RealForwardFFT(fft_, in, out) != 0) std::memset(out, 0, sizeof out);
    std::vector<uint16_t> bins(kBins);
    for (int k = 1; k <= kBins; ++k) {
      const int64_t re = out[2 * k], im = out[2 * k + 1];
      bins[k - 1] = uint16_t(std::sqrt(double(re * re + im * im)));
    }
    spectra.push_back(std::move(bins));
  }
  return spectra;
}

HX_EchoDelayDetector::Pairs HX_EchoDelayDetector::GetMatchFunction(const Spectra& probe,
                                                                   const Spectra& stream) {
  Pairs result;
  if (stream.size() <= probe.size()) return result;
  for (size_t i = 0; i + probe.size() < stream.size(); ++i) {
    double sum = 0;
    for (size_t j = 0; j < probe.size(); ++j) {
      const uint16_t* p = probe[j].data();
      const uint16_t* s = stream[i + j].data();
      int64_t row = 0;
      for (int k = 0; k < kBins; ++k) row += int64_t(p[k]) * (int64_t(p[k]) - s[k]);
      sum += double(row);
    }
    result.emplace_back(int(i), sum);
  }
  return result;
}

int HX_EchoDelayDetector::GetMinIdx(const Pairs& function) {
  if (function.empty()) return -1;
  size_t best = 0;
  for (size_t i = 1; i < function.size(); ++i)
    if (function[i].second < function[best].second) best = i;
  return function[best].first;
}

HX_EchoDelayDetector::Pairs HX_EchoDelayDetector::GetSmoothed(const Pairs& function) {
  Pairs out = function;
  if (function.size() < 3) return out;
  for (size_t i = 1; i + 1 < function.size(); ++i)
    out[i].second = (function[i - 1].second + function[i].second + function[i + 1].second) / 3.0;
  return out;
}

HX_EchoDelayDetector::Pairs HX_EchoDelayDetector::GetLocalMinimums(const Pairs& function) {
  const Pairs s = GetSmoothed(function);
  Pairs out;
  if (s.empty()) return out;
  out.push_back(s.front());
  for (size_t i = 1; i + 1 < s.size(); ++i)
    if (s[i].second < s[i - 1].second && s[i].second < s[i + 1].second) out.push_back(s[i]);
  if (s.size() > 1) out.push_back(s.back());
  return out;
}

HX_EchoDelayDetector::Pairs HX_EchoDelayDetector::GetMatchFunctionVertical(const Spectra& probe,
                                                                           const Spectra& stream,
                                                                           size_t at) {
  Pairs out;
  if (at + probe.size() > stream.size()) return out;
  for (int s = -int(kShiftCentre); s < int(kShiftCentre); ++s) {
    double sum = 0;
    for (size_t j = 0; j < probe.size(); ++j) {
      int64_t row = 0;
      for (int k = 0; k < kBins; ++k) {
        const int64_t a = probe[j][((k - s) % kBins + kBins) % kBins];
        row += a * (a - stream[at + j][k]);
      }
      sum += double(row);
    }
    out.emplace_back(s + int(kShiftCentre), sum);
  }
  return out;
}

double HX_EchoDelayDetector::GetOutlierThreshold(const Pairs& function, double factor) {
  if (function.empty()) return 0.0;
  std::vector<double> v;
  for (const auto& p : function) v.push_back(p.second);
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  const double q1 = v[n / 4];
  const double q3 = v[std::min(n - n / 4, n - 1)];
  return q1 - factor * (q3 - q1);
}

HX_EchoDelayDetector::Pairs HX_EchoDelayDetector::GetOutliers(const Pairs& function,
                                                              double factor) {
  const double threshold = GetOutlierThreshold(function, factor);
  Pairs out;
  for (const auto& p : function)
    if (p.second < threshold) out.push_back(p);
  std::stable_sort(out.begin(), out.end(),
                   [](const auto& a, const auto& b) { return a.second < b.second; });
  return out;
}

HX_EchoDelayDetector::Pairs HX_EchoDelayDetector::GetMajorOutliers(const Pairs& f) {
  return GetOutliers(f, 3.0);
}
HX_EchoDelayDetector::Pairs HX_EchoDelayDetector::GetMinorOutliers(const Pairs& f) {
  return GetOutliers(f, 1.5);
}
double HX_EchoDelayDetector::GetMajorOutlier(const Pairs& f) { return GetOutlierThreshold(f, 3.0); }
double HX_EchoDelayDetector::GetMinorOutlier(const Pairs& f) { return GetOutlierThreshold(f, 1.5); }

HX_EchoDelayDetector::Pairs HX_EchoDelayDetector::ToIndexValuePairs(
    const std::vector<double>& values) {
  Pairs out;
  for (size_t i = 0; i < values.size(); ++i) out.emplace_back(int(i), values[i]);
  return out;
}

EGetDelayResult HX_EchoDelayDetector::ComputeDelay() {
  const Spectra c = GetFftFromSamples(To16k(captured_));
  const Spectra r = GetFftFromSamples(To16k(rendered_));
  const Spectra p = GetFftFromSamples(hx_echo_probe::Probe());

  const Pairs reference = GetMatchFunction(p, r);
  const int q = GetMinIdx(reference);
  int confirmed = 0;
  int last = 0;
  if (q >= 0) {
    for (const auto& candidate : GetLocalMinimums(GetMatchFunction(p, c))) {
      for (const auto& o :
           GetMajorOutliers(GetMatchFunctionVertical(p, c, size_t(candidate.first)))) {
        if (o.first >= 15 && o.first <= 17) {
          ++confirmed;
          last = candidate.first;
          break;
        }
      }
    }
  }
  match_count_ = confirmed;
  if (confirmed == 0) return audiodelay_detector::kNoCandidate;
  if (confirmed > 1) return audiodelay_detector::kManyCandidates;
  delay_ = (last - q) * int(kBlockLength) * 1000 / int(kAnalysisRate);
  return audiodelay_detector::kDelayFound;
}
