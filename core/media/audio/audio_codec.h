#pragma once
// AudioCodecBase is one encoder or decoder of 16-bit mono PCM at one sample rate. Users get
// codecs from an HX_AudioCodecFactory (audio_codec_factory.h) and call Init with the rate (0 means
// success), then Convert any number of times, SetBitrate on encoders, and Release or destroy.
//
// Convert writes at most output capacity bytes, whatever the input: a decoder fed a payload
// from the network answers 0 (nothing produced) or a length within the room it was given.
//
// This header also holds the two codecs every factory can make without a library:
// AudioCodecStub (does nothing, for tags without a codec) and AudioCodecDump (records what passes
// through it into "audio_enc.dump" or "audio_dec.dump").
//
// Thread safety: none. A codec is used by one thread at a time.

#include <cstdio>

class AudioCodecBase {
 public:
  // coder: true for an encoder, false for a decoder.
  explicit AudioCodecBase(bool coder) : coder_(coder) {}
  virtual ~AudioCodecBase() = default;
  AudioCodecBase(const AudioCodecBase&) = delete;
  AudioCodecBase& operator=(const AudioCodecBase&) = delete;

  // Prepares the codec for the rate; 0 on success. A codec whose Init answered non-zero must not
  // be used.
  virtual int Init(int sampleRate) = 0;
  // Frees the library state; Init may follow.
  virtual void Release() = 0;
  // Encodes PCM to one payload (encoder) or a payload to PCM (decoder). Answers the bytes written
  // to output, never more than outputCapacity; 0 when nothing was produced.
  virtual int Convert(unsigned char* input, int inputBytes, unsigned char* output,
                      int outputCapacity) = 0;
  // Maps a quality index 0..10 to a bit rate and calls SetBitrate.
  virtual void SetQuality(int quality) = 0;
  // Records a target bit rate (limited by the codec); the encoder applies it before its next
  // encode.
  virtual void SetBitrate(int bitrate) = 0;
  // Applies a bit rate to the library encoder at once.
  virtual void UpdateBitrate(int bitrate) = 0;

  int GetQuality() const { return quality_; }
  int GetBitrate() const { return bitrate_; }
  bool IsBitrateChanged() const { return bitrate_changed_; }
  bool IsValid() const { return valid_; }
  bool IsCoder() const { return coder_; }

 protected:
  // The quality index → bit/s table shared by the voice codecs.
  static int QualityToBitrate(int quality);
  // The common SetQuality rule: nothing unless a valid encoder; the index limited to 0..10;
  // a changed index is stored and its table rate handed to SetBitrate.
  void ApplyQuality(int quality);
  // The common SetBitrate rule after the codec's own limit: a changed value is stored and marked.
  void StoreBitrate(int limited);
  // Called by an encoder's Convert first: applies a pending bit rate through UpdateBitrate.
  void ApplyPendingBitrate();

  int quality_ = 0;
  int bitrate_ = 0;
  bool bitrate_changed_ = false;
  bool valid_ = false;
  const bool coder_;
};

class AudioCodecStub : public AudioCodecBase {
 public:
  explicit AudioCodecStub(bool coder) : AudioCodecBase(coder) {}
  int Init(int sampleRate) override;
  void Release() override;
  int Convert(unsigned char* input, int inputBytes, unsigned char* output,
              int outputCapacity) override;
  void SetQuality(int) override {}
  void SetBitrate(int) override {}
  void UpdateBitrate(int) override {}
};

// A diagnostic codec: every Convert appends a record of a 32-bit little-endian length and the
// input bytes to the dump file in the current directory; nothing is written to the output and
// Convert answers 0. Init always answers 0; the codec is valid when the file opened.
class AudioCodecDump : public AudioCodecBase {
 public:
  explicit AudioCodecDump(bool coder) : AudioCodecBase(coder) {}
  ~AudioCodecDump() override;
  int Init(int sampleRate) override;
  void Release() override;
  int Convert(unsigned char* input, int inputBytes, unsigned char* output,
              int outputCapacity) override;
  void SetQuality(int) override {}
  void SetBitrate(int) override {}
  void UpdateBitrate(int) override {}

 private:
  FILE* file_ = nullptr;
};
