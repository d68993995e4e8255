#include "core/transport/recv_frame_queue.h"

#include "core/wire/fixed_part_message.h"

const uint8_t* HX_RecvFrameQueueTCPv1::AssemblePacket(const uint8_t* bytes, uint64_t length) {
  if (bytes == nullptr || length < sizeof(HX_FixedPartMessage)) return nullptr;
  const auto* fixed = reinterpret_cast<const HX_FixedPartMessage*>(bytes);
  return fixed->MessageLength() <= length ? bytes : nullptr;
}
