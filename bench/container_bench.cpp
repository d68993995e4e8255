// Serialising and deserialising a protocol body, and the range coder beside zlib level 1 on 1 MiB of
// raw container bytes (the "ratio" counter is raw bytes per coded byte). The *VsBaseline runs time
// both sides in the same iterations, in thread CPU time, and report the time ratio ("times"): the
// range coder's round trip against zlib level 1's (one-shot, and with streams reused as a
// long-lived connection would), and deserialising protocol bodies against serialising them, with
// the coder's own decode against its encode of the same bodies beside it ("coder_times").
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
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

// The coder for every processor of the architecture (the same as BM_RangeEncode where the processor
// has no newer instructions).
void BM_RangeEncodePortable(benchmark::State& state) {
  const Bytes& raw = RawMebibyte();
  Bytes out(2 * raw.size() + 4);
  for (auto _ : state) benchmark::DoNotOptimize(RCDV_EncodePortable(raw.data(), raw.size(), out.data(), out.size()));
  state.SetBytesProcessed(state.iterations() * raw.size());
}
BENCHMARK(BM_RangeEncodePortable)->Unit(benchmark::kMillisecond);

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

// The decoder for every processor of the architecture (the same as BM_RangeDecode where the
// processor has no newer instructions).
void BM_RangeDecodePortable(benchmark::State& state) {
  const Bytes& raw = RawMebibyte();
  Bytes coded(2 * raw.size() + 4);
  coded.resize(RCDV_Encode(raw.data(), raw.size(), coded.data(), coded.size()));
  Bytes out(raw.size());
  for (auto _ : state)
    benchmark::DoNotOptimize(RCDV_DecodeSafePortable(coded.data(), out.data(), out.size(), coded.size()));
  state.SetBytesProcessed(state.iterations() * raw.size());
  if (out != raw) state.SkipWithError("decoded bytes differ");
}
BENCHMARK(BM_RangeDecodePortable)->Unit(benchmark::kMillisecond);

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

// The calling thread's CPU time: on a shared machine, time spent waiting for a processor would
// otherwise count against whichever side happened to be descheduled.
struct Clock {
  using time_point = double;
  static double now() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
};

double Seconds(Clock::time_point since) { return Clock::now() - since; }

// zlib level 1 with one deflate and one inflate stream kept across calls.
class ReusedZlib {
 public:
  ReusedZlib() {
    deflateInit(&m_deflate, 1);
    inflateInit(&m_inflate);
  }
  ~ReusedZlib() {
    deflateEnd(&m_deflate);
    inflateEnd(&m_inflate);
  }
  size_t Compress(const Bytes& in, Bytes& out) {
    deflateReset(&m_deflate);
    m_deflate.next_in = const_cast<Bytef*>(in.data());
    m_deflate.avail_in = static_cast<uInt>(in.size());
    m_deflate.next_out = out.data();
    m_deflate.avail_out = static_cast<uInt>(out.size());
    deflate(&m_deflate, Z_FINISH);
    return out.size() - m_deflate.avail_out;
  }
  void Uncompress(const uint8_t* in, size_t size, Bytes& out) {
    inflateReset(&m_inflate);
    m_inflate.next_in = const_cast<Bytef*>(in);
    m_inflate.avail_in = static_cast<uInt>(size);
    m_inflate.next_out = out.data();
    m_inflate.avail_out = static_cast<uInt>(out.size());
    inflate(&m_inflate, Z_FINISH);
  }

 private:
  z_stream m_deflate{};
  z_stream m_inflate{};
};

void BM_RangeRoundTripVsBaseline(benchmark::State& state) {
  const Bytes& raw = RawMebibyte();
  Bytes coded(2 * raw.size() + 4), decoded(raw.size());
  Bytes zipped(compressBound(raw.size())), unzipped(raw.size());
  ReusedZlib reused;
  double range = 0, zlib = 0, zlib_reused = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    const int64_t written = RCDV_Encode(raw.data(), raw.size(), coded.data(), coded.size());
    RCDV_DecodeSafe(coded.data(), decoded.data(), decoded.size(), static_cast<size_t>(written));
    range += Seconds(start);

    start = Clock::now();
    uLongf zipped_size = zipped.size();
    compress2(zipped.data(), &zipped_size, raw.data(), raw.size(), 1);
    uLongf unzipped_size = unzipped.size();
    uncompress(unzipped.data(), &unzipped_size, zipped.data(), zipped_size);
    zlib += Seconds(start);

    start = Clock::now();
    const size_t size = reused.Compress(raw, zipped);
    reused.Uncompress(zipped.data(), size, unzipped);
    zlib_reused += Seconds(start);
  }
  if (decoded != raw || unzipped != raw) state.SkipWithError("round trip differs");
  const double n = static_cast<double>(state.iterations());
  state.counters["range_ms"] = range / n * 1e3;
  state.counters["zlib1_ms"] = zlib / n * 1e3;
  state.counters["zlib1_reused_ms"] = zlib_reused / n * 1e3;
  state.counters["times"] = range / zlib;
  state.counters["times_reused"] = range / zlib_reused;
}
BENCHMARK(BM_RangeRoundTripVsBaseline)->Unit(benchmark::kMillisecond);

// Bodies of the same shape with different contents, taken in turn as a stream of messages would
// bring them: one body coded again and again lets the branch predictor learn its exact path
// through the coder, which no real stream allows.
void BM_DeserializeVsBaseline(benchmark::State& state) {
  constexpr size_t kBodies = 256;
  std::mt19937 rng(1);
  std::vector<HX_Container> bodies;
  std::vector<Bytes> wires;
  size_t largest = 0;
  for (size_t i = 0; i < kBodies; ++i) {
    bodies.push_back(ProtocolBody(rng));
    wires.push_back(Wire(bodies.back()));
    largest = std::max<size_t>(largest, bodies.back().GetAllocSize());
  }
  // The same bodies' raw forms, for the coder alone: what deserialising costs beyond decoding is
  // the container's own work.
  std::vector<Bytes> raws;
  for (const Bytes& wire : wires) {
    uint32_t length;
    std::memcpy(&length, wire.data(), 4);
    raws.emplace_back(length);
    RCDV_DecodeSafe(wire.data() + 4, raws.back().data(), length, wire.size() - 4);
  }
  Bytes out(largest), decoded(largest);
  HX_Container target;
  double serialise = 0, deserialise = 0, encode = 0, decode = 0;
  for (auto _ : state) {
    Clock::time_point start = Clock::now();
    for (const HX_Container& body : bodies) {
      size_t size = out.size();
      benchmark::DoNotOptimize(body.Serialize(out.data(), size));
    }
    serialise += Seconds(start);
    start = Clock::now();
    for (const Bytes& wire : wires) benchmark::DoNotOptimize(target.Deserialize(wire.data(), wire.size()));
    deserialise += Seconds(start);
    start = Clock::now();
    for (const Bytes& raw : raws)
      benchmark::DoNotOptimize(RCDV_Encode(raw.data(), raw.size(), out.data(), out.size()));
    encode += Seconds(start);
    start = Clock::now();
    for (size_t i = 0; i < kBodies; ++i)
      benchmark::DoNotOptimize(
          RCDV_DecodeSafe(wires[i].data() + 4, decoded.data(), raws[i].size(), wires[i].size() - 4));
    decode += Seconds(start);
  }
  const double n = static_cast<double>(state.iterations()) * kBodies;
  state.counters["serialise_us"] = serialise / n * 1e6;
  state.counters["deserialise_us"] = deserialise / n * 1e6;
  state.counters["times"] = deserialise / serialise;
  state.counters["coder_times"] = decode / encode;
  state.counters["container_us"] = (deserialise - decode) / n * 1e6;
}
BENCHMARK(BM_DeserializeVsBaseline)->Unit(benchmark::kMillisecond);

}  // namespace
