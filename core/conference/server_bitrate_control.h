#pragma once
// conference::ServerBitrateControl: a restriction of this client's send bit rate, as the server's
// "SendCommand" notice or a peer's RestrictBitrate stream command gives it. Eight signed 32-bit
// fields; 0 means "no restriction" for that field. The values come from the network and are not
// trusted: whoever applies them checks signs and ranges (HXStreamBitrate::ProcessRestrictBitrate).
//
// A plain value; not thread-safe.

#include <cstdint>

namespace conference {

struct ServerBitrateControl {
  int32_t baseLimit = 0;             // base-layer conference limit, kbit/s
  int32_t baseMaxLimit = 0;          // base-layer maximum conference limit, kbit/s
  int32_t videoLimit = 0;            // conference camera video limit, kbit/s
  int32_t dsLimit = 0;               // conference desktop-sharing limit, kbit/s
  int32_t confLimit = 0;             // conference limit, kbit/s
  int32_t fpsLimit = 0;              // frame-rate limit, whole frames per second
  int32_t videoResolutionLimit = 0;  // camera picture-size limit, macroblocks per frame
  int32_t dsResolutionLimit = 0;     // desktop-sharing picture-size limit, macroblocks per frame

  // One rate for everything: (v, v, v, v, v, 0, 0, 0). The server's "RestrictBtr" and a peer's
  // RestrictBitrate command (whose unsigned value is read as signed, so that values from 2^31 on
  // come out negative and are refused where they are applied).
  static ServerBitrateControl Uniform(int32_t value);
  // A scalable restriction, "RestrictBtrSVC": the high 32 bits limit the four layer fields, the
  // low 32 bits the conference limit: (h, h, h, h, l, 0, 0, 0).
  static ServerBitrateControl Svc(uint64_t value);

  // True when at least one field is not 0.
  bool HasRestriction() const;

  bool operator==(const ServerBitrateControl&) const = default;
};

}  // namespace conference
