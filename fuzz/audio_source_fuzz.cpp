// The per-peer jitter buffer fed payloads from the network through AddData with the Opus decoder,
// and read back through GetData between payloads. The input is a read-size byte followed by
// payloads, each a length byte and that many bytes. Every read goes into a heap block of exactly
// the asked size, so AddressSanitizer sees a write past it; the source must stay usable and
// answer every read in full.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/media/audio/audio_source.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  int64_t now = 5000;
  HX_AudioSource source;
  source.SetClock([&now] { return now; });
  HX_MediaFormat format;
  format.SetAudio(16000, HX_MediaFormat::kAudioOpus, 40);
  if (!source.Init(&format, nullptr)) std::abort();
  const int readBytes = 2 + data[0] * 6;
  size_t pos = 1;
  while (pos < size) {
    const size_t length = std::min<size_t>(data[pos], size - pos - 1);
    std::vector<char> payload(data + pos + 1, data + pos + 1 + length);
    pos += 1 + length;
    if (!source.AddData(payload.empty() ? nullptr : payload.data(),
                        static_cast<int>(payload.size()))) {
      std::abort();
    }
    now += 20 + (length & 63);
    std::unique_ptr<char[]> out(new char[readBytes]);
    if (source.GetData(out.get(), readBytes) != readBytes) std::abort();
  }
  return 0;
}
