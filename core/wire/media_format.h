#pragma once
// HX_MediaFormat: one audio and video format (resolution, video codec, audio rate and codec, audio
// frame size, frame rate and three further words). It is a fixed record of eleven unsigned 32-bit
// fields that travels as raw little-endian bytes inside containers; the leading size field says how
// many of its bytes are meaningful, so that an older peer's shorter record still reads.
//
// A plain value; not thread-safe. Copy construction copies every field; assignment is the
// size-versioned copy described at operator=.

#include <cstddef>
#include <cstdint>

struct HX_MediaFormat {
  // Video codec codes: the four characters in memory order.
  static constexpr uint32_t kCodecVP8 = 0x30387670;        // "pv80"
  static constexpr uint32_t kCodecVP9 = 0x30397076;        // "vp90"
  static constexpr uint32_t kCodecH261 = 0x31363268;       // "h261"
  static constexpr uint32_t kCodecH263 = 0x33363268;       // "h263"
  static constexpr uint32_t kCodecH264 = 0x34366876;       // "vh64"
  static constexpr uint32_t kCodecH265 = 0x35366876;       // "vh65"
  static constexpr uint32_t kCodecH263Plus = 0x70363268;   // "h26p"
  static constexpr uint32_t kCodecVP8Stereo = 0x74737670;  // "pvst"

  // Audio codec tags (wave-format tags) that the buffer-length rule knows.
  static constexpr uint32_t kAudioG723 = 66;
  static constexpr uint32_t kAudioMP3 = 85;
  static constexpr uint32_t kAudioISAC = 28676;
  static constexpr uint32_t kAudioOpus = 0x7FF0;
  static constexpr uint32_t kAudioAAC = 41222;

  static constexpr uint32_t kRecordSize = 44;
  static constexpr size_t kFieldCount = 11;
  // The fields that a copy always reads (size to audio codec tag).
  static constexpr uint32_t kMinRecordSize = 24;
  // SetAudio's duration meaning "the codec's default".
  static constexpr int kDefaultDuration = -1;

  uint32_t size = kRecordSize;
  uint32_t height = 240;
  uint32_t width = 320;
  uint32_t videoCodec = kCodecVP8;
  uint32_t sampleRate = 16000;  // Hz
  uint32_t audioCodec = kAudioOpus;
  uint32_t audioBufferSize = 2560;  // bytes of one audio frame
  uint32_t frameRate = 15;
  uint32_t stereo = 0;  // stereo-video value, carried as it is
  uint32_t svcMode = 0;
  uint32_t hardwareCodec = 0;  // eHardwareCodec, 0 for none

  // The default record: 320x240 VP8 at 15 frames per second, 16000 Hz Opus.
  HX_MediaFormat() { SetAudio(16000, kAudioOpus, kDefaultDuration); }
  HX_MediaFormat(const HX_MediaFormat&) = default;

  // Size-versioned copy: height, width and codec always; the audio rate and tag through SetAudio
  // with the default duration; frame rate 15 and the last three fields 0; then each later field
  // (buffer length, frame rate, stereo, SVC, hardware codec) only when the source's size field
  // covers it (above 24, 28, 32, 36, 40). The target keeps its own size field.
  HX_MediaFormat& operator=(const HX_MediaFormat& other);

  // Field-wise equality, size field included.
  bool operator==(const HX_MediaFormat& other) const;

  // Stores the rate and tag and computes the audio buffer length for them: `duration` milliseconds
  // of audio (the codec's default when negative), rounded to whole codec frames, at least one
  // frame; 0 below 8000 Hz.
  void SetAudio(uint32_t rate, uint32_t tag, int duration);

  // Every field 0 except the size field (the state of a format that was never set).
  void Clear();

  // The transported form: 44 little-endian bytes.
  void Store(uint8_t out[kRecordSize]) const;
  // Assigns (operator=) from a received record of `length` bytes. The copy reads the first 24
  // bytes whatever the record's size field says; of the later fields it takes only those that lie
  // whole within both `length` and the size field. False, and nothing changed, when `length` is
  // below those 24 bytes (or `bytes` is null).
  bool Load(const uint8_t* bytes, size_t length);
};
