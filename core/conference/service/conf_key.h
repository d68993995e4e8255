#pragma once
// HX_GenKeyByMD5: a fresh media key for a conference ("SymKey" of "Accept"): 16
// bytes from OpenSSL's random generator printed as 32 upper-case hexadecimal
// characters and a NUL.
//
// Thread-safe.

#include <cstddef>

// Writes the key into `out`, which must hold at least 33 bytes; a smaller
// buffer (or null) gets nothing and the answer is false. False as well when the
// random generator fails (then `out` holds an empty text).
bool HX_GenKeyByMD5(char* out, size_t size);
