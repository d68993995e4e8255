// The sink under its three threads: a receiving thread feeds one peer's 40 ms frames with jitter,
// a render thread pulls 256-frame blocks (free-running on a simulated clock, ten seconds of
// audio), and a control thread changes a second source's format and adds and removes a third.
// Built with -DHX_SANITIZE=thread this shows the jitter FIFO and the sink's lock are race-free;
// in every build the buffer must settle near the recommended length.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "core/media/audio/audio_sinc.h"
#include "core/media/audio/audio_test_support.h"

namespace {

TEST(AudioSincThreads, ReceiveRenderAndControlThreads) {
  std::atomic<int64_t> now{1000};
  auto clock = [&now] { return now.load(); };
  HX_AudioSinc sink(nullptr);
  sink.SetResamplerFactory(std::make_shared<HX_AudioResamplerFactory>());
  HX_MediaFormat f16, f48;
  f16.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
  f48.SetAudio(48000, HX_MediaFormat::kAudioOpus, 40);
  HX_AudioSource fed, moving, coming;
  for (HX_AudioSource* s : {&fed, &moving, &coming}) {
    s->SetClock(clock);
    ASSERT_TRUE(s->Init(&f16, nullptr));
  }
  ASSERT_TRUE(sink.AddSource(&fed));
  ASSERT_TRUE(sink.AddSource(&moving));
  const auto packets = hx_audio_test::Packets(16000, 50, 12000, 440);

  constexpr int64_t kEnd = 1000 + 10000;
  // The arrival time of the next frame; the render thread does not pass it until it is delivered.
  std::atomic<int64_t> nextArrival{1000};
  std::atomic<bool> done{false};

  std::thread receiver([&] {
    std::mt19937 rng(3);
    for (int k = 0;; ++k) {
      const int64_t due = 1000 + 40 * k + static_cast<int64_t>(rng() % 30);
      nextArrival.store(due);
      while (now.load() < due) {
        if (done.load()) return;
        std::this_thread::yield();
      }
      const auto& p = packets[k % packets.size()];
      fed.AddData(const_cast<char*>(p.data()), static_cast<int>(p.size()));
    }
  });
  std::thread control([&] {
    int round = 0;
    while (!done.load()) {
      sink.ChangeFormatSource(&moving, (round & 1) ? f16 : f48);
      if (round & 1) {
        sink.RemoveSource(&coming);
      } else {
        sink.AddSource(&coming);
      }
      sink.ChangeFormatSource(&fed, f16);  // the same format: nothing changes
      ++round;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  });
  std::vector<int16_t> block(256);
  while (now.load() < kEnd) {
    ASSERT_TRUE(sink.GetAudio(block.data(), 512, 16000));
    // Time moves on one block; the frames due by then arrive before the next block is pulled.
    const int64_t next = now.load() + 16;
    now.store(next);
    while (nextArrival.load() <= next) std::this_thread::yield();
  }
  done.store(true);
  receiver.join();
  control.join();
  sink.RemoveSource(&coming);
  sink.RemoveSource(&moving);
  sink.RemoveSource(&fed);

  // Arrivals 40 ms apart with up to 29 ms of jitter: the recommendation lies near 70 ms, and the
  // drop rule keeps the buffer within a frame or two of one frame plus that.
  const long recommended = static_cast<long>(fed.GetEstimator()->GetRTime());
  EXPECT_GT(recommended, 40);
  EXPECT_LT(recommended, 100);
  EXPECT_LE(fed.GetCurrBuffDurr(), static_cast<unsigned>(40 + recommended + 80));
}

}  // namespace
