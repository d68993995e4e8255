#include "core/contacts/stores/contact.h"

#include <utility>

namespace hx {

namespace {

int32_t Clamp(HX_UserPresence_Status status) { return status >= 2 ? 1 : status; }

}  // namespace

Contact::Contact(const char* peerId, const char* displayName, HX_UserPresence_Status status,
                 uint32_t flags)
    : peerId(peerId ? peerId : ""),
      displayName(displayName ? displayName : ""),
      status(status),
      flags(flags) {}

Contact::Contact(std::string peerId, std::string displayName, HX_UserPresence_Status status,
                 uint32_t flags)
    : peerId(std::move(peerId)), displayName(std::move(displayName)), status(status), flags(flags) {}

Contact::Contact(const Contact& contact, HX_UserPresence_Status status) : Contact(contact) {
  this->status = status;
}

bool Contact::operator<(const Contact& other) const {
  const int32_t mine = Clamp(status);
  const int32_t theirs = Clamp(other.status);
  if (mine != theirs) return mine > theirs;
  // std::string compares as unsigned bytes, the shorter prefix first.
  const int byName = displayName.compare(other.displayName);
  if (byName != 0) return byName < 0;
  return peerId.compare(other.peerId) < 0;
}

}  // namespace hx
