#pragma once
// Domain names in their three forms: presentation text ("www.example.com", with "\." and "\DDD"
// escapes), the uncompressed wire form (length-prefixed labels ending in the root label 0), and
// the wire form inside a message, where a name may end in a compression pointer (two bytes, top
// bits 11, pointing at an earlier name of the message).
//
// Labels are at most 63 bytes, names at most 255 bytes in wire form. Besides ordinary labels, the
// bit-string label (type byte 0x41, a bit count with 0 meaning 256, then the bits) is understood;
// its text is "\[x<hex digits>/<bit count>]".
//
// Every routine answers -1 on failure and writes nothing past the sizes it is given. The routines
// keep no state and may be called from any thread.

#include <cstddef>
#include <cstdint>

namespace hx::dns {

inline constexpr size_t NS_MAXDNAME = 1025;  // longest presentation text, with its NUL
inline constexpr size_t NS_MAXCDNAME = 255;  // longest wire form
inline constexpr size_t NS_MAXLABEL = 63;

// Wire form to text. `src` must hold a complete uncompressed name (as ns_name_pton or
// ns_name_unpack write it). The root name gives ".", other names have no trailing dot. Returns
// the text length (without the NUL).
int ns_name_ntop(const uint8_t* src, char* dst, size_t dstsiz);

// Text to uncompressed wire form. Returns 1 when the text ended in a dot (fully qualified), 0
// when it did not, -1 on a bad escape, an empty label, a label over 63 bytes, a name over 255
// bytes or a too small `dst`.
int ns_name_pton(const char* src, uint8_t* dst, size_t dstsiz);

// Reads the possibly compressed name at `src` inside the message [msg, eom) into uncompressed
// wire form. Returns the number of bytes the name occupies at `src` (a compression pointer counts
// its two bytes). Pointers must point inside the message; a chain is followed only while the
// bytes examined stay below the message length, which ends pointer loops.
int ns_name_unpack(const uint8_t* msg, const uint8_t* eom, const uint8_t* src, uint8_t* dst,
                   size_t dstsiz);

// Writes the uncompressed name `src` at `dst`, compressing it against the names already written
// into the message. `dnptrs` is a table of name positions: dnptrs[0] is the message start, the
// positions follow, ending with null; `lastdnptr` is the end of the table. The new name's
// position is added when there is room and it lies within the first 16 KiB of the message. With a
// null `dnptrs` nothing is compressed. Returns the bytes written.
int ns_name_pack(const uint8_t* src, uint8_t* dst, size_t dstsiz, const uint8_t** dnptrs,
                 const uint8_t** lastdnptr);

// ns_name_unpack followed by ns_name_ntop. Returns the bytes the name occupies at `src`.
int ns_name_uncompress(const uint8_t* msg, const uint8_t* eom, const uint8_t* src, char* dst,
                       size_t dstsiz);

// ns_name_pton followed by ns_name_pack. Returns the bytes written.
int ns_name_compress(const char* src, uint8_t* dst, size_t dstsiz, const uint8_t** dnptrs,
                     const uint8_t** lastdnptr);

}  // namespace hx::dns
