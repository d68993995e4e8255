#pragma once
// Reading and writing 16-bit PCM WAV files for the audio stand-in: a capture source that plays a
// file, and a render output written to a file that a person or a test can inspect afterwards.
//
// Only the plain RIFF/WAVE form with a "fmt " chunk of format 1 (PCM), 16 bits per sample, is
// understood. Unknown chunks are skipped; every chunk length is checked against the file size.
//
// Thread safety: WavWriter is used by one thread at a time; ReadWavFile is reentrant.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hx::platform {

struct WavData {
  uint32_t sample_rate = 0;
  uint16_t channels = 0;
  std::vector<int16_t> samples;  // interleaved when channels > 1
};

// Reads a whole 16-bit PCM WAV file. False, leaving *out untouched, when the file is missing, is
// not such a file, or a chunk claims more bytes than the file holds.
bool ReadWavFile(const std::string& path, WavData* out);

// Streams 16-bit PCM to a WAV file; the header's lengths are fixed up on Close (and by the
// destructor), so a file is valid after every Close even when written for hours.
class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter&) = delete;
  WavWriter& operator=(const WavWriter&) = delete;

  // Creates (truncates) path. False when the file cannot be created.
  bool Open(const std::string& path, uint32_t sample_rate, uint16_t channels);
  // Appends count samples (interleaved). False when the file is not open or the write fails.
  bool Write(const int16_t* samples, size_t count);
  // Writes the final lengths and closes the file. Safe to call twice.
  void Close();
  bool IsOpen() const { return file_ != nullptr; }

 private:
  std::FILE* file_ = nullptr;
  uint64_t data_bytes_ = 0;
  uint32_t rate_ = 0;
  uint16_t channels_ = 0;
};

}  // namespace hx::platform
