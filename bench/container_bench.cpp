// Serialising and deserialising a protocol body, and the range coder beside zlib level 1 on 1 MiB of
// raw container bytes (the "ratio" counter is raw bytes per coded byte).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/base/range_coder.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A conference-join style body: routing texts, numbers, flags, a key, a nested capability set.
HX_Container ProtocolBody(std::mt19937& rng) {
  static const char* const kMethods[] = {"JoinConference", "SendMessage", "UpdateStatus", "GetUserStatus",
                                         "SearchAddressBook"};
  const auto user = [&](const char* prefix) { return prefix + std::to_string(rng() % 100000) + "@example.org"; };
  HX_Container caps;
  caps.AddValue("IntCaps", int32_t(rng() % 4096));
  caps.AddValue("VideoRcv", int32_t{0x210});
  caps.AddValue("VideoSnd", int32_t{6});
  caps.AddValue("AudioRcv", int32_t{6});
  caps.AddValue("AudioSnd", int32_t{6});
  caps.AddValue("AppName", "hxclient");
  caps.AddValue("AppVersion", "4.2.17");
  caps.AddValue("ScreenWidth", int32_t{1920});
  caps.AddValue("ScreenHeight", int32_t{1080});
  const uint16_t codecs[] = {0x6f70, 0x6973, 0x0008, 0x0009};
  caps.AddValue("AudioCdc", HX_CNT_BINARY_VT, codecs, sizeof codecs);

  HX_Container body;
  body.AddValue("Method", kMethods[rng() % 5]);
  body.AddValue("Conference", ("conf" + std::to_string(rng()) + "#vcs").c_str());
  body.AddValue("From", user("u").c_str());
  body.AddValue("To", user("peer").c_str());
  body.AddValue("SeqID", int32_t(rng() % 1000000));
  body.AddValue("Result", int32_t{1});
  body.AddValue("Type", int32_t(rng() % 6));
  body.AddValue("Time", int64_t{132223104000000000} + int64_t(rng()));
  body.AddValue("Online", rng() % 2 == 0);
  body.AddValue("Rating", 0.5 + (rng() % 100) / 200.0);
  body.AddValue("Password", "");
  body.AddValue("DisplayName", "Alice Example");
  body.AddValue("Text", "See you at the meeting tomorrow, the agenda is in the shared folder.");
  uint8_t key[32];
  for (auto& b : key) b = static_cast<uint8_t>(rng());
  body.AddValue("Key", HX_CNT_BINARY_VT, key, sizeof key);
  for (int i = 0; i < 16; ++i) body.AddValue(("Param" + std::to_string(i)).c_str(), int32_t(rng() % 50));
  for (int i = 0; i < 6; ++i) body.AddValue(("Peer" + std::to_string(i)).c_str(), user("p").c_str());
  body.AddValue("ClientCaps", caps);
  return body;
}

Bytes Wire(const HX_Container& c) {
  Bytes out(c.GetAllocSize());
  size_t size = out.size();
  c.Serialize(out.data(), size);
  out.resize(size);
  return out;
}

// 1 MiB made of the raw forms of many different bodies.
const Bytes& RawMebibyte() {
  static const Bytes raw = [] {
    std::mt19937 rng(1);
    Bytes out;
    while (out.size() < (1u << 20)) {
      const Bytes wire = Wire(ProtocolBody(rng));
      uint32_t length;
      std::memcpy(&length, wire.data(), 4);
      const size_t at = out.size();
      out.resize(at + length);
      RCDV_DecodeSafe(wire.data() + 4, out.data() + at, length, wire.size() - 4);
    }
    out.resize(1u << 20);
    return out;
  }();
  return raw;
}

void BM_ContainerSerialize(benchmark::State& state) {
  std::mt19937 rng(1);
  const HX_Container body = ProtocolBody(rng);
  Bytes out(body.GetAllocSize());
  size_t size = 0;
  for (auto _ : state) {
    size = out.size();
    benchmark::DoNotOptimize(body.Serialize(out.data(), size));
  }
  state.SetBytesProcessed(state.iterations() * (body.GetAllocSize() - 4) / 2);
  state.counters["wire_bytes"] = static_cast<double>(size);
}
BENCHMARK(BM_ContainerSerialize);

void BM_ContainerDeserialize(benchmark::State& state) {
  std::mt19937 rng(1);
  const HX_Container body = ProtocolBody(rng);
  const Bytes wire = Wire(body);
  HX_Container target;
  for (auto _ : state) benchmark::DoNotOptimize(target.Deserialize(wire.data(), wire.size()));
  state.SetBytesProcessed(state.iterations() * (body.GetAllocSize() - 4) / 2);
}
BENCHMARK(BM_ContainerDeserialize);

void BM_ContainerBuild(benchmark::State& state) {
  for (auto _ : state) {
    std::mt19937 rng(1);
    benchmark::DoNotOptimize(ProtocolBody(rng));
  }
}
BENCHMARK(BM_ContainerBuild);

void BM_RangeEncode(benchmark::State& state) {
  const Bytes& raw = RawMebibyte();
  Bytes out(2 * raw.size() + 4);
  int64_t written = 0;
  for (auto _ : state) written = RCDV_Encode(raw.data(), raw.size(), out.data(), out.size());
  state.SetBytesProcessed(state.iterations() * raw.size());
  state.counters["ratio"] = static_cast<double>(raw.size()) / written;
}
BENCHMARK(BM_RangeEncode)->Unit(benchmark::kMillisecond);

void BM_RangeDecode(benchmark::State& state) {
  const Bytes& raw = RawMebibyte();
  Bytes coded(2 * raw.size() + 4);
  coded.resize(RCDV_Encode(raw.data(), raw.size(), coded.data(), coded.size()));
  Bytes out(raw.size());
  for (auto _ : state)
    benchmark::DoNotOptimize(RCDV_DecodeSafe(coded.data(), out.data(), out.size(), coded.size()));
  state.SetBytesProcessed(state.iterations() * raw.size());
  if (out != raw) state.SkipWithError("decoded bytes differ");
}
BENCHMARK(BM_RangeDecode)->Unit(benchmark::kMillisecond);

void BM_ZlibCompressLevel1(benchmark::State& state) {
  const Bytes& raw = RawMebibyte();
  Bytes out(compressBound(raw.size()));
  uLongf written = 0;
  for (auto _ : state) {
    written = out.size();
    compress2(out.data(), &written, raw.data(), raw.size(), 1);
  }
  state.SetBytesProcessed(state.iterations() * raw.size());
  state.counters["ratio"] = static_cast<double>(raw.size()) / written;
}
BENCHMARK(BM_ZlibCompressLevel1)->Unit(benchmark::kMillisecond);

void BM_ZlibUncompress(benchmark::State& state) {
  const Bytes& raw = RawMebibyte();
  Bytes coded(compressBound(raw.size()));
  uLongf coded_size = coded.size();
  compress2(coded.data(), &coded_size, raw.data(), raw.size(), 1);
  Bytes out(raw.size());
  for (auto _ : state) {
    uLongf size = out.size();
    benchmark::DoNotOptimize(uncompress(out.data(), &size, coded.data(), coded_size));
  }
  state.SetBytesProcessed(state.iterations() * raw.size());
  if (out != raw) state.SkipWithError("uncompressed bytes differ");
}
BENCHMARK(BM_ZlibUncompress)->Unit(benchmark::kMillisecond);

}  // namespace
