#include "platform/au/audio_io_stand_in.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

namespace hx::platform {

AudioIOStandIn::~AudioIOStandIn() { Stop(); }

bool AudioIOStandIn::Start(const Config& config) {
  if (running_.load() || config.sample_rate == 0 || config.block_frames == 0) return false;
  WavData input;
  if (config.source == Source::kWavFile) {
    if (!ReadWavFile(config.input_wav, &input) || input.sample_rate != config.sample_rate ||
        input.samples.size() < input.channels)
      return false;
    if (input.channels > 1) {  // keep the first channel
      std::vector<int16_t> mono(input.samples.size() / input.channels);
      for (size_t i = 0; i < mono.size(); ++i) mono[i] = input.samples[i * input.channels];
      input.samples = std::move(mono);
      input.channels = 1;
    }
  }
  if (!config.output_wav.empty() && !output_file_.Open(config.output_wav, config.sample_rate, 1))
    return false;
  config_ = config;
  input_file_ = std::move(input);
  input_pos_ = 0;
  input_frames_ = 0;
  size_t ring = std::max<size_t>(config.ring_frames, config.block_frames);
  for (const EchoPath& e : config.echoes)
    ring = std::max<size_t>(
        ring, uint64_t(e.delay_ms) * config.sample_rate / 1000 + 2 * config.block_frames);
  {
    std::lock_guard<std::mutex> l(ring_mutex_);
    ring_.assign(ring, 0);
    rendered_ = 0;
  }
  blocks_done_.store(0);
  config_rate_.store(config.sample_rate);
  config_block_.store(config.block_frames);
  stop_.store(false);
  running_.store(true);
  thread_ = std::thread([this] { Run(); });
  return true;
}

void AudioIOStandIn::Stop() {
  if (!thread_.joinable()) return;
  stop_.store(true);
  thread_.join();
  output_file_.Close();
  running_.store(false);
}

// Called from the stand-in's thread (inside a callback) the change waits for the next block;
// from any other thread it waits for a running callback to return.
void AudioIOStandIn::SetInputCallback(InputCallback callback) {
  if (running_.load() && std::this_thread::get_id() == thread_id_.load()) {
    std::lock_guard<std::mutex> l(pending_mutex_);
    pending_input_ = std::move(callback);
    pending_input_set_ = true;
    return;
  }
  std::lock_guard<std::mutex> l(callback_mutex_);
  input_ = std::move(callback);
}

void AudioIOStandIn::SetRenderCallback(RenderCallback callback) {
  if (running_.load() && std::this_thread::get_id() == thread_id_.load()) {
    std::lock_guard<std::mutex> l(pending_mutex_);
    pending_render_ = std::move(callback);
    pending_render_set_ = true;
    return;
  }
  std::lock_guard<std::mutex> l(callback_mutex_);
  render_ = std::move(callback);
}

void AudioIOStandIn::SetBlockHook(BlockHook hook) {
  if (running_.load() && std::this_thread::get_id() == thread_id_.load()) {
    std::lock_guard<std::mutex> l(pending_mutex_);
    pending_hook_ = std::move(hook);
    pending_hook_set_ = true;
    return;
  }
  std::lock_guard<std::mutex> l(callback_mutex_);
  hook_ = std::move(hook);
}

uint64_t AudioIOStandIn::FramesRendered() const {
  std::lock_guard<std::mutex> l(ring_mutex_);
  return rendered_;
}

bool AudioIOStandIn::ReadRendered(uint64_t first, int16_t* out, size_t frames) const {
  std::lock_guard<std::mutex> l(ring_mutex_);
  if (ring_.empty() || first + frames > rendered_ || rendered_ - first > ring_.size()) return false;
  for (size_t i = 0; i < frames; ++i) out[i] = ring_[(first + i) % ring_.size()];
  return true;
}

std::vector<int16_t> AudioIOStandIn::LastRendered(size_t frames) const {
  uint64_t first;
  {
    std::lock_guard<std::mutex> l(ring_mutex_);
    frames = std::min<uint64_t>({frames, rendered_, ring_.size()});
    first = rendered_ - frames;
  }
  std::vector<int16_t> out(frames);
  if (frames != 0 && !ReadRendered(first, out.data(), frames)) out.clear();
  return out;
}

void AudioIOStandIn::MakeInput(int16_t* out, size_t frames) {
  const unsigned rate = config_.sample_rate;
  switch (config_.source) {
    case Source::kSilence:
      std::fill(out, out + frames, 0);
      break;
    case Source::kSine:
      for (size_t i = 0; i < frames; ++i) {
        // The phase from a frame count modulo the sine's period keeps the tone exact for hours.
        const double t = double((input_frames_ + i) % (uint64_t(rate) * 100)) / rate;
        out[i] =
            int16_t(std::lround(config_.sine_amplitude * std::sin(2 * M_PI * config_.sine_hz * t)));
      }
      break;
    case Source::kWavFile:
      for (size_t i = 0; i < frames; ++i) {
        out[i] = input_file_.samples[input_pos_];
        input_pos_ = (input_pos_ + 1) % input_file_.samples.size();
      }
      break;
  }
  input_frames_ += frames;
  if (config_.echoes.empty()) return;
  // The block just rendered ends at rendered_, and this captured block covers the same frames.
  const uint64_t block_start = rendered_ - frames;
  std::lock_guard<std::mutex> l(ring_mutex_);
  for (const EchoPath& e : config_.echoes) {
    const uint64_t delay = uint64_t(e.delay_ms) * rate / 1000;
    for (size_t i = 0; i < frames; ++i) {
      const uint64_t pos = block_start + i;
      if (pos < delay) continue;  // nothing was played that long ago
      const double v = out[i] + e.gain * ring_[(pos - delay) % ring_.size()];
      out[i] = int16_t(std::clamp(v, -32768.0, 32767.0));
    }
  }
}

void AudioIOStandIn::Run() {
  thread_id_.store(std::this_thread::get_id());
  const size_t frames = config_.block_frames;
  std::vector<int16_t> out(frames), in(frames);
  const auto period = std::chrono::duration<double>(double(frames) / config_.sample_rate);
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t block = 0; !stop_.load(); ++block) {
    if (config_.paced) {
      std::this_thread::sleep_until(
          start +
          std::chrono::duration_cast<std::chrono::steady_clock::duration>(period * double(block)));
      if (stop_.load()) break;
    }
    // Changes made from inside a callback: taken out first, applied under the callback mutex
    // alone (a callback holds that mutex when it takes the pending one).
    bool set_input, set_render, set_hook;
    InputCallback input;
    RenderCallback render;
    BlockHook hook;
    {
      std::lock_guard<std::mutex> p(pending_mutex_);
      set_input = pending_input_set_;
      set_render = pending_render_set_;
      set_hook = pending_hook_set_;
      input = std::move(pending_input_);
      render = std::move(pending_render_);
      hook = std::move(pending_hook_);
      pending_input_set_ = pending_render_set_ = pending_hook_set_ = false;
    }
    std::unique_lock<std::mutex> c(callback_mutex_);
    if (set_input) input_ = std::move(input);
    if (set_render) render_ = std::move(render);
    if (set_hook) hook_ = std::move(hook);
    if (hook_) hook_(block);
    if (stop_.load()) break;
    std::fill(out.begin(), out.end(), 0);
    if (render_) render_(out.data(), frames);
    {
      std::lock_guard<std::mutex> l(ring_mutex_);
      for (size_t i = 0; i < frames; ++i) ring_[(rendered_ + i) % ring_.size()] = out[i];
      rendered_ += frames;
    }
    if (output_file_.IsOpen()) output_file_.Write(out.data(), frames);
    MakeInput(in.data(), frames);
    if (input_) input_(in.data(), frames);
    c.unlock();
    blocks_done_.fetch_add(1);
  }
}

}  // namespace hx::platform
