#pragma once
// Building DNS query datagrams and reading names out of answers.
//
// A query is a 12-byte header (id, flags, four big-endian counts), one question (name, type,
// class) and, for SRV lookups, an EDNS0 OPT record advertising the UDP payload size we accept.
// The id is written in host byte order and compared in the same order when the answer comes
// back, so its order on the wire carries no meaning.
//
// The routines keep no state of their own: the caller owns an hx_res_state and the buffers.

#include <cstdint>

// Options bits of hx_res_state.
inline constexpr uint32_t HX_RES_RECURSE = 0x40;         // ask the server to recurse
inline constexpr uint32_t HX_RES_USE_DNSSEC = 0x800000;  // set DO in the OPT record

// The per-client resolver state: all zero at creation and after every rebind.
struct hx_res_state {
  uint32_t options = 0;
  uint16_t id = 0;  // the id of the last message built
};

// Builds a query for `dname` (presentation text) of `type` and `klass` into `buf`. Only opcode 0
// (QUERY) is built; `data`, `datalen` and `newrr` are not used. The new message id, drawn from
// the cryptographic random generator and never equal to the last one, is stored into `statp`.
// Returns the message length, or -1 when the buffer is null or too short, the name does not
// encode (a label over 63 bytes, a name over 255 bytes) or no random id could be drawn.
int hx_dns_res_nmkquery(hx_res_state* statp, int op, const char* dname, int klass, int type,
                        const uint8_t* data, int datalen, const uint8_t* newrr, uint8_t* buf,
                        int buflen);

// Appends an EDNS0 OPT record at `n0` advertising `anslen` (at most 65535) as our UDP payload
// size, and counts it in ARCOUNT. Returns the new length, or -1 when the message at `buf` is not
// at least a header long, fewer than 11 bytes remain or `anslen` is negative.
int hx_res_nopt(hx_res_state* statp, int n0, uint8_t* buf, int buflen, int anslen);

// Expands the possibly compressed name at `src` of the message [msg, eom) into presentation text;
// the root name gives "". Returns the bytes the name occupies at `src`, or -1.
int hx_dn_expand(const uint8_t* msg, const uint8_t* eom, const uint8_t* src, char* dst, int dstsiz);
