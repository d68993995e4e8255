#pragma once
// hx::Contact: one contact of the user's contact list, shared by the contact store, the
// address-book cache and the SDK bridge. A plain value; not thread-safe by itself.
//
// HX_UserPresence_Status: the presence status of a user (32-bit signed, the server's values).

#include <cstdint>
#include <string>

enum HX_UserPresence_Status : int32_t {
  USER_STATUS_UNDEF = -127,  // not known
  USER_STATUS_UNKNOWN = -1,
  USER_LOGOFF = 0,  // "Offline"
  USER_AVAIL = 1,   // "Online"
  USER_BUSY = 2,
  USER_PUBLIC = 3,
  USER_VIP_PUBLIC = 4,
  USER_MULTIHOST = 5,
};

namespace hx {

class Contact {
 public:
  // The server marked the contact as not editable by the user; no other bit is defined.
  static constexpr uint32_t NOT_EDITABLE = 1;

  // Null texts become "".
  Contact(const char* peerId, const char* displayName, HX_UserPresence_Status status,
          uint32_t flags);
  Contact(std::string peerId, std::string displayName, HX_UserPresence_Status status,
          uint32_t flags);
  // A copy of `contact` with another status.
  Contact(const Contact& contact, HX_UserPresence_Status status);
  Contact(const Contact&) = default;
  Contact(Contact&&) = default;
  Contact& operator=(const Contact&) = default;
  Contact& operator=(Contact&&) = default;

  // Display order: online contacts (status 1 and above, all counted as 1) first, then 0, then
  // -1, then -127; within one status by display name, then by peer id, both byte by byte
  // (unsigned). A strict weak order: ids that differ only in letter case are different elements
  // here; the contact store keeps them apart itself.
  bool operator<(const Contact& other) const;

  std::string peerId;
  std::string displayName;
  HX_UserPresence_Status status;
  uint32_t flags;
};

}  // namespace hx
