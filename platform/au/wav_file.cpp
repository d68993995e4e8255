#include "platform/au/wav_file.h"

#include <algorithm>
#include <cstring>

namespace hx::platform {
namespace {

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

void MakeHeader(uint8_t h[44], uint32_t rate, uint16_t channels, uint64_t data_bytes) {
  // A WAV file's lengths are 32-bit; a longer recording keeps the largest length that fits.
  const uint32_t data = data_bytes > 0xFFFFFFFFull - 36 ? 0xFFFFFFFFu - 36 : uint32_t(data_bytes);
  std::memcpy(h, "RIFF", 4);
  Put32(h + 4, 36 + data);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  Put32(h + 16, 16);
  Put16(h + 20, 1);
  Put16(h + 22, channels);
  Put32(h + 24, rate);
  Put32(h + 28, rate * channels * 2);
  Put16(h + 32, uint16_t(channels * 2));
  Put16(h + 34, 16);
  std::memcpy(h + 36, "data", 4);
  Put32(h + 40, data);
}

}  // namespace

bool ReadWavFile(const std::string& path, WavData* out) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  std::vector<uint8_t> bytes;
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);

  if (bytes.size() < 12 || std::memcmp(bytes.data(), "RIFF", 4) != 0 ||
      std::memcmp(bytes.data() + 8, "WAVE", 4) != 0)
    return false;
  WavData result;
  bool have_fmt = false;
  uint64_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    const uint8_t* chunk = bytes.data() + pos;
    const uint64_t len = Le32(chunk + 4);
    if (pos + 8 + len > bytes.size()) return false;
    const uint8_t* body = chunk + 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      if (len < 16 || Le16(body) != 1 || Le16(body + 14) != 16) return false;
      result.channels = Le16(body + 2);
      result.sample_rate = Le32(body + 4);
      if (result.channels == 0 || result.sample_rate == 0) return false;
      have_fmt = true;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_fmt) return false;
      result.samples.resize(len / 2);
      for (size_t i = 0; i < result.samples.size(); ++i)
        result.samples[i] = int16_t(Le16(body + 2 * i));
      *out = std::move(result);
      return true;
    }
    pos += 8 + len + (len & 1);  // chunks are padded to even lengths
  }
  return false;
}

WavWriter::~WavWriter() { Close(); }

bool WavWriter::Open(const std::string& path, uint32_t sample_rate, uint16_t channels) {
  Close();
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  uint8_t h[44];
  MakeHeader(h, sample_rate, channels, 0);
  rate_ = sample_rate;
  channels_ = channels;
  data_bytes_ = 0;
  if (std::fwrite(h, 1, sizeof h, file_) != sizeof h) {
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

bool WavWriter::Write(const int16_t* samples, size_t count) {
  if (!file_) return false;
  uint8_t buf[4096];
  size_t done = 0;
  while (done < count) {
    const size_t n = std::min(count - done, sizeof buf / 2);
    for (size_t i = 0; i < n; ++i) Put16(buf + 2 * i, uint16_t(samples[done + i]));
    if (std::fwrite(buf, 2, n, file_) != n) return false;
    done += n;
  }
  data_bytes_ += uint64_t(count) * 2;
  return true;
}

void WavWriter::Close() {
  if (!file_) return;
  uint8_t h[44];
  MakeHeader(h, rate_, channels_, data_bytes_);
  std::fseek(file_, 0, SEEK_SET);
  std::fwrite(h, 1, sizeof h, file_);
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace hx::platform
