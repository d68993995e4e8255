#pragma once
// The contacts subsystem's services and stores as the client object creates them: the presence
// service "PRESENCE", the address-book service "ABOOK" with its per-user cache, the contact groups
// and the phone book.

#include "core/contacts/addressbook/contacts_manager.h"
#include "core/contacts/cache/address_book_cache.h"
#include "core/contacts/groups/groups_manager.h"
#include "core/contacts/phones/phones_storage.h"
#include "core/contacts/presence/presence_manager.h"
