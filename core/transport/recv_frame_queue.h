#pragma once
// HX_RecvFrameQueueTCPv1: the receive buffer of plain transport messages, 2 MiB with the
// buffer's one-eighth slack (2,359,296 bytes of storage). Messages are cut and dispatched in
// place. Not thread-safe: the network loop thread owns it.

#include <cstdint>

#include "core/base/packet_buffer.h"

class HX_RecvFrameQueueTCPv1 : public HXPacketBuffer {
 public:
  static constexpr int64_t kNominalSize = 2 * 1024 * 1024;

  HX_RecvFrameQueueTCPv1() : HXPacketBuffer(kNominalSize) {}

  // `bytes` when the `length` bytes there hold a whole message (its fixed part says how long it
  // is), else null; null as well for fewer than the 16 bytes of a fixed part.
  static const uint8_t* AssemblePacket(const uint8_t* bytes, uint64_t length);
};
