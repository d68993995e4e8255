#include "core/wire/media_format.h"

#include <algorithm>
#include <cmath>

#include "core/wire/little_endian.h"

HX_MediaFormat& HX_MediaFormat::operator=(const HX_MediaFormat& other) {
  if (this == &other) return *this;
  const uint32_t s = other.size;
  height = other.height;
  width = other.width;
  videoCodec = other.videoCodec;
  frameRate = 15;
  stereo = 0;
  svcMode = 0;
  hardwareCodec = 0;
  SetAudio(other.sampleRate, other.audioCodec, kDefaultDuration);
  if (s > 24) audioBufferSize = other.audioBufferSize;
  if (s > 28) frameRate = other.frameRate;
  if (s > 32) stereo = other.stereo;
  if (s > 36) svcMode = other.svcMode;
  if (s > 40) hardwareCodec = other.hardwareCodec;
  return *this;
}

bool HX_MediaFormat::operator==(const HX_MediaFormat& o) const {
  return size == o.size && height == o.height && width == o.width && videoCodec == o.videoCodec &&
         sampleRate == o.sampleRate && audioCodec == o.audioCodec &&
         audioBufferSize == o.audioBufferSize && frameRate == o.frameRate && stereo == o.stereo &&
         svcMode == o.svcMode && hardwareCodec == o.hardwareCodec;
}

void HX_MediaFormat::SetAudio(uint32_t rate, uint32_t tag, int duration) {
  sampleRate = rate;
  audioCodec = tag;
  if (rate < 8000) {
    audioBufferSize = 0;
    return;
  }
  // Frame size at 8000 Hz, default duration in milliseconds and the rate the codec really runs at.
  uint32_t frame0 = 320;
  int defaultMs = 40;
  uint32_t effective = rate;
  switch (tag) {
    case kAudioG723:
      frame0 = 480;
      defaultMs = 80;
      break;
    case kAudioMP3:
      frame0 = 1152;
      defaultMs = 0;
      effective = rate <= 16000 ? 8000 : 16000;
      break;
    case kAudioISAC:
      frame0 = 480;
      defaultMs = 30;
      effective = std::min<uint32_t>(rate, 32000);
      break;
    case kAudioOpus:
    {
      // Rounded in 64 bits: a rate near 2^32 must not wrap to a small one before the comparison.
      const uint64_t rounded = (uint64_t{rate} + 2000) / 4000 * 4000;
      effective = rounded > 24000 ? 48000 : static_cast<uint32_t>(rounded);
    }
      frame0 = effective == 12000 ? 960 : 640;
      defaultMs = 80;
      break;
    case kAudioAAC:
      frame0 = 2048;
      defaultMs = 0;
      effective = 8000;
      break;
    default:
      break;
  }
  const double ms = duration < 0 ? defaultMs : duration;
  const uint64_t frame = uint64_t{frame0} * (effective / 8000);
  const double frames = std::trunc(ms * effective * 2 * 0.001 / static_cast<double>(frame) + 0.5);
  const uint64_t bytes = std::max<uint64_t>(frame * static_cast<uint64_t>(frames), frame);
  audioBufferSize = static_cast<uint32_t>(std::min<uint64_t>(bytes, UINT32_MAX));
}

void HX_MediaFormat::Clear() {
  height = width = videoCodec = sampleRate = audioCodec = audioBufferSize = 0;
  frameRate = stereo = svcMode = hardwareCodec = 0;
}

void HX_MediaFormat::Store(uint8_t out[kRecordSize]) const {
  const uint32_t fields[kFieldCount] = {size,       height,     width,           videoCodec,
                                        sampleRate, audioCodec, audioBufferSize, frameRate,
                                        stereo,     svcMode,    hardwareCodec};
  for (size_t i = 0; i < kFieldCount; ++i) hx::wire::StoreLe32(out + 4 * i, fields[i]);
}

bool HX_MediaFormat::Load(const uint8_t* bytes, size_t length) {
  if (bytes == nullptr || length < kMinRecordSize) return false;
  // Only whole fields count: a size of 26 means field 6 is not there. The copy below takes the
  // fields up to the audio codec whatever the size, so they are read in any case.
  const uint32_t meaningful =
      static_cast<uint32_t>(std::min<uint64_t>(hx::wire::LoadLe32(bytes), length)) & ~3u;
  uint32_t fields[kFieldCount] = {};
  const size_t count = std::max<size_t>(kMinRecordSize, meaningful) / 4;
  for (size_t i = 0; i < std::min<size_t>(count, kFieldCount); ++i) {
    fields[i] = hx::wire::LoadLe32(bytes + 4 * i);
  }
  HX_MediaFormat source;
  source.size = meaningful;
  source.height = fields[1];
  source.width = fields[2];
  source.videoCodec = fields[3];
  source.sampleRate = fields[4];
  source.audioCodec = fields[5];
  source.audioBufferSize = fields[6];
  source.frameRate = fields[7];
  source.stereo = fields[8];
  source.svcMode = fields[9];
  source.hardwareCodec = fields[10];
  *this = source;
  return true;
}
