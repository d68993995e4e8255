#pragma once
// hx::network::rate: the process-wide table of send and receive rates (kbit/s) by network type
// 0..13. Entry 11 is the custom rate the platform sets (the network type reads 11 while the
// platform's flag bit is set), entry 12 the limit of a private call (its receive rate set from the
// peer's capabilities), entry 13 the limit of a group conference.
//
// Thread safety: the platform's thread and the network loop write entries while the media path
// reads them, so each rate is an atomic of its own. A pair written by one thread may be seen half
// old, half new by a reader in between; readers take each rate on its own.

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace hx::network {

struct RateEntry {
  std::atomic<uint32_t> send;
  std::atomic<uint32_t> receive;
  // Both rates; each is one atomic store.
  void set(uint32_t sendRate, uint32_t receiveRate) {
    send.store(sendRate, std::memory_order_relaxed);
    receive.store(receiveRate, std::memory_order_relaxed);
  }
};

inline constexpr size_t kRateCount = 14;
inline constexpr size_t kCustomRate = 11;
inline constexpr size_t kPrivateCallRate = 12;
inline constexpr size_t kGroupConferenceRate = 13;

extern RateEntry rate[kRateCount];

// Puts every entry back to its initial value (tests).
void ResetRates();

}  // namespace hx::network
