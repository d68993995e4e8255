#pragma once
// HX_BandwidthPipe: a leaky bucket that paces the datagrams of a UDP sender. Before a datagram
// goes out the sender asks getDelay how long to wait so that the configured rate is not exceeded;
// after sending it charges the datagram with put. Rate (bit/s) and bucket size (bytes) are both
// non-zero or both 0; 0 disables pacing. Every datagram counts at least `minimum packet` bytes
// plus the per-packet overhead (the headers below the payload).
//
// The clock is the caller's (milliseconds). One that goes back leaves the bucket undrained until
// it passes the last drain time again.
//
// A plain value without a lock: each sender owns one and uses it from its sending thread only.

#include <cstdint>

class HX_BandwidthPipe {
 public:
  HX_BandwidthPipe() = default;
  HX_BandwidthPipe(uint64_t rate, uint64_t bucketSize) { set(rate, bucketSize); }

  // Stores both; when either is 0 both become 0 (disabled). Level and drain time stay.
  void set(uint64_t rate, uint64_t bucketSize);
  void setPacketParam(uint64_t overhead, uint64_t minPacket);
  // Milliseconds to wait before a datagram of `size` payload bytes may go out at `now`; 0 means
  // now. Drains the bucket up to `now`; does not charge the datagram.
  uint64_t getDelay(uint64_t size, uint64_t now);
  // Charges a sent datagram: level += overhead + max(size, minimum packet).
  void put(uint64_t size);
  // Level and drain time back to 0.
  void reset();

  uint64_t rate() const { return m_rate; }
  uint64_t bucketSize() const { return m_bucketSize; }
  uint64_t level() const { return m_level; }
  uint64_t lastDrain() const { return m_lastDrain; }

 private:
  uint64_t m_rate = 0;
  uint64_t m_bucketSize = 0;
  uint64_t m_level = 0;
  uint64_t m_lastDrain = 0;
  uint64_t m_overhead = 0;
  uint64_t m_minPacket = 0;
};
