// The resampler on the WebRTC push resampler: whole 10 ms chunks with the rest held for the
// next call, 44100 Hz taken as 44000 Hz, a tone kept within 1 dB for every rate against 16 and
// 48 kHz, failures, and the pass-through processing stub.
#include "core/media/audio/audio_resampler.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/media/audio/audio_processing.h"
#include "testing/audio_signal.h"

namespace {

TEST(Resampler, SixteenToFortyEightHoldsTheRestForTheNextCall) {
  HXResamplerWebRtc r;
  auto in = hx_test::ToneAndNoise(16000, 440, 8000, 0, 2000);
  std::vector<int16_t> out(6000 + 64, 0x5A5A);
  EXPECT_EQ(r.Process(in.data(), out.data(), 2000, 16000, 48000), 2880);
  EXPECT_EQ(r.GetHeldSamples(), 40u);
  EXPECT_EQ(out[2880], 0x5A5A);
  // The next 1000 samples and the 40 held: 1040 → 960 converted, 80 held.
  EXPECT_EQ(r.Process(in.data() + 1000, out.data(), 2000, 16000, 48000), 2880);
  EXPECT_EQ(r.GetHeldSamples(), 80u);
  // Less than a chunk in total waits.
  HXResamplerWebRtc small;
  EXPECT_EQ(small.Process(in.data(), out.data(), 300, 16000, 48000), 0);
  EXPECT_EQ(small.GetHeldSamples(), 150u);
}

TEST(Resampler, FortyFourOneIsConvertedAsFortyFour) {
  HXResamplerWebRtc r;
  std::vector<int16_t> in(4410, 1000), out(8000);
  // 4410 samples: ten chunks of 440 → ten of 480, 10 samples held.
  EXPECT_EQ(r.Process(in.data(), out.data(), 8820, 44100, 48000), 4800);
  EXPECT_EQ(r.GetInputRate(), 44000u);
  EXPECT_EQ(r.GetHeldSamples(), 10u);
}

TEST(Resampler, FailuresAndRateChanges) {
  HXResamplerWebRtc r;
  std::vector<int16_t> in(1600, 0), out(8000);
  EXPECT_EQ(r.Process(nullptr, out.data(), 3200, 16000, 48000), -1);
  EXPECT_EQ(r.Process(in.data(), nullptr, 3200, 16000, 48000), -1);
  EXPECT_EQ(r.Process(in.data(), out.data(), 3200, 0, 48000), -1);
  EXPECT_EQ(r.Process(in.data(), out.data(), 3200, 16000, 48000), 4800);
  // A new pair re-prepares: the FIFO starts empty.
  // 1500 samples: nine chunks of 160 → 720 samples at 8 kHz, 60 held.
  EXPECT_EQ(r.Process(in.data(), out.data(), 3000, 16000, 8000), 720);
  EXPECT_EQ(r.GetHeldSamples(), 60u);
  // Back to an earlier pair: prepared afresh again. 1600 samples at 48 kHz are three chunks of
  // 480 → 480 samples at 16 kHz, 160 held.
  EXPECT_EQ(r.Process(in.data(), out.data(), 3200, 48000, 16000), 480);
  EXPECT_EQ(r.GetHeldSamples(), 160u);
  EXPECT_EQ(HXResamplerWebRtc::FindGCD(44000, 48000), 4000u);
  HX_AudioResamplerFactory factory;
  std::unique_ptr<HX_AudioResamplerBase> made(factory.CreateAudioResampler());
  EXPECT_NE(dynamic_cast<HXResamplerWebRtc *>(made.get()), nullptr);
}

TEST(Resampler, EveryRatePairKeepsATone) {
  for (unsigned device : {16000u, 48000u}) {
    for (unsigned rate : {8000u, 12000u, 16000u, 24000u, 32000u, 44100u, 48000u}) {
      for (bool to_device : {true, false}) {
        const unsigned from = to_device ? rate : device, to = to_device ? device : rate;
        const double tone = 1000;
        HXResamplerWebRtc r;
        const auto in =
            hx_test::ToneAndNoise(from == 44100 ? 44000 : from, tone, 10000, 0, from / 2);
        std::vector<int16_t> out(to, 0);
        // Fed in odd blocks, as a sink would.
        size_t produced = 0;
        for (size_t off = 0; off < in.size(); off += 333) {
          const size_t n = std::min<size_t>(333, in.size() - off);
          const int got = r.Process(const_cast<int16_t *>(in.data() + off), out.data() + produced,
                                    n * 2, from, to);
          ASSERT_GE(got, 0);
          produced += got;
        }
        const unsigned out_rate = to == 44100 ? 44000 : to;
        ASSERT_GT(produced, out_rate / 4) << from << "→" << to;
        const size_t skip = out_rate / 20;
        const double a = hx_test::ToneAmplitude(in.data() + from / 20, in.size() - from / 20 - 480,
                                                from == 44100 ? 44000 : from, tone);
        const double b = hx_test::ToneAmplitude(out.data() + skip, produced - skip, out_rate, tone);
        EXPECT_NEAR(hx_test::Db(a, b), 0.0, 1.0) << from << "→" << to;
      }
    }
  }
}

TEST(AudioProcessingStub, PassesTheBlockThrough) {
  HX_AudioProcessingFactory factory;
  std::unique_ptr<HX_AudioProcessingBase> apm(factory.CreateAudioProcessing());
  ASSERT_NE(dynamic_cast<HX_AudioProcessingStub *>(apm.get()), nullptr);
  EXPECT_EQ(apm->Init(16000, 0x12), 0);
  std::vector<short> block = {1, -2, 3, -4};
  short *output = nullptr, *captured = nullptr, *rendered = nullptr;
  EXPECT_EQ(apm->ProcessCaptureAudio(block.data(), output, captured, rendered, 4, 16000.0f, 0,
                                     false, false),
            4);
  EXPECT_EQ(output, block.data());
  EXPECT_EQ(captured, block.data());
  EXPECT_EQ(rendered, block.data());
  EXPECT_EQ(block, (std::vector<short>{1, -2, 3, -4}));
  EXPECT_TRUE(apm->ProcessRenderAudio(block.data(), 4, 16000.0f, 0));
  EXPECT_FALSE(apm->ProcessRenderAudio(block.data(), 0, 16000.0f, 0));
  EXPECT_EQ(apm->GetRmsLevel(), 0.0f);
  EXPECT_EQ(apm->GetMicLevel(), 0.0f);
  apm->SetEchoOffset(120);
  EXPECT_EQ(apm->GetEchoOffset(), 0);
  EXPECT_EQ(apm->GetEchoDebugger(), nullptr);
}

}  // namespace
