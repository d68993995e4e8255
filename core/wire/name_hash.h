#pragma once
// The 32-bit hash of a name that keys the table of service managers, the keys of the
// zero-handshake ping and the primary fields the protocol probe recognises. Both peers compute it
// alike: start with 0; for each byte c (unsigned): x = h + c, h = x - rotl32(x, 13), modulo 2^32.

#include <cstdint>

namespace hx {

// The hash of a NUL-terminated name; 0 for a null or empty name.
uint32_t NameHash(const char* name);

}  // namespace hx
