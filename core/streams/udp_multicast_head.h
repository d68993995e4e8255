#pragma once
// The 14-byte head in front of every media datagram that the server's multicast relay carries,
// little-endian:
//   0  u16  payload length: the bytes after the head (the NHP packet, enciphered when the stream
//           has a key)
//   2  u32  send tick (low 32 bits of the millisecond tick)
//   6  u8   track of the packet: 1 audio, 2 video, 5 data, 254 command
//   7  u8   checksum of the payload (HX_StreamCksum; 172 for an empty payload)
//   8  u8   head length, 14 on send; a receiver skips whatever length the head gives
//   9  u8   1
//  10  u32  UDP key: the relay target's key, rewritten by the relay per receiver
// Bytes 0 to 7 are laid out as HX_StreamFrameHead. Direct streams send the NHP packet bare.
//
// Plain functions without state; any thread.

#include <cstddef>
#include <cstdint>

namespace hx::streams {

// The UDP track of an NHP packet type: 1 -> 1, 2 -> 2, 3 -> 5, any other -> 254.
uint8_t convertTrackUdp(unsigned type);

}  // namespace hx::streams

struct HX_UdpMulticastHead {
  static constexpr size_t kSize = 14;
  // Largest payload length a receiver takes.
  static constexpr size_t kMaxPayload = 65500;

  // Writes the head for `length` payload bytes at `payload` (null only when length is 0) to
  // `out`, which holds kSize bytes.
  static void Write(uint8_t* out, const uint8_t* payload, uint16_t length, uint32_t tick,
                    uint8_t track, uint32_t key);
  static uint32_t ReadKey(const uint8_t* head);
};

// Checks one received datagram of `size` bytes against the head rules and `key`. True with the
// payload's offset and length when the datagram is media for this receiver; false to drop it:
// under 14 bytes, a head length below 14, a payload length above 65500, fewer bytes than head and
// payload claim, a wrong checksum, or another key.
bool HX_CheckMulticastDatagram(const uint8_t* datagram, size_t size, uint32_t key, size_t& offset,
                               size_t& length);
