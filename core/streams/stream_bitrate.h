#pragma once
// HXStreamBitrate: the arithmetic of the send stream's bit rates. Every 300 ms the send stream
// measures what it sent and asks CalcBitrate how many kbit/s the video may use, at which frame rate
// (frames per second x 100) and with which audio bit rate (bits per second); the answer arrives in
// the one abstract operation, OnChangeStreamBitrate, which the send stream implements. The class
// also gives the TCP send handler its first bandwidth guess and applies a server's or peer's
// restriction to the media-format adapter.
//
// The inputs that come from the network (a restriction, a peer's forced format) are not trusted:
// every product and sum is taken in 64-bit arithmetic and clamped, no division can meet 0, and no
// float is converted to an integer it does not fit.
//
// Thread safety: the pixel table is filled by the constructor and only read afterwards, so every
// operation may run on any thread. CalcBitrate calls OnChangeStreamBitrate on the calling thread.

#include <cstdint>
#include <map>

#include "core/conference/conference_type.h"
#include "core/conference/server_bitrate_control.h"

struct HX_MediaFormat;
class HX_MediaFormatManagerAdapter;

class HXStreamBitrate {
 public:
  // The upload limit taken when no limit is set (kbit/s).
  static constexpr uint32_t kDefaultUploadLimit = 128;
  // The smallest first bandwidth of a TCP send stream (kbit/s).
  static constexpr uint32_t kMinInitialBandwidth = 48;

  HXStreamBitrate();
  virtual ~HXStreamBitrate() = default;
  HXStreamBitrate(const HXStreamBitrate&) = delete;
  HXStreamBitrate& operator=(const HXStreamBitrate&) = delete;

  // The results of one CalcBitrate: for a call, the whole bandwidth, the video budget twice and
  // the frame rate; for a conference, the video budget, the base-layer limit, the maximum limit
  // and the frame rate. The audio bit rate is in bits per second.
  virtual void OnChangeStreamBitrate(uint32_t rate, uint32_t second, uint32_t third, uint32_t fps,
                                     uint32_t audioBitsPerSecond) = 0;

  // Works the rates out from the current `format`, the `bandwidth` available (kbit/s), the
  // conference's base and maximum limits, the measured audio, video and data rates (kbit/s) and
  // the frame-rate limit (frames per second x 100), and calls OnChangeStreamBitrate exactly once.
  // `lastFps`, `flag` and `hqAuto` are carried for the callers' sake and do not change the result.
  // `type` 0 (a private call) fits the frame rate to the picture size; any other type passes the
  // limits through. A picture under 256 pixels, or none (an audio-only call), counts as one unit
  // of 256 pixels; pictures beyond the pixel table's last key take its last entry.
  void CalcBitrate(const HX_MediaFormat& format, uint32_t bandwidth, uint32_t baseLimit,
                   uint32_t maxLimit, uint32_t audio, uint32_t video, uint32_t data,
                   uint32_t fpsLimit, uint32_t lastFps, bool flag, bool hqAuto,
                   HX_Conference_Type type);

  // The audio bit rate (bits per second) that fits a bandwidth of `bandwidth` kbit/s.
  static uint32_t AudioBitrate(uint32_t bandwidth);

  // The kbit/s per 256-pixel unit and frame for a picture of `units` units: the entry with the
  // smallest key not below `units`, the last entry beyond the last key.
  float PixelValue(uint64_t units) const;
  const std::map<uint32_t, float>& pixelTable() const { return m_pixelTable; }

  // The upload limit of the rate step: the smallest positive one of the conference, server and
  // peer upload limits (kbit/s), or kDefaultUploadLimit when none is positive. A negative limit
  // is no limit.
  static uint32_t UploadLimit(int32_t conference, int32_t server, int32_t peer);

  // The first bandwidth guess of a TCP send stream (kbit/s) on a stream of network type
  // `networkType` (hx::network::type): two thirds of twice the upload limit, capped at 512 on the
  // fast network types (2 to 5 and 11) and at 96 on the others, at least kMinInitialBandwidth.
  // With no positive limit it uses kDefaultUploadLimit, as the rate step does.
  static uint32_t GetInitialSenderBandwidth(int32_t conference, int32_t server, int32_t peer,
                                            uint32_t networkType);

  // Applies a restriction to the adapter's conference limits, in the record's order and only for
  // fields with a positive value: conference, video, desktop-sharing, base and base maximum
  // limits; the frame rate as frames per second x 100 (a rate beyond what 32 bits hold is capped);
  // the video and desktop-sharing picture sizes. A field of 0 leaves its limit as it was, and so
  // does a negative one (a value no sane restriction has, and that would read back as a huge
  // unsigned limit). Returns true.
  static bool ProcessRestrictBitrate(HX_MediaFormatManagerAdapter& adapter,
                                     const conference::ServerBitrateControl& control);

 private:
  // Picture size in units of 256 pixels -> kbit/s per unit and frame.
  std::map<uint32_t, float> m_pixelTable;
};
