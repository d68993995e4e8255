#pragma once
// The stream handshake records and the track sets that go with them.
//
// Before media flow over a TCP connection, the connecting side sends a "_HX_STREAMS_" request
// naming the conference, its own stream id, the peer's id and the tracks it wants; the accepting
// side answers with a response carrying the tracks it grants. Both are zero-handshake records
// (core/wire/zero_handshake.h). Request body, offsets within the body:
//   role (1: 0 sender, 1 receiver) | lc, conference, 0 | ls, stream id, 0 | lp, peer id, 0 |
//   ln, name, 0 | track count (1: 255 = all tracks, no mask) | track mask (32, unless count 255)
// Response body: 1 | track count | track mask (32, unless count 255).
//
// Track sets come in three forms. A track list is bytes, each a track number 1-255, no repeats.
// A flag table is 256 bytes, entry i non-zero when track i is present (entry 0 unused). A mask is
// 32 bytes, track i being bit (i mod 8) of byte (i / 8); bit 0 of byte 0 is never counted.
//
// Formers hand out records from malloc (the caller frees them) and leave nothing behind on
// failure. Readers look only at the body length the record's head announces: the caller must hold
// that many bytes. All functions are plain and thread-safe on distinct data.

#include <cstddef>
#include <cstdint>

#include "core/wire/zero_handshake.h"

// Media stream tracks.
inline constexpr uint8_t HX_TrackAudio = 1;
inline constexpr uint8_t HX_TrackVideo = 2;
inline constexpr uint8_t HX_TrackData = 5;
inline constexpr uint8_t HX_TrackCommand = 254;
inline constexpr uint8_t HX_TrackSenderControl = 255;

inline constexpr size_t HX_TrackTableSize = 256;
inline constexpr size_t HX_TrackMaskSize = 32;
// The track count that stands for all tracks; no mask follows it.
inline constexpr uint8_t HX_AllTracks = 255;

// The stream client type: which role a stream plays.
enum HX_StreamClient_Type : int32_t {
  HX_StreamClient_Sender = 1,
  HX_StreamClient_Receiver = 2,
};

// Fills the flag table from `count` tracks of `tracks`. False (table undefined) when the count is 0
// or above 255, or a listed track is 0 or repeated. Without a list the count must be 255 and every
// track 1-255 is set.
bool HX_SetFTracks(uint8_t* ftracks, const uint8_t* tracks, unsigned count);
// Clears the mask and sets the bit of every present track 1-255 of the table.
void HX_SetMTracks(uint8_t* mtracks, const uint8_t* ftracks);
// Clears the table and marks every track 1-255 whose bit is set; returns their number.
unsigned HX_GetFTracks(uint8_t* ftracks, const uint8_t* mtracks);
// Clears 256 bytes of the list and writes the present tracks in ascending order; returns their
// number.
unsigned HX_GetTracks(uint8_t* tracks, const uint8_t* ftracks);
// Keeps in `mtracks` only the tracks present in both masks; returns how many remain.
unsigned HX_CrossingMTracks(uint8_t* mtracks, const uint8_t* other);
// The number of tracks 1-255 in the mask or table.
unsigned HX_NumberMTracks(const uint8_t* mtracks);
unsigned HX_NumberFTracks(const uint8_t* ftracks);
// Byte-for-byte equality of two masks or two tables.
bool HX_CmpMTracks(const uint8_t* a, const uint8_t* b);
bool HX_CmpFTracks(const uint8_t* a, const uint8_t* b);

// Forms a request. `name` must be 1-255 bytes; `type` 1 (sender, role byte 0) or 2 (receiver,
// role byte 1). A null conference, stream id or peer id is written as an empty text; each must be
// shorter than 256 bytes, as its length is one byte. Without a mask the track count is 255; a
// mask that holds all 255 tracks is sent the same way (count 255 says exactly that). False, and
// `record` left null, on any refusal or when memory runs out.
bool HX_FormStreamHandshake(HX_ZeroHandshakeFixedPart** record, const char* name, int32_t type,
                            const char* conference, const char* stream_id, const char* peer_id,
                            const uint8_t* mtracks);
// Forms a response: 22 bytes without a mask, 54 with one.
bool HX_FormStreamHandshakeResponse(HX_ZeroHandshakeFixedPart** record, const uint8_t* mtracks);

// Reads a request. False for a null record, version 0, a body below 10 bytes, a text without its
// NUL where its length says, or a body shorter than the fields it claims. On success `type` is the
// role the reading side takes (2 when the role byte's bit 0 is clear, else 1), the texts and the
// mask point into the record, and the mask is null when the count is 255.
bool HX_GetStreamHandshakeFields(const HX_ZeroHandshakeFixedPart* record, int32_t& type,
                                 const char*& conference, const char*& stream_id,
                                 const char*& peer_id, const char*& name, const uint8_t*& mtracks);
// Reads a response. False for a null record, version 0, a body below 2 bytes, a first body byte
// without bit 0, or a count other than 255 without the 32 mask bytes. The mask is null for 255.
bool HX_GetStreamHandshakeResponseFields(const HX_ZeroHandshakeFixedPart* record,
                                         const uint8_t*& mtracks);

// The checksum byte of an enciphered media frame: 172 plus every 234th byte from the first,
// modulo 256.
uint8_t HX_StreamCksum(const uint8_t* bytes, size_t length);
