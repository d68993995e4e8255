#pragma once
// HXCapabilites, the client's own capability record, MakeCaps, its conversion into the
// HX_ClientCaps of conference requests, and HX_BestMediaFormat, the choice of media formats
// between the client and its peers. So far all are the least the client object needs: an empty
// record (every value 0, every list empty) answers "no capabilities yet", MakeCaps carries the
// level, the screen limits and the codec lists over, and the format store keeps what it is told
// (each call recorded in calls()) while the choice of formats answers false. The call flow fills
// them in.
//
// Thread safety: HXCapabilites is a plain value; HX_BestMediaFormat locks its own record.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/base/call_record.h"
#include "core/media/video/bitstream/media_probe.h"
#include "core/wire/client_caps.h"

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

// The capability record of conference requests made from `caps`.
HX_ClientCaps MakeCaps(const HXCapabilites& caps);

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

  // Records the capabilities `peer` advertised (the own login for the client's own).
  void SetPeerMediaFormat(const char* peer, const HX_ClientCaps& caps);
  // Records the format of the conference of `owner` that `login` takes part in, with its SVC mode.
  void SetConfMediaFormat(const char* login, const char* owner, uint32_t svcMode);
  // The capabilities recorded for `peer`, none when none were.
  std::optional<HX_ClientCaps> PeerMediaFormat(const std::string& peer) const;

  hx::CallRecord& calls() { return m_calls; }
  const hx::CallRecord& calls() const { return m_calls; }

  // The codec and picture size a received key frame announces (see HX_ProbeMediaFormat): 0 found,
  // -1 nothing recognised, -2 a codec recognised without a size.
  static int ParseMediaFormat(const uint8_t* bitstream, int length, int& width, int& height,
                              unsigned& fourcc, int& frames) {
    return HX_ProbeMediaFormat(bitstream, length, width, height, fourcc, frames);
  }

 private:
  hx::CallRecord m_calls;
  mutable std::mutex m_mutex;
  std::map<std::string, HX_ClientCaps> m_peers;
};
