#pragma once
// The transport handshake: the client's request and the server's reply, both zero-handshake records
// with the primary field "_HX_TRANSPORT_".
//
// Request body: client id (length byte, text, NUL; at most 255), second name (likewise; at most
// 64), an 8-bit value, the keep-alive flag. Its version is 9, plus 16 when a secure connection is
// asked for.
// Reply body: result code, idle time-out (u16), two 8-bit values, then optionally the first name,
// the second name (the client id the server assigns) and the keep-alive flag. Version bit 3 says
// that the names are present, bit 4 that the server accepts a secure connection.

#include <cstdint>

#include "core/wire/zero_handshake.h"

// A new request record from malloc (the caller frees it), or null when the client id has more
// than 255 characters, the second name more than 64, or memory runs out. Null strings count as
// empty.
HX_ZeroHandshakeFixedPart* HX_FormTransportHandshake(const char* clientId, const char* secondName,
                                                     uint8_t value, bool secureRequested,
                                                     bool keepAlive);

// Parses a reply record, which must hold the whole record its head announces. True when it is
// well formed; the names then point into the record (both null unless version bit 3 is set).
// On false the out values may be partly written.
bool HX_TransformTransportReplyHandshake(const HX_ZeroHandshakeFixedPart* reply, uint8_t& result,
                                         uint16_t& idleTimeout, uint8_t& value1, uint8_t& value2,
                                         const char*& firstName, const char*& secondName,
                                         bool& secure, bool& keepAlive);

// The client supports no keep-alive mode: a reply that sets the keep-alive flag fails the handshake.
bool HX_GetKeepAliveSupport();
