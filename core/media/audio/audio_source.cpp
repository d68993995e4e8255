#include "core/media/audio/audio_source.h"

#include <cmath>
#include <cstring>

#include "core/base/tick_clock.h"

namespace {

bool FormatUsable(const HX_MediaFormat* format) {
  return format != nullptr && format->audioCodec != 0 && format->sampleRate >= 8000 &&
         format->sampleRate <= 48000 && format->audioBufferSize != 0;
}

// Milliseconds from `then` to `now` on the 32-bit tick, which wraps after 24.8 days of uptime:
// the difference is taken modulo 2^32, so it stays right across the wrap.
int32_t TicksSince(int32_t now, int32_t then) {
  return static_cast<int32_t>(static_cast<uint32_t>(now) - static_cast<uint32_t>(then));
}

}  // namespace

HX_AudioSource::HX_AudioSource()
    : HX_AudioSource(std::make_shared<HX_AudioCodecFactory>(),
                     std::make_shared<HX_RecordPeerProxyStub>()) {}

HX_AudioSource::HX_AudioSource(std::shared_ptr<HX_AudioCodecFactory> factory,
                               std::shared_ptr<HX_RecordPeerProxyBase> recordProxy)
    : factory_(std::move(factory)), record_proxy_(std::move(recordProxy)) {}

HX_AudioSource::~HX_AudioSource() { Release(); }

int64_t HX_AudioSource::Now() const { return clock_ ? clock_() : hx::GetTickCount(); }

bool HX_AudioSource::Init(HX_MediaFormat* format, const char* /*name*/) {
  if (!FormatUsable(format) || !factory_) return false;
  format_ = *format;
  // The assignment is size-versioned: take the fields the source reads as they are.
  format_.sampleRate = format->sampleRate;
  format_.audioCodec = format->audioCodec;
  format_.audioBufferSize = format->audioBufferSize;
  Release();
  last_drop_time_ = static_cast<int32_t>(Now());
  last_arrival_time_ = 0;
  last_full_read_time_.store(0, std::memory_order_relaxed);
  decoder_ = factory_->CreateDecoder(format_.audioCodec);
  if (!decoder_) return false;
  frame_size_ = static_cast<int32_t>(format_.audioBufferSize);
  decode_buffer_.reset(new int16_t[kDecodeBufferBytes / 2]);
  vad_ = std::make_unique<HXAudioVAD>();
  vad_->Init(static_cast<int>(format_.sampleRate), 16);
  vad_->SetMode(2);
  if (decoder_->Init(static_cast<int>(format_.sampleRate)) != 0) return false;
  estimator_ = std::make_unique<HX_CountRecomendedLen>(30000);
  fifo_ = std::make_unique<HX_FifoBuffer>(format_.sampleRate * 12000 / 1000);
  level_ = std::make_unique<HXAudioLevelAverager>();
  valid_.store(true, std::memory_order_release);
  return true;
}

bool HX_AudioSource::ReInit(HX_MediaFormat* format, const char* name) {
  if (!FormatUsable(format) || !factory_) return false;
  if (format->audioCodec == format_.audioCodec && format->sampleRate == format_.sampleRate) {
    return false;
  }
  const bool blocked = IsBlocked();
  Release();
  Init(format, name);
  SetBlock(blocked);
  return true;
}

void HX_AudioSource::Release() {
  valid_.store(false, std::memory_order_release);
  blocked_.store(false, std::memory_order_relaxed);
  frame_counter_ = 0;
  last_drop_time_ = 0;
  last_arrival_time_ = 0;
  last_full_read_time_.store(0, std::memory_order_relaxed);
  ever_full_read_.store(false, std::memory_order_relaxed);
  last_added_sample_ = 0;
  last_played_sample_.store(0, std::memory_order_relaxed);
  last_added_type_ = 0;
  last_played_type_.store(0, std::memory_order_relaxed);
  drop_countdown_ = 0;
  frame_size_ = 0;
  vad_.reset();
  estimator_.reset();
  fifo_.reset();
  if (decoder_) decoder_->Release();
  decoder_.reset();
  decode_buffer_.reset();
  level_.reset();
}

bool HX_AudioSource::AddData(char* payload, int bytes) {
  if (!IsValid() || IsBlocked()) return false;
  if (payload == nullptr || bytes < 0) bytes = 0;
  int n =
      decoder_->Convert(reinterpret_cast<unsigned char*>(payload), bytes,
                        reinterpret_cast<unsigned char*>(decode_buffer_.get()), kDecodeBufferBytes);
  // A decoder's answer is trusted no further than the room it was given.
  if (n < 0 || n > kDecodeBufferBytes) n = 0;
  n &= ~1;
  short* samples = decode_buffer_.get();
  CalcLevel(samples, n / 2);

  const int64_t now64 = Now();
  const int32_t now = static_cast<int32_t>(now64);
  if (TicksSince(now, last_arrival_time_) > kPauseMs) estimator_->Reset();
  last_arrival_time_ = now;

  const uint32_t rate = format_.sampleRate;
  const uint32_t buffered = (fifo_->GetDataLen() / 2) * 1000 / rate;
  const uint32_t frame = (static_cast<uint32_t>(frame_size_) / 2) * 1000 / rate;
  estimator_->Snap(static_cast<unsigned long>(now64));

  if (++frame_counter_ < 3) return true;

  int32_t target = static_cast<int32_t>(estimator_->GetRTime());
  if (target > 4000) target = 4000;
  if (target < static_cast<int32_t>(frame)) target = static_cast<int32_t>(frame);

  const bool voice = vad_->IsVad(reinterpret_cast<const unsigned char*>(samples), n);

  if (static_cast<int64_t>(buffered) > static_cast<int64_t>(frame) + target) {
    const int32_t k =
        target / (static_cast<int32_t>(buffered) - static_cast<int32_t>(frame) - target + 10) + 4;
    if (k > 0) {
      bool allowed;
      if (drop_countdown_ == 0) {
        drop_countdown_ = k;
        last_drop_time_ = 0;
        allowed = true;
      } else {
        allowed = last_drop_time_ == 0;
      }
      const int32_t c = drop_countdown_--;
      if (!(c > 1 && voice) && allowed) {
        last_drop_time_ = now;
        last_added_type_ = kDropped;
        return true;
      }
    }
  }

  CorrectSpike(samples, n, kDecoded, true);
  fifo_->AddData(samples, static_cast<unsigned long>(n));
  ++frame_counter_;
  if (record_proxy_) record_proxy_->PutAudio(samples, static_cast<unsigned long>(n), rate);
  return true;
}

void HX_AudioSource::CalcLevel(const short* samples, int count) {
  unsigned level = 0;
  if (count > 0) {
    uint64_t sum = 0;
    for (int i = 0; i < count; ++i) {
      sum += static_cast<uint64_t>(static_cast<int64_t>(samples[i]) * samples[i]);
    }
    level = static_cast<unsigned>(std::sqrt(static_cast<double>(sum) / count));
  }
  level_->Set(static_cast<unsigned>(Now()), level);
}

unsigned HX_AudioSource::GetLevel() {
  if (!level_) return 0;
  return level_->Get(static_cast<unsigned long>(Now()));
}

void HX_AudioSource::CorrectSpike(short* samples, int bytes, int32_t type, bool adding) {
  int32_t lastSample;
  int32_t lastType;
  if (adding) {
    if (fifo_ && fifo_->GetDataLen() == 0) {
      // The new block will be played right after what was played last.
      last_added_sample_ = last_played_sample_.load(std::memory_order_relaxed);
      last_added_type_ = last_played_type_.load(std::memory_order_relaxed);
    }
    lastSample = last_added_sample_;
    lastType = last_added_type_;
  } else {
    lastSample = last_played_sample_.load(std::memory_order_relaxed);
    lastType = last_played_type_.load(std::memory_order_relaxed);
  }
  // Only the samples the part has are touched: an undecodable payload gives an empty part, an
  // underrun may leave a single sample to fill.
  const int count = bytes > 0 ? bytes / 2 : 0;
  if (type != lastType && count > 0) {
    const int32_t d = (lastSample - samples[0]) / 3;
    samples[0] = static_cast<short>(samples[0] + 2 * d);
    if (count > 1) samples[1] = static_cast<short>(samples[1] + d);
  }
  if (type != 0) {
    lastType = type;
    if (count > 0) lastSample = samples[count - 1];
    if (adding) {
      last_added_type_ = lastType;
      last_added_sample_ = lastSample;
    } else {
      last_played_type_.store(lastType, std::memory_order_relaxed);
      last_played_sample_.store(lastSample, std::memory_order_relaxed);
    }
  }
}

int HX_AudioSource::GetData(char* destination, int bytes) {
  if (!IsValid() || destination == nullptr || bytes <= 0) return 0;
  const int32_t now = static_cast<int32_t>(Now());
  const uint32_t held = fifo_->GetDataLen();
  if (held >= static_cast<uint32_t>(bytes)) {
    fifo_->GetData(destination, static_cast<unsigned long>(bytes), true);
    CorrectSpike(reinterpret_cast<short*>(destination), bytes, kDecoded, false);
    last_full_read_time_.store(now, std::memory_order_relaxed);
    ever_full_read_.store(true, std::memory_order_relaxed);
    return bytes;
  }
  // Underrun: what is held, then comfort noise or silence for the rest. Whole samples only, so
  // the filled part starts on a sample boundary.
  const int h = static_cast<int>(held) & ~1;
  if (h > 0) {
    fifo_->GetData(destination, static_cast<unsigned long>(h), true);
    CorrectSpike(reinterpret_cast<short*>(destination), h, kDecoded, false);
  }
  const int rest = bytes - h;
  char* fill = destination + h;
  const uint32_t since = static_cast<uint32_t>(now) -
                         static_cast<uint32_t>(last_full_read_time_.load(std::memory_order_relaxed));
  NoiseGen* noise = vad_ ? vad_->GetNoiseGen() : nullptr;
  if (!ever_full_read_.load(std::memory_order_relaxed) || since >= kNoiseWindowMs ||
      noise == nullptr) {
    std::memset(fill, 0, static_cast<size_t>(rest));
  } else {
    noise->GetNoise(reinterpret_cast<short*>(fill), rest / 2);
    if (rest & 1) fill[rest - 1] = 0;
  }
  CorrectSpike(reinterpret_cast<short*>(fill), rest & ~1, kFilled, false);
  return bytes;
}

unsigned HX_AudioSource::GetCurrBuffDurr() const {
  if (!IsValid() || !fifo_) return 0;
  return static_cast<unsigned>(static_cast<uint64_t>(fifo_->GetDataLen()) * 1000 /
                               (static_cast<uint64_t>(format_.sampleRate) * 2));
}
