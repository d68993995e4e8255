// Reads stream handshake requests and responses from a buffer of exactly the record's announced
// length, with the checksums as received and made right. A request that reads must form back
// into the same fields; a mask that reads must survive the track-set conversions.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/streams/stream_handshake.h"

namespace {

void CheckMask(const uint8_t* mask) {
  uint8_t table[HX_TrackTableSize];
  uint8_t list[HX_TrackTableSize];
  uint8_t back[HX_TrackMaskSize];
  const unsigned count = HX_GetFTracks(table, mask);
  if (HX_GetTracks(list, table) != count || HX_NumberMTracks(mask) != count) std::abort();
  HX_SetMTracks(back, table);
  uint8_t crossed[HX_TrackMaskSize];
  std::memcpy(crossed, mask, sizeof crossed);
  if (HX_CrossingMTracks(crossed, back) != count) std::abort();
}

void ReadCopy(const uint8_t* data, size_t length) {
  auto* record = static_cast<HX_ZeroHandshakeFixedPart*>(std::malloc(length));
  std::memcpy(record, data, length);
  int32_t type = 0;
  const char *conference, *id, *peer, *name;
  const uint8_t* mask = nullptr;
  if (HX_GetStreamHandshakeFields(record, type, conference, id, peer, name, mask)) {
    if (mask != nullptr) CheckMask(mask);
    const std::string texts[4] = {conference, id, peer, name};
    HX_ZeroHandshakeFixedPart* formed = nullptr;
    // The reader reports the role the reading side takes: the sender's role is the other one.
    const int32_t sender_type =
        type == HX_StreamClient_Sender ? HX_StreamClient_Receiver : HX_StreamClient_Sender;
    if (HX_FormStreamHandshake(&formed, texts[3].c_str(), sender_type, texts[0].c_str(),
                               texts[1].c_str(), texts[2].c_str(), mask)) {
      int32_t type2 = 0;
      const char *c2, *i2, *p2, *n2;
      const uint8_t* m2 = nullptr;
      if (!HX_GetStreamHandshakeFields(formed, type2, c2, i2, p2, n2, m2) || type2 != type ||
          texts[0] != c2 || texts[1] != i2 || texts[2] != p2 || texts[3] != n2) {
        std::abort();
      }
      std::free(formed);
    }
  }
  if (HX_GetStreamHandshakeResponseFields(record, mask) && mask != nullptr) CheckMask(mask);
  std::free(record);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kZeroHandshakeHeadSize) return 0;
  const size_t announced = reinterpret_cast<const HX_ZeroHandshakeFixedPart*>(data)->RecordLength();
  if (size < announced) return 0;
  ReadCopy(data, announced);
  return 0;
}
