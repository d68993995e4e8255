#pragma once
// AudioIOStandIn: the audio unit of this platform, a microphone and a loudspeaker on one real
// thread of their own. Every block (256 frames of 16 kHz mono by default) the thread first asks
// the render callback to fill the output block, keeps that block in a ring that tests read (and
// in a WAV file when one is named), then hands the input callback the next captured block.
//
// The captured audio is the configured source (silence, a sine, or a WAV file played in a loop)
// plus every echo path: what was rendered a set number of milliseconds earlier, scaled by a gain.
// An echo path of 96 ms makes the loudspeaker audible in the microphone 96 ms later, which is
// what the echo-delay measurement listens for. Rendering comes first in each block so that even
// an echo path shorter than a block hears audio already played.
//
// Pacing: paced blocks follow the steady clock (one block every block_frames / sample_rate
// seconds); free-running blocks follow one another at once, and a test may hold the thread before
// each block through the block hook to step a simulated clock in lockstep with it.
//
// Thread safety: every public call is safe from any thread. The callbacks run on the stand-in's
// thread; a setter called from another thread returns only after any running call of the old
// callback has finished, so an object may be destroyed once it has cleared its callback. Setters
// called from inside a callback take effect from the next block.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/au/wav_file.h"

namespace hx::platform {

class AudioIOStandIn {
 public:
  enum class Source { kSilence, kSine, kWavFile };
  struct EchoPath {
    unsigned delay_ms = 0;
    double gain = 1.0;
  };
  struct Config {
    unsigned sample_rate = 16000;
    unsigned block_frames = 256;
    Source source = Source::kSilence;
    double sine_hz = 1000.0;
    int sine_amplitude = 8000;
    std::string input_wav;  // mono or first channel, at sample_rate, played in a loop
    std::vector<EchoPath> echoes;
    bool paced = true;
    // Frames of rendered audio kept for tests and echo paths (at least the longest echo path
    // plus one block is kept whatever is set here).
    size_t ring_frames = 16000 * 30;
    std::string output_wav;  // empty: no file
  };
  // Captured block: samples, frames. Render block: zero-filled samples to fill, frames.
  using InputCallback = std::function<void(const int16_t*, size_t)>;
  using RenderCallback = std::function<void(int16_t*, size_t)>;
  // Called on the stand-in's thread before each block with the index of the block to come.
  using BlockHook = std::function<void(uint64_t)>;

  AudioIOStandIn() = default;
  ~AudioIOStandIn();
  AudioIOStandIn(const AudioIOStandIn&) = delete;
  AudioIOStandIn& operator=(const AudioIOStandIn&) = delete;

  // Starts the thread. False when already running, for a rate or block of 0, an input WAV that
  // cannot be read or has another rate, or an output WAV that cannot be created.
  bool Start(const Config& config);
  // Stops and joins the thread (the output WAV is closed). Safe when not running. Must not be
  // called from a callback.
  void Stop();
  bool IsRunning() const { return running_.load(); }

  void SetInputCallback(InputCallback callback);
  void SetRenderCallback(RenderCallback callback);
  void SetBlockHook(BlockHook hook);

  unsigned SampleRate() const { return config_rate_.load(); }
  unsigned BlockFrames() const { return config_block_.load(); }
  // Blocks completed since Start.
  uint64_t BlocksDone() const { return blocks_done_.load(); }
  // Frames rendered since Start.
  uint64_t FramesRendered() const;
  // Copies frames rendered from the absolute frame position first (0: the first frame after
  // Start). False, copying nothing, when part of the range was not rendered yet or has left
  // the ring.
  bool ReadRendered(uint64_t first, int16_t* out, size_t frames) const;
  // The last frames rendered (fewer when fewer are held), oldest first.
  std::vector<int16_t> LastRendered(size_t frames) const;

 private:
  void Run();
  void MakeInput(int16_t* out, size_t frames);

  Config config_;
  std::atomic<unsigned> config_rate_{0};
  std::atomic<unsigned> config_block_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> blocks_done_{0};
  std::thread thread_;
  std::atomic<std::thread::id> thread_id_{};

  // Held by the thread while it calls the callbacks, and by setters from other threads.
  std::mutex callback_mutex_;
  InputCallback input_;
  RenderCallback render_;
  BlockHook hook_;
  // Pending changes made from inside a callback, applied before the next block.
  std::mutex pending_mutex_;
  bool pending_input_set_ = false, pending_render_set_ = false, pending_hook_set_ = false;
  InputCallback pending_input_;
  RenderCallback pending_render_;
  BlockHook pending_hook_;

  mutable std::mutex ring_mutex_;
  std::vector<int16_t> ring_;
  uint64_t rendered_ = 0;  // frames written into the ring so far

  WavData input_file_;
  size_t input_pos_ = 0;
  uint64_t input_frames_ = 0;
  WavWriter output_file_;
};

}  // namespace hx::platform
