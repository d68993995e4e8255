#pragma once
// hx::CallForwardingStatus: one user's call-forwarding settings as they travel in the extended
// statuses of presence. The meaning of the types above 0 and the unit of the timeout are the
// server's; the client stores and forwards them unchanged. A plain value.

#include <cstdint>
#include <string>

namespace hx {

// 0: no forwarding; 1 and 2: the two kinds of forwarding the server distinguishes.
enum CallForwardingType : int32_t { kCallFwdNone = 0 };

struct CallForwardingStatus {
  std::string timeoutPeerId;  // "fwd_timeout_call_id"
  std::string fwdPeerId;      // "fwd_call_id"
  uint32_t timeout = 0;       // "fwd_timeout"
  CallForwardingType type = kCallFwdNone;  // "fwd_type"

  void clear() { *this = CallForwardingStatus(); }
  void setForwarding(const std::string& id, CallForwardingType forwardType) {
    fwdPeerId = id;
    type = forwardType;
  }
  void setFwdTimeout(const std::string& id, uint32_t timeoutValue) {
    timeoutPeerId = id;
    timeout = timeoutValue;
  }
  bool operator==(const CallForwardingStatus& other) const = default;
};

}  // namespace hx
