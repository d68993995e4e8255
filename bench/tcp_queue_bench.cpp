// Frames per second through the TCP send queue (AddFrame, then GetFrame and NextPart for every
// part, each part copied out as the send handler writes it) for the UDP queue benchmark's mix:
// video frames of 1 to 20 × 1400 bytes and an 80-byte audio frame beside each. The baseline, timed
// in the same iterations: the same frames copied into and out of a plain queue of byte vectors.
// "frames/s" is the queue's rate, "base frames/s" the baseline's and "ratio" the first over the
// second.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

#include "core/streams/tcp_send_queue.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void BM_TcpQueueVsBaseline(benchmark::State& state) {
  int64_t now = 0;
  HX_SendFrameQueueTCPv2 queue([&now] { return now; });
  Bytes out(1 << 20);
  std::deque<Bytes> plain;
  Bytes video(6 + 20 * 1400), audio(4 + 80);
  for (size_t i = 0; i < video.size(); ++i) video[i] = static_cast<uint8_t>(i * 13);
  uint8_t counter = 0;
  int packets_in_frame = 1;
  double queued = 0, baseline = 0;
  uint64_t frames = 0, bytes_out = 0;
  HX_SendNhpVideoHeader header;
  header.frameInterval = 20;
  for (auto _ : state) {
    now += 20;
    video[0] = counter++;
    video[1] = counter == 1 ? 0 : 1;
    header.timestamp = static_cast<uint32_t>(now);
    const size_t video_size = 6 + packets_in_frame * 1400;
    packets_in_frame = packets_in_frame % 20 + 1;

    Clock::time_point start = Clock::now();
    queue.AddFrame(2, video_size, video.data(), &header, 3);
    queue.AddFrame(1, audio.size(), audio.data(), nullptr, 2);
    while (HX_CommitFrameBase* frame = queue.GetFrame()) {
      const uint64_t part = frame->CurrentPartSize();
      std::memcpy(out.data(), frame->Buffer(), part);
      bytes_out += part;
      queue.NextPart(part);
    }
    queued += Seconds(start);

    start = Clock::now();
    plain.emplace_back(video.data(), video.data() + video_size);
    plain.emplace_back(audio.begin(), audio.end());
    while (!plain.empty()) {
      std::memcpy(out.data(), plain.front().data(), plain.front().size());
      plain.pop_front();
    }
    baseline += Seconds(start);
    benchmark::DoNotOptimize(out.data());
    frames += 2;
  }
  state.counters["frames/s"] = frames / queued;
  state.counters["base frames/s"] = frames / baseline;
  state.counters["ratio"] = baseline / queued;
  state.counters["bytes"] = static_cast<double>(bytes_out);
}
BENCHMARK(BM_TcpQueueVsBaseline);

}  // namespace
