#pragma once
// Messages as the fake server sends them: service messages, replies to a client's request and
// transport control messages. A sequence number of 0 is replaced by the connection's own
// counter when the message goes out.

#include <string>

#include "core/base/container.h"
#include "testing/fake_server/message_frame.h"
#include "testing/fake_server/server_journal.h"

namespace hx::testing {

// A request from `src_service` to the client's `dst_service` carrying `body`.
MessageFrame ServiceMessage(const std::string& src_service, const std::string& dst_service,
                            const HX_Container& body);

// The reply to a client's request: the same sequence number, the names mirrored (source and
// destination swapped), reply flags, and `body`.
MessageFrame ReplyTo(const ReceivedMessage& request, const HX_Container& body);

// A transport control message: `code` ('d' disconnects the client, 'p' answers a ping), a body
// of one NUL byte, time limit 5000.
MessageFrame ControlMessage(char code, uint8_t flags = kRequestFlags, uint32_t sequence = 0);

}  // namespace hx::testing
