#pragma once
// hx::network::rate: the process-wide table of (send, receive) rate pairs in
// kbit/s, indexed by network type. Entry 11 is the custom rate the platform
// sets, entry 12 the limit of a private call (its receive value is the peer's
// "BandWRcv"), entry 13 the limit of a group conference.
//
// Thread-safe: every entry is read and written under one mutex.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace hx::network::rate {

inline constexpr size_t kEntries = 14;
inline constexpr size_t kPrivateCall = 12;
inline constexpr size_t kGroupConference = 13;
// The receive limit of a private call when the peer names none.
inline constexpr int32_t kDefaultPeerReceive = 4096;

// (send, receive) of `index`; (0, 0) past the table.
std::pair<int32_t, int32_t> get(size_t index);
// False past the table.
bool set(size_t index, int32_t send, int32_t receive);
bool setReceive(size_t index, int32_t receive);

}  // namespace hx::network::rate
