#pragma once
// The address books of the address-book service "ABOOK", by the id that travels in
// "AddressBook" both ways, and one contact of a contact-list answer as the service hands it on.

#include <cstdint>
#include <string>

#include "core/contacts/stores/contact.h"

enum HX_AddressBook : int32_t {
  HX_AB_CONTACTS = 1,       // the user's contact list
  HX_AB_BANS = 2,           // the ban list
  HX_AB_SEARCH = 6,         // person search
  HX_AB_DETAILS = 8,        // person details
  HX_AB_PICTURES = 11,      // user pictures
  HX_AB_GROUPS = 15,        // groups
  HX_AB_LSTATUSES = 16,     // user-set statuses
  HX_AB_EXTERNAL = 17,      // the external address book
  HX_AB_OWN_EXTERNAL = 18,  // the user's own external contacts
  HX_AB_PHONES = 19,        // phone numbers
  HX_AB_CALL_HISTORY = 21,  // call history
};

namespace hx::contacts {

// One contact of a contact-list answer. The texts point into the message it came from and live
// as long as it does.
struct contactMetaData {
  const char* userName = nullptr;  // "UserName", or null
  const char* callId = nullptr;    // "CallId"
  std::string displayName;         // the name as the contact store keeps it
  HX_UserPresence_Status status = USER_STATUS_UNDEF;
  uint32_t flags = 0;  // 0, or hx::Contact::NOT_EDITABLE
};

}  // namespace hx::contacts
