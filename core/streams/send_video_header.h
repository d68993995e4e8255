#pragma once
// HX_SendNhpVideoHeader: what the send stream tells every send queue about one encoded video frame
// besides its bytes. The frame input itself starts with the 6-byte prefix (counter, frame type,
// u32 timestamp); this header repeats the counter, type and timestamp and adds the interval since
// the previous frame and the layer descriptor.
//
// A plain value; the descriptor bytes belong to the caller and must stay live for the call that
// takes the header.

#include <cstdint>

struct HX_SendNhpVideoHeader {
  uint8_t frameCounter = 0;
  uint8_t frameType = 0;  // 0 key frame
  uint32_t timestamp = 0;
  uint32_t frameInterval = 0;  // ms since the previous frame, at most 1000
  const uint8_t* layerDescriptor = nullptr;
  int layerDescriptorLength = 0;
};
