#include "core/conference/server_bitrate_control.h"

namespace conference {

ServerBitrateControl ServerBitrateControl::Uniform(int32_t value) {
  ServerBitrateControl control;
  control.baseLimit = control.baseMaxLimit = control.videoLimit = control.dsLimit =
      control.confLimit = value;
  return control;
}

ServerBitrateControl ServerBitrateControl::Svc(uint64_t value) {
  // C++20 conversions to a signed type are modular: the bit patterns are kept.
  const auto high = static_cast<int32_t>(static_cast<uint32_t>(value >> 32));
  const auto low = static_cast<int32_t>(static_cast<uint32_t>(value));
  ServerBitrateControl control;
  control.baseLimit = control.baseMaxLimit = control.videoLimit = control.dsLimit = high;
  control.confLimit = low;
  return control;
}

bool ServerBitrateControl::HasRestriction() const {
  return baseLimit != 0 || baseMaxLimit != 0 || videoLimit != 0 || dsLimit != 0 || confLimit != 0 ||
         fpsLimit != 0 || videoResolutionLimit != 0 || dsResolutionLimit != 0;
}

}  // namespace conference
