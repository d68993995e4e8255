#pragma once
// What the server requires of every message a client sends, beyond the bare format: the header
// fields that a client fills in the same way every time. One place, so that a rule the client
// is found to follow differently is amended here and nowhere else.

#include <string>
#include <vector>

#include "testing/fake_server/server_journal.h"

namespace hx::testing {

// Sorts a decoded client message into a control message or a service message (deserialising the
// body and reading its "Method" into `message`) and appends every broken rule to `problems`.
void CheckClientMessage(ReceivedMessage& message, std::vector<std::string>& problems);

}  // namespace hx::testing
