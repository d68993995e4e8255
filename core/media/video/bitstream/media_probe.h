#pragma once
// The stream probe: the codec and picture size that a received key frame announces, asked of the
// parsers in the order VP8, H.264, H.265, H.263. HX_BestMediaFormat::ParseMediaFormat (the client
// core's name for it) forwards here, so that the media path below the client core can use it.
//
// Thread safety: a pure function; callable from any thread.

#include <cstdint>

// The largest side of a peer's picture that the receive path accepts: what a peer's format may
// announce. A probed size of 0 or above it is not used to size buffers or decoders.
inline constexpr int HX_MaxPeerPictureSide = 8192;

// Whether a probed size may be used: both sides 1 to HX_MaxPeerPictureSide.
inline bool HX_PeerPictureSizeUsable(int64_t width, int64_t height) {
  return width > 0 && height > 0 && width <= HX_MaxPeerPictureSide &&
         height <= HX_MaxPeerPictureSide;
}

// Tries VP8 (0: fourcc VP8 for 1 frame, VP8 stereo for 2, the further VP8 variant 0x64687670
// otherwise), then H.264, then H.265, each only when the one before answered -1; an answer of -2
// stops the probe with that codec's fourcc and -2. Then H.263 (fourcc H.263+ on success).
// Answers 0 with width, height, fourcc and frames set; -1 when nothing was recognised; -2 when a
// codec was recognised without a size. Width and height stay unchanged unless 0 is answered
// (the size itself is the bitstream's: callers bound it, see HX_PeerPictureSizeUsable).
int HX_ProbeMediaFormat(const uint8_t* bitstream, int length, int& width, int& height,
                        unsigned& fourcc, int& frames);
