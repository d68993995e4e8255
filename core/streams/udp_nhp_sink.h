#pragma once
// HX_NhpDataSink: where a UDP receive connection delivers each NHP packet it accepted (the
// receive handler). Called on the network loop thread.

#include <cstddef>
#include <cstdint>

class HX_NhpDataSink {
 public:
  virtual ~HX_NhpDataSink() = default;
  // One packet of `size` bytes (still enciphered when the stream has a key) out of a datagram of
  // `datagramSize` bytes; the receive queue's verdict.
  virtual bool onNHPDataReceived(const uint8_t* packet, size_t size, size_t datagramSize) = 0;
};
