#include "testing/sim_net/sim_channel.h"

#include <algorithm>

namespace hx::testing {

SimChannel::SimChannel(const SimChannelConfig& config) { Configure(config); }

void SimChannel::Configure(const SimChannelConfig& config) {
  config_ = config;
  random_.seed(config.seed);
}

void SimChannel::Send(const uint8_t* bytes, size_t size, int64_t now) {
  ++offered_;
  // Loss first: a lost datagram never occupies the link's buffer.
  if (config_.burstEnter > 0) {
    bad_ = bad_ ? uniform_(random_) >= config_.burstLeave : uniform_(random_) < config_.burstEnter;
  }
  const double p = bad_ ? config_.burstLoss : config_.loss;
  if (p > 0 && uniform_(random_) < p) {
    ++lost_;
    return;
  }
  double departure = static_cast<double>(now);
  if (config_.capacityKbps > 0) {
    const double start = std::max(busyUntil_, departure);
    // Bytes still waiting in the link's buffer at `now`.
    const double waiting = (start - departure) * config_.capacityKbps / 8.0;
    if (waiting + size > config_.bufferBytes) {
      ++tailDropped_;
      return;
    }
    busyUntil_ = start + size * 8.0 / config_.capacityKbps;
    departure = busyUntil_;
  }
  Schedule(bytes, size, static_cast<int64_t>(departure));
  if (config_.duplicate > 0 && uniform_(random_) < config_.duplicate) {
    Schedule(bytes, size, static_cast<int64_t>(departure));
  }
}

void SimChannel::Schedule(const uint8_t* bytes, size_t size, int64_t departure) {
  int64_t arrival = departure + config_.delayMs;
  if (config_.jitterMs > 0) {
    // Jitter is queueing along the path: it varies the delay but keeps the order, as a FIFO
    // does. Reordering is its own knob below.
    arrival += static_cast<int64_t>(uniform_(random_) * (config_.jitterMs + 1));
    arrival = std::max(arrival, lastInOrder_);
    lastInOrder_ = arrival;
  }
  if (config_.reorder > 0 && uniform_(random_) < config_.reorder) {
    arrival += static_cast<int64_t>(uniform_(random_) * (config_.reorderWindowMs + 1));
  }
  inFlight_.push({arrival, order_++, std::vector<uint8_t>(bytes, bytes + size)});
}

void SimChannel::Deliver(int64_t now, const std::function<void(const uint8_t*, size_t)>& deliver) {
  while (!inFlight_.empty() && inFlight_.top().arrival <= now) {
    // Copy out before popping: the callback may send on this channel.
    std::vector<uint8_t> bytes = inFlight_.top().bytes;
    inFlight_.pop();
    ++delivered_;
    deliver(bytes.data(), bytes.size());
  }
}

}  // namespace hx::testing
