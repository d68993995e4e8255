// Packets per second through the UDP send queue, a lossless hand-off and the UDP receive queue,
// with reassembly, for a realistic mix: video frames of 1 to 20 packets of 1400 bytes and an
// audio frame of 80 bytes beside each. The baseline, timed in the same iterations: the same
// packets' bytes copied into and out of a plain queue of byte vectors. "pkts/s" is the queues'
// rate, "base pkts/s" the baseline's and "ratio" the first over the second.

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

#include "core/streams/nhp_receive_queue.h"
#include "core/streams/nhp_send_queue.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

void BM_NhpQueuesVsBaseline(benchmark::State& state) {
  int64_t now = 0;
  auto tick = [&now] { return now; };
  HX_SendFrameQueueNhp send(nullptr, 1400, 0, 0, tick);
  HX_ReceiveFrameQueueNhp receive(false, 0, false, tick);
  Bytes out(1 << 20);
  std::deque<Bytes> plain;
  Bytes video(6 + 20 * 1400), audio(4 + 80);
  for (size_t i = 0; i < video.size(); ++i) video[i] = static_cast<uint8_t>(i * 13);
  uint8_t counter = 0;
  int packets_in_frame = 1;
  double queues = 0, baseline = 0;
  uint64_t packets = 0, delivered = 0;
  for (auto _ : state) {
    now += 20;
    const uint32_t ts = static_cast<uint32_t>(now);
    video[0] = counter++;
    video[1] = counter == 1 ? 0 : 1;
    std::memcpy(&video[2], &ts, 4);
    std::memcpy(&audio[0], &ts, 4);
    const size_t video_size = 6 + packets_in_frame * 1400;
    packets_in_frame = packets_in_frame % 20 + 1;

    Clock::time_point start = Clock::now();
    send.AddFrame(2, video_size, video.data(), nullptr, 3);
    send.AddFrame(1, audio.size(), audio.data(), nullptr, 2);
    const uint8_t* data;
    size_t size;
    int type, flag;
    uint64_t round = 0;
    while (send.GetFrame(data, size, type, flag)) {
      receive.Add(data, size);
      send.MarkFirstAsSend();
      ++round;
    }
    size_t length;
    while (receive.Get(out.data(), out.size(), length, type)) ++delivered;
    queues += Seconds(start);

    // The same packets' bytes into and out of a plain queue.
    start = Clock::now();
    for (size_t at = 6; at < video_size; at += 1400) {
      plain.emplace_back(video.data() + at, video.data() + std::min(at + 1400, video_size));
    }
    plain.emplace_back(audio.begin(), audio.end());
    while (!plain.empty()) {
      std::memcpy(out.data(), plain.front().data(), plain.front().size());
      plain.pop_front();
    }
    baseline += Seconds(start);
    benchmark::DoNotOptimize(out.data());
    packets += round;
  }
  state.counters["pkts/s"] = packets / queues;
  state.counters["base pkts/s"] = packets / baseline;
  state.counters["ratio"] = baseline / queues;
  state.counters["frames"] = static_cast<double>(delivered);
}
BENCHMARK(BM_NhpQueuesVsBaseline);

}  // namespace
