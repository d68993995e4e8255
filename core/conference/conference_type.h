#pragma once
// HX_Conference_Type: the kind of a call or conference. Call links and the servers list carry it;
// the conference service gives the other values their meaning.

#include <cstdint>

using HX_Conference_Type = int32_t;

namespace hx::conference {

inline constexpr HX_Conference_Type kPrivateCall = 0;
inline constexpr HX_Conference_Type kGroupConference = 5;

}  // namespace hx::conference
