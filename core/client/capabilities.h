#pragma once
// HXCapabilites, the client's own capability record, and HX_BestMediaFormat, the choice of media
// formats between the client and its peers. So far both are the least the client object needs:
// an empty record (every value 0, every list empty) answers "no capabilities yet", and the choice
// of formats answers false. The call flow fills them in.
//
// Thread safety: plain values; HX_BestMediaFormat holds no state yet.

#include <cstdint>
#include <string>
#include <vector>

#include "core/media/video/bitstream/media_probe.h"

struct HXCapabilites {
  uint32_t frameWidth = 0;
  uint32_t frameHeight = 0;
  uint32_t frameRate = 0;
  uint32_t sendRate = 0;
  uint32_t receiveRate = 0;
  uint32_t videoCodec = 0;  // codec tag, 0: none
  uint32_t audioCodec = 0;  // codec tag, 0: none
  std::vector<uint32_t> videoCodecs;
  std::vector<uint32_t> audioCodecs;
  uint32_t level = 0;
  uint32_t screenWidthLimit = 0;
  uint32_t screenHeightLimit = 0;

  // True when nothing is filled in.
  bool empty() const {
    return frameWidth == 0 && frameHeight == 0 && frameRate == 0 && videoCodec == 0 &&
           audioCodec == 0 && videoCodecs.empty() && audioCodecs.empty() && level == 0;
  }
};

class HX_BestMediaFormat {
 public:
  HX_BestMediaFormat() = default;
  virtual ~HX_BestMediaFormat() = default;
  HX_BestMediaFormat(const HX_BestMediaFormat&) = delete;
  HX_BestMediaFormat& operator=(const HX_BestMediaFormat&) = delete;

  // Chooses the formats for a conference of `type` and `subType` with the own and the peer's
  // capabilities. False: no choice can be made yet.
  bool Choose(int32_t type, int32_t subType, const HXCapabilites& own, const HXCapabilites& peer) {
    (void)type;
    (void)subType;
    (void)own;
    (void)peer;
    return false;
  }

  // The codec and picture size a received key frame announces (see HX_ProbeMediaFormat): 0 found,
  // -1 nothing recognised, -2 a codec recognised without a size.
  static int ParseMediaFormat(const uint8_t* bitstream, int length, int& width, int& height,
                              unsigned& fourcc, int& frames) {
    return HX_ProbeMediaFormat(bitstream, length, width, height, fourcc, frames);
  }
};
