#include "core/media/audio/audio_sinc.h"

#include <algorithm>
#include <cstring>

ResemplerItem::ResemplerItem(unsigned r, HX_AudioResamplerBase* res)
    : rate(r), resampler(res), fifo(std::make_unique<HX_FifoBuffer>(r * 8)) {}

HX_AudioSinc::HX_AudioSinc(AudioMixerCallback* callback)
    : callback_(callback), work_a_(kWorkBufferBytes / 2), work_b_(kWorkBufferBytes / 2) {
  mixer_.Init(kMixPeakNormalise);
}

HX_AudioSinc::~HX_AudioSinc() = default;

void HX_AudioSinc::SetResamplerFactory(std::shared_ptr<HX_AudioResamplerFactory> factory) {
  HXAutoLock lock(*this);
  resampler_factory_ = std::move(factory);
}

void HX_AudioSinc::EnsureGroup(uint32_t rate) {
  if (groups_.count(rate) != 0) return;
  HX_AudioResamplerBase* resampler = nullptr;
  if (resampler_factory_) {
    resampler = resampler_factory_->CreateAudioResampler();
  } else {
    resampler = new HXResamplerWebRtc();
  }
  groups_.emplace(rate, std::make_unique<ResemplerItem>(rate, resampler));
}

bool HX_AudioSinc::AddSource(HX_AudioSource* source) {
  if (source == nullptr) return false;
  {
    HXAutoLock lock(*this);
    for (const auto& entry : sources_) {
      if (entry.second == source) return false;
    }
    const uint32_t key = source->IsValid() ? source->GetFormat().sampleRate : 0;
    source->SetBlock(blocked_);
    sources_.emplace(key, source);
    EnsureGroup(key);
  }
  DetermineFreq();
  return true;
}

bool HX_AudioSinc::RemoveSource(HX_AudioSource* source) {
  {
    HXAutoLock lock(*this);
    auto it = std::find_if(sources_.begin(), sources_.end(),
                           [source](const auto& e) { return e.second == source; });
    if (it == sources_.end()) return false;
    const uint32_t key = it->first;
    sources_.erase(it);
    if (sources_.count(key) == 0) groups_.erase(key);
  }
  DetermineFreq();
  return true;
}

bool HX_AudioSinc::ChangeFormatSource(HX_AudioSource* source, const HX_MediaFormat& format) {
  {
    HXAutoLock lock(*this);
    auto it = std::find_if(sources_.begin(), sources_.end(),
                           [source](const auto& e) { return e.second == source; });
    if (it == sources_.end()) return false;
    HX_MediaFormat copy = format;
    copy.sampleRate = format.sampleRate;
    copy.audioCodec = format.audioCodec;
    copy.audioBufferSize = format.audioBufferSize;
    if (source->ReInit(&copy, nullptr)) {
      const uint32_t key = source->IsValid() ? source->GetFormat().sampleRate : 0;
      const uint32_t old = it->first;
      if (key != old) {
        sources_.erase(it);
        if (sources_.count(old) == 0) groups_.erase(old);
        sources_.emplace(key, source);
        EnsureGroup(key);
      }
    }
  }
  DetermineFreq();
  return true;
}

void HX_AudioSinc::BlockSources(bool block) {
  HXAutoLock lock(*this);
  blocked_ = block;
  for (auto& entry : sources_) entry.second->SetBlock(block);
}

bool HX_AudioSinc::SetAudioMode(FreqMode mode, unsigned frequency) {
  {
    HXAutoLock lock(*this);
    freq_mode_ = mode;
    fixed_frequency_ = frequency;
  }
  DetermineFreq();
  return true;
}

unsigned HX_AudioSinc::DetermineMuxerFreq() {
  HXAutoLock lock(*this);
  if (groups_.empty()) return 0;
  if (freq_mode_ == kFixed) return fixed_frequency_;
  return groups_.rbegin()->first;
}

void HX_AudioSinc::DetermineFreq() {
  const unsigned f = DetermineMuxerFreq();
  // Exchange so that two threads deciding at once announce a change only once.
  if (current_frequency_.exchange(f) != f && callback_ != nullptr) callback_->CurrentFreq(f);
}

size_t HX_AudioSinc::GroupCount() {
  HXAutoLock lock(*this);
  return groups_.size();
}

bool HX_AudioSinc::HasGroup(unsigned rate) {
  HXAutoLock lock(*this);
  return groups_.count(rate) != 0;
}

bool HX_AudioSinc::MixRange(std::multimap<uint32_t, HX_AudioSource*>::iterator first,
                            unsigned count, short* destination, unsigned bytes) {
  const unsigned samples = bytes / 2;
  if (range_buffers_.size() < count) range_buffers_.resize(count);
  range_inputs_.resize(count);
  auto it = first;
  for (unsigned j = 0; j < count; ++j, ++it) {
    auto& buffer = range_buffers_[j];
    if (buffer.size() < samples + 1) buffer.resize(samples + 1);
    // A valid source fills the whole block; one that is not writes nothing and its share is
    // silence, never an earlier block.
    if (it->second->GetData(reinterpret_cast<char*>(buffer.data()), static_cast<int>(bytes)) <= 0) {
      std::fill(buffer.begin(), buffer.end(), 0);
    }
    range_inputs_[j] = buffer.data();
  }
  return mixer_.Mix(range_inputs_.data(), count, destination, samples);
}

void HX_AudioSinc::ReadGroup(uint32_t rate,
                             std::multimap<uint32_t, HX_AudioSource*>::iterator first,
                             unsigned count, short* destination, unsigned bytes) {
  if (rate == 0) {
    std::memset(destination, 0, bytes);
  } else if (count == 1) {
    // A source that is not valid writes nothing: its share stays zero.
    if (first->second->GetData(reinterpret_cast<char*>(destination), static_cast<int>(bytes)) <=
        0) {
      std::memset(destination, 0, bytes);
    }
  } else if (!MixRange(first, count, destination, bytes)) {
    std::memset(destination, 0, bytes);
  }
}

bool HX_AudioSinc::GetAudio(void* destination, unsigned bytes, unsigned deviceFrequency) {
  HXAutoLock lock(*this);
  const unsigned f = deviceFrequency != 0 ? deviceFrequency : current_frequency_.load();
  if (sources_.empty() || destination == nullptr) return false;
  const unsigned samples = bytes / 2;
  const unsigned even = samples * 2;
  if (group_buffers_.size() < groups_.size()) group_buffers_.resize(groups_.size());
  pointers_.clear();

  size_t index = 0;
  for (auto it = sources_.begin(); it != sources_.end(); ++index) {
    const uint32_t rate = it->first;
    const unsigned count = static_cast<unsigned>(sources_.count(rate));
    auto next = std::next(it, count);
    auto& out = group_buffers_[index];
    if (out.size() < samples + 1) out.resize(samples + 1);
    short* buffer = out.data();
    auto group = groups_.find(rate);
    if (rate == 0 || group == groups_.end()) {
      std::memset(buffer, 0, even);
    } else if (f == rate) {
      ReadGroup(rate, it, count, buffer, even);
    } else {
      ResemplerItem& item = *group->second;
      const unsigned n = (rate * 40 / 500) & ~1u;
      while (item.fifo->GetDataLen() < even) {
        short* a = work_a_.data();
        ReadGroup(rate, it, count, a, n);
        // Room for everything the resampler may hold plus this chunk, at the device rate.
        const uint64_t room = (static_cast<uint64_t>(n / 2) + rate / 100) * f / rate + 64;
        if (work_b_.size() < room) work_b_.resize(room);
        const int converted = item.resampler->Process(a, work_b_.data(), n, rate, f);
        bool added;
        if (converted < 0) {
          const unsigned silence =
              static_cast<unsigned>(static_cast<uint64_t>(n / 2) * f / rate) * 2;
          if (work_b_.size() < silence / 2) work_b_.resize(silence / 2);
          std::fill(work_b_.begin(), work_b_.begin() + silence / 2, 0);
          added = silence > 0 && item.fifo->AddData(work_b_.data(), silence);
        } else {
          added = converted > 0 &&
                  item.fifo->AddData(work_b_.data(), static_cast<unsigned long>(converted) * 2);
        }
        // A chunk that does not fit or brings nothing ends the filling (a block larger than the
        // group FIFO, a device frequency of 0): the rest of the block is silence.
        if (!added) break;
      }
      const unsigned take = std::min<unsigned>(item.fifo->GetDataLen() & ~1u, even);
      if (take > 0) item.fifo->GetData(buffer, take, true);
      std::memset(reinterpret_cast<char*>(buffer) + take, 0, even - take);
    }
    pointers_.push_back(buffer);
    it = next;
  }
  mixer_.Mix(pointers_.data(), static_cast<unsigned>(pointers_.size()),
             static_cast<short*>(destination), samples);
  return true;
}
