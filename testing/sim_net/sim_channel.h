#pragma once
// A simulated datagram channel on a simulated millisecond clock, for tests and benchmarks of the
// stream queues: seeded random loss, burst loss (a two-state chain), reordering within a window,
// delay with jitter, duplication, and a capacity with a drop-tail buffer. One object carries one
// direction; a SimDuplex pairs two, the second being the reverse path.
//
// Not thread-safe: one test thread drives it.

#include <cstdint>
#include <functional>
#include <queue>
#include <random>
#include <vector>

namespace hx::testing {

// The simulated clock: starts where the test says (0 by default, as a fresh process) and moves
// only when told.
struct SimClock {
  int64_t now = 0;
  std::function<int64_t()> Source() {
    return [this] { return now; };
  }
};

struct SimChannelConfig {
  uint32_t seed = 1;
  double loss = 0;          // independent loss probability
  double burstEnter = 0;    // probability of entering the bad state per packet
  double burstLeave = 0.5;  // probability of leaving it per packet
  double burstLoss = 1.0;   // loss probability in the bad state
  int delayMs = 10;         // fixed one-way delay
  int jitterMs = 0;         // uniform extra delay 0..jitter, order kept
  double reorder = 0;       // probability of an extra delay up to reorderWindowMs
  int reorderWindowMs = 0;
  double duplicate = 0;       // probability of a second copy
  uint32_t capacityKbps = 0;  // 0: unlimited (1 kbit = 1000 bits here, as links count)
  uint32_t bufferBytes = 64 * 1024;
};

class SimChannel {
 public:
  explicit SimChannel(const SimChannelConfig& config = {});
  void Configure(const SimChannelConfig& config);
  const SimChannelConfig& Config() const { return config_; }

  // Offers one datagram at `now`; it may be lost, delayed, duplicated or dropped at the tail.
  void Send(const uint8_t* bytes, size_t size, int64_t now);
  // Hands every datagram due by `now`, in arrival order, to `deliver`.
  void Deliver(int64_t now, const std::function<void(const uint8_t*, size_t)>& deliver);

  uint64_t Offered() const { return offered_; }
  uint64_t Lost() const { return lost_; }
  uint64_t TailDropped() const { return tailDropped_; }
  uint64_t Delivered() const { return delivered_; }

 private:
  struct InFlight {
    int64_t arrival;
    uint64_t order;
    std::vector<uint8_t> bytes;
    bool operator>(const InFlight& other) const {
      return arrival != other.arrival ? arrival > other.arrival : order > other.order;
    }
  };
  void Schedule(const uint8_t* bytes, size_t size, int64_t departure);

  SimChannelConfig config_;
  std::mt19937 random_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
  bool bad_ = false;
  double busyUntil_ = 0;
  int64_t lastInOrder_ = 0;  // when the link has sent what it holds (ms, fractional)
  std::priority_queue<InFlight, std::vector<InFlight>, std::greater<InFlight>> inFlight_;
  uint64_t order_ = 0;
  uint64_t offered_ = 0, lost_ = 0, tailDropped_ = 0, delivered_ = 0;
};

struct SimDuplex {
  SimChannel forward;
  SimChannel reverse;
};

}  // namespace hx::testing
