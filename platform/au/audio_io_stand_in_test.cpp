// The audio stand-in on its real thread: block sizes and pacing, the echo paths (what was
// rendered comes back in the captured audio a set time later), WAV input and output, and
// callbacks swapped while the thread runs.
#include "platform/au/audio_io_stand_in.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <thread>

namespace hx::platform {
namespace {

void WaitBlocks(const AudioIOStandIn& io, uint64_t blocks) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (io.BlocksDone() < blocks && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_GE(io.BlocksDone(), blocks);
}

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string("hx_au_") + std::to_string(::getpid()) + "_" + name))
      .string();
}

TEST(AudioIOStandIn, RefusesBadConfigurations) {
  AudioIOStandIn io;
  AudioIOStandIn::Config c;
  c.sample_rate = 0;
  EXPECT_FALSE(io.Start(c));
  c.sample_rate = 16000;
  c.block_frames = 0;
  EXPECT_FALSE(io.Start(c));
  c.block_frames = 256;
  c.source = AudioIOStandIn::Source::kWavFile;
  c.input_wav = TempPath("missing.wav");
  EXPECT_FALSE(io.Start(c));
  c.source = AudioIOStandIn::Source::kSilence;
  c.output_wav = "/nonexistent-dir/x.wav";
  EXPECT_FALSE(io.Start(c));
  c.output_wav.clear();
  c.paced = false;
  ASSERT_TRUE(io.Start(c));
  EXPECT_FALSE(io.Start(c));  // already running
  io.Stop();
  io.Stop();
}

TEST(AudioIOStandIn, PacedBlocksFollowTheClock) {
  AudioIOStandIn io;
  AudioIOStandIn::Config c;  // 256 frames at 16 kHz: 16 ms a block
  std::atomic<size_t> sizes{0};
  io.SetInputCallback([&](const int16_t*, size_t n) { sizes.store(n); });
  const auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(io.Start(c));
  WaitBlocks(io, 13);  // block 12 is due 192 ms after the start
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  io.Stop();
  EXPECT_GE(ms, 190);
  EXPECT_EQ(sizes.load(), 256u);
}

// Renders a counting ramp and checks that each echo path returns it exactly its delay later,
// added to the sine source, for delays shorter than, equal to and longer than a block.
TEST(AudioIOStandIn, EchoPathsReturnWhatWasRenderedTheirDelayLater) {
  for (unsigned delay_ms : {0u, 5u, 16u, 96u}) {
    AudioIOStandIn io;
    AudioIOStandIn::Config c;
    c.paced = false;
    c.source = AudioIOStandIn::Source::kSine;
    c.sine_hz = 500;
    c.sine_amplitude = 1000;
    c.echoes = {{delay_ms, 0.5}};
    uint64_t rendered = 0;
    std::vector<int16_t> captured;
    std::mutex m;
    io.SetRenderCallback([&](int16_t* out, size_t n) {
      for (size_t i = 0; i < n; ++i) out[i] = int16_t(((rendered + i) % 4000) * 2);
      rendered += n;
    });
    io.SetInputCallback([&](const int16_t* in, size_t n) {
      std::lock_guard<std::mutex> l(m);
      captured.insert(captured.end(), in, in + n);
    });
    ASSERT_TRUE(io.Start(c));
    WaitBlocks(io, 40);
    io.Stop();
    std::lock_guard<std::mutex> l(m);
    const uint64_t d = delay_ms * 16;
    ASSERT_GE(captured.size(), 40u * 256);
    for (uint64_t i = 0; i < 40 * 256; ++i) {
      const double sine = std::lround(1000 * std::sin(2 * M_PI * 500 * double(i) / 16000));
      const double echo = i >= d ? 0.5 * double(((i - d) % 4000) * 2) : 0.0;
      ASSERT_NEAR(captured[i], sine + echo, 1.0) << "delay " << delay_ms << " frame " << i;
    }
  }
}

TEST(AudioIOStandIn, WavInputLoopsAndRenderedAudioIsKeptInTheRingAndFile) {
  const std::string in_path = TempPath("in.wav"), out_path = TempPath("out.wav");
  {
    WavWriter w;
    ASSERT_TRUE(w.Open(in_path, 16000, 1));
    std::vector<int16_t> s(100);
    for (int i = 0; i < 100; ++i) s[i] = int16_t(i);
    ASSERT_TRUE(w.Write(s.data(), s.size()));
  }
  AudioIOStandIn io;
  AudioIOStandIn::Config c;
  c.paced = false;
  c.source = AudioIOStandIn::Source::kWavFile;
  c.input_wav = in_path;
  c.output_wav = out_path;
  c.ring_frames = 1024;
  std::vector<int16_t> captured;
  io.SetInputCallback([&](const int16_t* in, size_t n) {
    if (captured.size() < 1000) captured.insert(captured.end(), in, in + n);
  });
  io.SetRenderCallback([](int16_t* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = 7;
  });
  ASSERT_TRUE(io.Start(c));
  WaitBlocks(io, 10);
  io.Stop();
  ASSERT_GE(captured.size(), 1000u);
  for (size_t i = 0; i < 1000; ++i) ASSERT_EQ(captured[i], int16_t(i % 100));

  const uint64_t frames = io.FramesRendered();
  EXPECT_EQ(frames, io.BlocksDone() * 256);
  std::vector<int16_t> tail(512);
  EXPECT_TRUE(io.ReadRendered(frames - 512, tail.data(), 512));
  EXPECT_EQ(tail, std::vector<int16_t>(512, 7));
  EXPECT_FALSE(io.ReadRendered(frames - 100, tail.data(), 200));  // not rendered yet
  EXPECT_FALSE(io.ReadRendered(0, tail.data(), 10));              // left the ring
  EXPECT_EQ(io.LastRendered(300).size(), 300u);

  WavData out;
  ASSERT_TRUE(ReadWavFile(out_path, &out));
  EXPECT_EQ(out.samples.size(), frames);
  EXPECT_EQ(out.samples.front(), 7);
  std::remove(in_path.c_str());
  std::remove(out_path.c_str());
}

// A render callback cleared from another thread is never called again once the setter returned,
// and one replaced from inside a callback takes over at the next block.
TEST(AudioIOStandIn, CallbacksSwappedWhileRunning) {
  AudioIOStandIn io;
  AudioIOStandIn::Config c;
  c.paced = false;
  std::atomic<bool> cleared{false};
  std::atomic<int> late_calls{0};
  std::atomic<int> second{0};
  io.SetRenderCallback([&](int16_t*, size_t) {
    if (cleared.load()) late_calls.fetch_add(1);
  });
  ASSERT_TRUE(io.Start(c));
  WaitBlocks(io, 5);
  io.SetRenderCallback(nullptr);
  cleared.store(true);
  const uint64_t b = io.BlocksDone();
  WaitBlocks(io, b + 5);
  EXPECT_EQ(late_calls.load(), 0);

  io.SetInputCallback([&](const int16_t*, size_t) {
    io.SetInputCallback([&](const int16_t*, size_t) { second.fetch_add(1); });
  });
  WaitBlocks(io, io.BlocksDone() + 5);
  io.Stop();
  EXPECT_GT(second.load(), 0);
}

// The block hook holds a free-running stand-in in lockstep with a test's simulated clock.
TEST(AudioIOStandIn, BlockHookSeesEveryBlockInOrder) {
  AudioIOStandIn io;
  AudioIOStandIn::Config c;
  c.paced = false;
  c.block_frames = 160;
  std::vector<uint64_t> seen;
  io.SetBlockHook([&](uint64_t b) {
    if (seen.size() < 50) seen.push_back(b);
  });
  ASSERT_TRUE(io.Start(c));
  WaitBlocks(io, 60);
  io.Stop();
  ASSERT_EQ(seen.size(), 50u);
  for (uint64_t i = 0; i < 50; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(io.BlockFrames(), 160u);
}

}  // namespace
}  // namespace hx::platform
