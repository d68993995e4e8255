// The one file of ours that calls the WebRTC resampler.
#include "core/media/audio/audio_resampler.h"

#include <algorithm>
#include <cstring>

#include "common_audio/resampler/include/push_resampler.h"

namespace {

// Rates outside this range are refused: below it a 10 ms chunk is empty, above it the FIFO
// of two seconds would be unreasonably large.
constexpr unsigned kMinRate = 100;
constexpr unsigned kMaxRate = 384000;

unsigned Effective(unsigned rate) { return rate == 44100 ? 44000 : rate; }

}  // namespace

HX_AudioResamplerBase::~HX_AudioResamplerBase() = default;

int HX_AudioResamplerBase::Process(void* input, void* output, unsigned inputBytes, unsigned inRate,
                                   unsigned outRate) {
  if (input == nullptr || output == nullptr) return -1;
  if (!initialised_) {
    initialised_ = Init(inRate, outRate);
    if (!initialised_) return -1;
  }
  if (inRate != in_rate_ || outRate != out_rate_) {
    if (!SetRates(inRate, outRate)) return -1;
    in_rate_ = inRate;
    out_rate_ = outRate;
  }
  const int bytes = InternalProcess(input, output, inputBytes);
  return bytes < 0 ? bytes : bytes / 2;
}

HXResamplerWebRtc::HXResamplerWebRtc() : resampler_(new webrtc::PushResampler<int16_t>()) {}

HXResamplerWebRtc::~HXResamplerWebRtc() = default;

unsigned HXResamplerWebRtc::FindGCD(unsigned a, unsigned b) {
  while (b != 0) {
    const unsigned t = a % b;
    a = b;
    b = t;
  }
  return a;
}

bool HXResamplerWebRtc::InternalInit(unsigned inRate, unsigned outRate) {
  inRate = Effective(inRate);
  outRate = Effective(outRate);
  if (inRate < kMinRate || outRate < kMinRate || inRate > kMaxRate || outRate > kMaxRate) {
    return false;
  }
  input_rate_ = inRate;
  output_rate_ = outRate;
  const unsigned g = FindGCD(inRate, outRate);
  output_ratio_ = outRate / g;
  input_ratio_ = inRate / g;
  fifo_ = std::make_unique<HX_FifoBuffer>(inRate * 4);
  scratch_.assign(size_t{2} * inRate, 0);
  // 10 ms: the library takes exactly rate / 100 samples per call and makes rate / 100.
  chunk_ = inRate / 100;
  out_chunk_ = outRate / 100;
  return chunk_ > 0 && out_chunk_ > 0;
}

bool HXResamplerWebRtc::Reset() {
  // A fresh resampler: the library keeps filter history that belongs to the old pair of rates.
  resampler_ = std::make_unique<webrtc::PushResampler<int16_t>>();
  return resampler_->InitializeIfNeeded(static_cast<int>(input_rate_),
                                        static_cast<int>(output_rate_), 1) == 0;
}

bool HXResamplerWebRtc::Init(unsigned inRate, unsigned outRate) {
  return InternalInit(inRate, outRate) && Reset();
}

bool HXResamplerWebRtc::SetRates(unsigned inRate, unsigned outRate) {
  if (!InternalInit(inRate, outRate)) return false;
  return Reset();
}

int HXResamplerWebRtc::InternalProcess(void* input, void* output, unsigned inputBytes) {
  if (!fifo_ || chunk_ == 0) return -1;
  fifo_->AddData(input, inputBytes);
  const unsigned held = fifo_->GetDataLen() / 2;
  const unsigned k = held / chunk_ * chunk_;
  if (k == 0 || !fifo_->GetData(scratch_.data(), k * 2, true)) return 0;
  const size_t out_chunk = out_chunk_;
  auto* out = static_cast<int16_t*>(output);
  size_t produced = 0;
  bool failed = false;
  for (unsigned off = 0; off < k; off += chunk_) {
    const int16_t* src = scratch_.data() + off;
    int16_t* dst = out + produced;
    const int n = resampler_->Resample(src, chunk_, dst, out_chunk);
    failed = n < 0;
    const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
    // Positions the library did not fill repeat the last sample it produced, or else the chunk's
    // last input sample.
    const int16_t fill = got > 0 ? dst[got - 1] : src[chunk_ - 1];
    for (size_t i = got; i < out_chunk; ++i) dst[i] = fill;
    produced += out_chunk;
  }
  if (failed) return -2;
  return static_cast<int>(produced * 2);
}

HX_AudioResamplerFactory::~HX_AudioResamplerFactory() = default;

HX_AudioResamplerBase* HX_AudioResamplerFactory::CreateAudioResampler() {
  return new HXResamplerWebRtc();
}
