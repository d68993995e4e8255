// The Opus, Speex and iSAC wrappers on the real libraries: their settings, frame handling and
// bit-rate rules, a tone-and-noise round trip through each, and decoders fed hostile payloads.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "core/media/audio/audio_codec_factory.h"
#include "core/media/audio/audio_codec_isac.h"
#include "core/media/audio/audio_codec_opus.h"
#include "core/media/audio/audio_codec_speex.h"
#include "testing/audio_signal.h"

namespace {

using namespace hx_audio_tags;

unsigned char* Bytes(std::vector<int16_t>& v) { return reinterpret_cast<unsigned char*>(v.data()); }

// Encodes pcm in frames of frame_bytes and decodes each payload; answers the decoded PCM.
std::vector<int16_t> RoundTrip(AudioCodecBase& enc, AudioCodecBase& dec, std::vector<int16_t> pcm,
                               int frame_bytes) {
  std::vector<int16_t> out;
  std::vector<unsigned char> payload(4000);
  std::vector<int16_t> decoded(8000);
  for (size_t off = 0; (off + frame_bytes / 2) <= pcm.size(); off += frame_bytes / 2) {
    const int n = enc.Convert(Bytes(pcm) + off * 2, frame_bytes, payload.data(), payload.size());
    EXPECT_GE(n, 0);
    if (n <= 0) continue;
    const int m = dec.Convert(payload.data(), n, Bytes(decoded), decoded.size() * 2);
    EXPECT_GT(m, 0);
    out.insert(out.end(), decoded.begin(), decoded.begin() + m / 2);
  }
  return out;
}

void ExpectToneSurvives(const std::vector<int16_t>& in, const std::vector<int16_t>& out, int rate,
                        double freq, const char* what) {
  ASSERT_GT(out.size(), static_cast<size_t>(rate / 2)) << what;
  // Skip the codec's start-up, compare equally long stretches.
  const size_t skip = rate / 10, n = std::min(in.size(), out.size()) - skip;
  EXPECT_NEAR(hx_test::DominantFrequency(out.data() + skip, n, rate, 50.0), freq, 50.0) << what;
  const double a = hx_test::ToneAmplitude(in.data() + skip, n, rate, freq);
  const double b = hx_test::ToneAmplitude(out.data() + skip, n, rate, freq);
  EXPECT_NEAR(hx_test::Db(a, b), 0.0, 3.0) << what;
}

std::vector<uint8_t> OnePayload(AudioCodecBase& enc, int rate, int frame_bytes) {
  auto pcm = hx_test::ToneAndNoise(rate, 700, 6000, 300, frame_bytes / 2);
  std::vector<uint8_t> payload(4000);
  const int n = enc.Convert(Bytes(pcm), frame_bytes, payload.data(), payload.size());
  payload.resize(n > 0 ? n : 0);
  return payload;
}

TEST(AudioCodecOpus, EncoderSettingsAt16k) {
  AudioCodecOpus enc(true);
  ASSERT_EQ(enc.Init(16000), 0);
  EXPECT_TRUE(enc.IsValid());
  EXPECT_EQ(enc.GetFrameSize(), 1280);
  EXPECT_EQ(enc.GetQuality(), 9);
  EXPECT_EQ(enc.GetBitrate(), 34000);
  EXPECT_FALSE(enc.IsBitrateChanged());
  opus_int32 value = 0;
  ASSERT_EQ(opus_encoder_ctl(enc.GetEncoder(), OPUS_GET_BITRATE(&value)), OPUS_OK);
  EXPECT_EQ(value, 34000);
  opus_encoder_ctl(enc.GetEncoder(), OPUS_GET_COMPLEXITY(&value));
  EXPECT_EQ(value, 3);

  // 80 ms in: one packet holding two 40 ms frames, decoding to 1280 samples.
  auto pcm = hx_test::ToneAndNoise(16000, 440, 8000, 200, 1280);
  std::vector<unsigned char> packet(4000);
  const int n = enc.Convert(Bytes(pcm), 2560, packet.data(), packet.size());
  ASSERT_GT(n, 0);
  EXPECT_EQ(opus_packet_get_nb_frames(packet.data(), n), 2);
  EXPECT_EQ(opus_packet_get_nb_samples(packet.data(), n, 16000), 1280);
  AudioCodecOpus dec(false);
  ASSERT_EQ(dec.Init(16000), 0);
  std::vector<int16_t> out(4000);
  EXPECT_EQ(dec.Convert(packet.data(), n, Bytes(out), out.size() * 2), 2560);
  // Less than one frame of input makes no packet.
  EXPECT_EQ(enc.Convert(Bytes(pcm), 1279, packet.data(), packet.size()), 0);
}

TEST(AudioCodecOpus, RatesRoundToOpusRates) {
  struct Case {
    int rate, frame;
  };
  for (const Case c :
       {Case{8000, 640}, Case{11025, 960}, Case{12000, 960}, Case{16000, 1280}, Case{24000, 1920},
        Case{32000, 3840}, Case{44100, 3840}, Case{48000, 3840}}) {
    AudioCodecOpus enc(true), dec(false);
    ASSERT_EQ(enc.Init(c.rate), 0);
    ASSERT_EQ(dec.Init(c.rate), 0);
    EXPECT_EQ(enc.GetFrameSize(), c.frame) << c.rate;
    EXPECT_EQ(dec.GetFrameSize(), c.frame) << c.rate;
  }
  // A rate libopus refuses still answers 0 and leaves a valid codec that produces nothing.
  AudioCodecOpus odd(true);
  EXPECT_EQ(odd.Init(100), 0);
  EXPECT_TRUE(odd.IsValid());
  std::vector<int16_t> pcm(2000, 100);
  unsigned char out[4000];
  EXPECT_EQ(odd.Convert(Bytes(pcm), 4000, out, sizeof(out)), 0);
}

TEST(AudioCodecOpus, BitrateLimitAndPendingChange) {
  AudioCodecOpus enc(true);
  ASSERT_EQ(enc.Init(16000), 0);
  enc.SetBitrate(40000);
  EXPECT_EQ(enc.GetBitrate(), 32000);
  EXPECT_TRUE(enc.IsBitrateChanged());
  opus_int32 value = 0;
  opus_encoder_ctl(enc.GetEncoder(), OPUS_GET_BITRATE(&value));
  EXPECT_EQ(value, 34000);  // applied only by the next encode
  auto pcm = hx_test::ToneAndNoise(16000, 440, 8000, 200, 640);
  unsigned char out[4000];
  EXPECT_GT(enc.Convert(Bytes(pcm), 1280, out, sizeof(out)), 0);
  opus_encoder_ctl(enc.GetEncoder(), OPUS_GET_BITRATE(&value));
  EXPECT_EQ(value, 32000);
  EXPECT_FALSE(enc.IsBitrateChanged());

  struct Case {
    int rate, limit;
  };
  for (const Case c : {Case{8000, 22627}, Case{24000, 39191}, Case{48000, 55425}}) {
    AudioCodecOpus e(true);
    ASSERT_EQ(e.Init(c.rate), 0);
    e.SetBitrate(100000);
    EXPECT_EQ(e.GetBitrate(), c.limit) << c.rate;
  }
  // Quality 5 → 16800; a decoder ignores quality and bit rate.
  enc.SetQuality(5);
  EXPECT_EQ(enc.GetQuality(), 5);
  EXPECT_EQ(enc.GetBitrate(), 16800);
  enc.SetQuality(99);
  EXPECT_EQ(enc.GetQuality(), 10);
  EXPECT_EQ(enc.GetBitrate(), 32000);
  AudioCodecOpus dec(false);
  ASSERT_EQ(dec.Init(16000), 0);
  dec.SetQuality(5);
  dec.SetBitrate(20000);
  EXPECT_EQ(dec.GetQuality(), 0);
  EXPECT_EQ(dec.GetBitrate(), 0);
}

TEST(AudioCodecOpus, EmptyPayloadDecodesToNothing) {
  AudioCodecOpus dec(false);
  ASSERT_EQ(dec.Init(16000), 0);
  std::vector<unsigned char> out(150000, 0x5A);
  unsigned char none = 0;
  // libopus would conceal a lost packet over the whole room (4.7 s here).
  EXPECT_EQ(dec.Convert(&none, 0, out.data(), out.size()), 0);
  EXPECT_EQ(out[0], 0x5A);
}

TEST(AudioCodecSpeex, BandsFollowTheRate) {
  struct Case {
    int rate, frame;
  };
  // Narrow band 160 samples, wide band 320, ultra-wide band 640.
  for (const Case c : {Case{8000, 320}, Case{11025, 320}, Case{16000, 640}, Case{24000, 640},
                       Case{32000, 1280}, Case{48000, 1280}}) {
    AudioCodecSpeex enc(true), dec(false);
    ASSERT_EQ(enc.Init(c.rate), 0);
    ASSERT_EQ(dec.Init(c.rate), 0);
    EXPECT_EQ(enc.GetFrameSize(), c.frame) << c.rate;
    EXPECT_EQ(dec.GetFrameSize(), c.frame) << c.rate;
    EXPECT_EQ(enc.GetQuality(), 4);
  }
}

TEST(AudioCodecSpeex, SeveralFramesMakeOnePayloadAndDecodeWhileTheyFit) {
  AudioCodecSpeex enc(true), dec(false);
  ASSERT_EQ(enc.Init(16000), 0);
  ASSERT_EQ(dec.Init(16000), 0);
  auto pcm = hx_test::ToneAndNoise(16000, 500, 8000, 200, 960);  // three frames
  std::vector<unsigned char> payload(2000);
  const int n = enc.Convert(Bytes(pcm), 1920, payload.data(), payload.size());
  ASSERT_GT(n, 0);
  std::vector<int16_t> out(2000);
  EXPECT_EQ(dec.Convert(payload.data(), n, Bytes(out), 1920), 1920);
  // Room for two frames and a half: two frames.
  AudioCodecSpeex dec2(false);
  ASSERT_EQ(dec2.Init(16000), 0);
  EXPECT_EQ(dec2.Convert(payload.data(), n, Bytes(out), 1600), 1280);
  enc.SetBitrate(50000);
  EXPECT_EQ(enc.GetBitrate(), 32000);
  enc.SetQuality(5);
  EXPECT_EQ(enc.GetBitrate(), 16800);
}

TEST(AudioCodecISAC, EncoderSettingsAndLimits) {
  AudioCodecISAC enc(true);
  ASSERT_EQ(enc.Init(16000), 0);
  EXPECT_TRUE(enc.IsValid());
  EXPECT_EQ(enc.GetBitrate(), 32000);
  EXPECT_EQ(enc.GetMaxRate(), 53400);
  EXPECT_EQ(enc.GetQuality(), 9);
  enc.SetBitrate(60000);
  EXPECT_EQ(enc.GetBitrate(), 32000);
  EXPECT_FALSE(enc.IsBitrateChanged());  // unchanged value
  enc.SetQuality(5);
  EXPECT_EQ(enc.GetBitrate(), 16800);
  EXPECT_TRUE(enc.IsBitrateChanged());

  AudioCodecISAC swb(true);
  ASSERT_EQ(swb.Init(32000), 0);
  EXPECT_EQ(swb.GetBitrate(), 56000);
  EXPECT_EQ(swb.GetMaxRate(), 160000);
  swb.SetBitrate(60000);
  EXPECT_EQ(swb.GetBitrate(), 56000);

  // The packets of one second at the bottleneck average near it.
  auto pcm = hx_test::ToneAndNoise(16000, 600, 8000, 500, 16000);
  AudioCodecISAC e2(true);
  ASSERT_EQ(e2.Init(16000), 0);
  size_t bytes = 0;
  int packets = 0;
  std::vector<unsigned char> out(600);
  for (size_t off = 0; off + 480 <= pcm.size(); off += 480) {
    const int n = e2.Convert(Bytes(pcm) + off * 2, 960, out.data(), out.size());
    ASSERT_GT(n, 0) << "a 30 ms input completes one packet";
    EXPECT_LE(n, 200) << "53400 bit/s in 30 ms";
    bytes += n;
    ++packets;
  }
  EXPECT_NEAR(bytes * 8.0 / (packets * 0.03), 32000, 8000);

  // Rates the library does not take fail Init with its code.
  AudioCodecISAC bad(true);
  EXPECT_NE(bad.Init(8000), 0);
  EXPECT_FALSE(bad.IsValid());
  AudioCodecISAC dec(false);
  ASSERT_EQ(dec.Init(16000), 0);
  dec.SetQuality(5);
  EXPECT_EQ(dec.GetBitrate(), 0);
}

TEST(AudioCodecISAC, At32kEachTenMillisecondsIsFedOnce) {
  // A 30 ms input at 32 kHz is three 320-sample blocks, and the packet must code all 960
  // samples. Fed 160-sample blocks the encoder would code overlapping slices 0-319, 160-479 and
  // 320-639 and never the last 10 ms: here the only sound of each input is in that last 10 ms.
  AudioCodecISAC enc(true), dec(false);
  ASSERT_EQ(enc.Init(32000), 0);
  ASSERT_EQ(dec.Init(32000), 0);
  std::vector<int16_t> input, decoded;
  std::vector<unsigned char> payload(600);
  std::vector<int16_t> out(4000);
  for (int frame = 0; frame < 60; ++frame) {
    auto pcm = hx_test::ToneAndNoise(32000, 1000, 8000, 300, 960, frame + 1);
    std::fill(pcm.begin(), pcm.begin() + 640, 0);
    input.insert(input.end(), pcm.begin(), pcm.end());
    const int n = enc.Convert(Bytes(pcm), 1920, payload.data(), payload.size());
    ASSERT_GT(n, 0) << "frame " << frame;
    const int m = dec.Convert(payload.data(), n, Bytes(out), out.size() * 2);
    ASSERT_EQ(m, 1920) << "frame " << frame;
    decoded.insert(decoded.end(), out.begin(), out.begin() + m / 2);
  }
  auto energy = [](const std::vector<int16_t>& v) {
    double e = 0;
    for (size_t i = 3200; i < v.size(); ++i) e += double(v[i]) * v[i];
    return e;
  };
  EXPECT_NEAR(10 * std::log10(energy(decoded) / energy(input)), 0.0, 3.0);
  // A 31 ms input leaves a 1 ms tail that is not fed (and never read past).
  std::vector<int16_t> tail(992, 0);
  EXPECT_GE(enc.Convert(Bytes(tail), 1984, payload.data(), payload.size()), 0);
}

TEST(AudioCodecISAC, EncoderPacketLargerThanTheRoomIsNotWritten) {
  AudioCodecISAC enc(true);
  ASSERT_EQ(enc.Init(16000), 0);
  auto pcm = hx_test::ToneAndNoise(16000, 600, 8000, 500, 480);
  std::vector<unsigned char> out(16 + 64, 0xA5);
  EXPECT_EQ(enc.Convert(Bytes(pcm), 960, out.data(), 16), 0);
  for (size_t i = 16; i < out.size(); ++i) ASSERT_EQ(out[i], 0xA5);
}

struct RoundTripCase {
  uint32_t tag;
  int rate;
  int frame_bytes;
  const char* name;
};

class CodecRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(CodecRoundTrip, ToneSurvives) {
  const auto& c = GetParam();
  HX_AudioCodecFactory factory;
  auto enc = factory.CreateEncoder(c.tag);
  auto dec = factory.CreateDecoder(c.tag);
  ASSERT_EQ(enc->Init(c.rate), 0);
  ASSERT_EQ(dec->Init(c.rate), 0);
  const auto in = hx_test::ToneAndNoise(c.rate, 1000, 8000, 400, c.rate * 2);
  const auto out = RoundTrip(*enc, *dec, in, c.frame_bytes);
  ExpectToneSurvives(in, out, c.rate, 1000, c.name);
}

TEST_P(CodecRoundTrip, DecoderStaysInItsRoom) {
  const auto& c = GetParam();
  HX_AudioCodecFactory factory;
  auto enc = factory.CreateEncoder(c.tag);
  ASSERT_EQ(enc->Init(c.rate), 0);
  const auto valid = OnePayload(*enc, c.rate, c.frame_bytes);
  ASSERT_FALSE(valid.empty());
  auto dec = factory.CreateDecoder(c.tag);
  ASSERT_EQ(dec->Init(c.rate), 0);
  hx_test::CheckDecoderStaysInRoom(
      [&](const std::vector<uint8_t>& p, uint8_t* out, int room) {
        std::vector<uint8_t> copy = p;  // the decoder reads exactly the payload's bytes
        return dec->Convert(copy.data(), static_cast<int>(copy.size()), out, room);
      },
      hx_test::HostilePayloads(valid, c.tag), {0, 1, 2, 100, 639, 640, 1919, 1920, 3840, 150000});
}

INSTANTIATE_TEST_SUITE_P(Codecs, CodecRoundTrip,
                         ::testing::Values(RoundTripCase{kOpus, 16000, 1280, "opus16"},
                                           RoundTripCase{kOpus, 48000, 3840, "opus48"},
                                           RoundTripCase{kSpeex, 16000, 640, "speex16"},
                                           RoundTripCase{kSpeex, 8000, 320, "speex8"},
                                           RoundTripCase{kISAC, 16000, 960, "isac16"},
                                           RoundTripCase{kISAC, 32000, 1920, "isac32"}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
