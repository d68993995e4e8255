#pragma once
// HX_MediaFormatManagerAdapter: the send side's choice of media format under the limits of the
// conference, the server and the network. So far the client object creates it and hands it out;
// it answers "no format yet" (no audio codec, sample rate 0). The media subsystem grows it.
//
// Thread safety: holds no state yet.

#include <cstdint>

class HX_MediaFormatManagerAdapter {
 public:
  HX_MediaFormatManagerAdapter() = default;
  virtual ~HX_MediaFormatManagerAdapter() = default;
  HX_MediaFormatManagerAdapter(const HX_MediaFormatManagerAdapter&) = delete;
  HX_MediaFormatManagerAdapter& operator=(const HX_MediaFormatManagerAdapter&) = delete;

  // The audio codec tag, 0 without one.
  uint32_t GetAudioCodec() const { return 0; }
  // The audio sample rate, 0 without one.
  uint32_t GetAudioSamplerate() const { return 0; }
};
