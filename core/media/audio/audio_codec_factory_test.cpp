// The audio codec factory: creation by tag through the virtual table, the stub for tags without a
// codec, the supported-tag set, and the dump codec's file.
#include "core/media/audio/audio_codec_factory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "core/media/audio/audio_codec_isac.h"
#include "core/media/audio/audio_codec_opus.h"
#include "core/media/audio/audio_codec_speex.h"

namespace {

using namespace hx_audio_tags;

// A marker codec so a test can tell which creator ran.
class MarkerCodec : public AudioCodecStub {
 public:
  MarkerCodec(bool coder, int mark) : AudioCodecStub(coder), mark(mark) {}
  const int mark;
};

class G711aFactory : public HX_AudioCodecFactory {
 public:
  AudioCodecBase* CreateDecoderG711a() override { return new MarkerCodec(false, 6); }
  AudioCodecBase* CreateEncoderStub() override { return new MarkerCodec(true, -1); }
};

// Runs a test in a directory of its own: the dump codec writes into the current directory.
class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() /
           ("hx_dump_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path old_, dir_;
};

TEST(AudioCodecFactory, CreatesTheWrappersForTheirTags) {
  HX_AudioCodecFactory factory;
  struct Case {
    uint32_t tag;
    const char* name;
    bool (*is)(AudioCodecBase*);
  };
  const Case cases[] = {
      {kOpus, "opus",
       [](AudioCodecBase* c) { return dynamic_cast<AudioCodecOpus*>(c) != nullptr; }},
      {kSpeex, "speex",
       [](AudioCodecBase* c) { return dynamic_cast<AudioCodecSpeex*>(c) != nullptr; }},
      {kISAC, "isac",
       [](AudioCodecBase* c) { return dynamic_cast<AudioCodecISAC*>(c) != nullptr; }},
      {kDump, "dump",
       [](AudioCodecBase* c) { return dynamic_cast<AudioCodecDump*>(c) != nullptr; }},
  };
  for (const auto& c : cases) {
    auto enc = factory.CreateEncoder(c.tag);
    auto dec = factory.CreateDecoder(c.tag);
    ASSERT_TRUE(enc && dec) << c.name;
    EXPECT_TRUE(c.is(enc.get())) << c.name;
    EXPECT_TRUE(c.is(dec.get())) << c.name;
    EXPECT_FALSE(dec->IsCoder()) << c.name;
    EXPECT_EQ(enc->IsCoder(), c.tag != kDump) << c.name;
    EXPECT_FALSE(enc->IsValid());
  }
}

TEST(AudioCodecFactory, TagsWithoutACodecGiveTheStub) {
  HX_AudioCodecFactory factory;
  for (uint32_t tag : {kPCM, kG711a, kG711mu, kGSM610, kG728, kG723, kMP3, kG722, kG729A, kG7221_24,
                       kG7221_32, kG7221C_24, kG7221C_32, kG7221C_48, kAAC, 0u, 2u, 0x7ff1u}) {
    for (bool encoder : {true, false}) {
      auto codec = encoder ? factory.CreateEncoder(tag) : factory.CreateDecoder(tag);
      ASSERT_NE(dynamic_cast<AudioCodecStub*>(codec.get()), nullptr) << tag;
      EXPECT_EQ(codec->IsCoder(), encoder);
      EXPECT_EQ(codec->Init(16000), 0);
      EXPECT_TRUE(codec->IsValid());
      unsigned char in[320] = {1, 2, 3}, out[640] = {};
      EXPECT_EQ(codec->Convert(in, sizeof(in), out, sizeof(out)), 0);
      EXPECT_EQ(out[0], 0);
      codec->SetBitrate(20000);
      EXPECT_EQ(codec->GetBitrate(), 0);
      codec->Release();
      EXPECT_FALSE(codec->IsValid());
    }
  }
}

TEST(AudioCodecFactory, SubclassOverridesAreReachedThroughTheTable) {
  G711aFactory factory;
  auto dec = factory.CreateDecoder(kG711a);
  auto* marker = dynamic_cast<MarkerCodec*>(dec.get());
  ASSERT_NE(marker, nullptr);
  EXPECT_EQ(marker->mark, 6);
  // The base's G.711 encoder creator forwards to the stub creator through the table too.
  auto enc = factory.CreateEncoder(kG711a);
  marker = dynamic_cast<MarkerCodec*>(enc.get());
  ASSERT_NE(marker, nullptr);
  EXPECT_EQ(marker->mark, -1);
  // So does an unknown tag; Opus is unaffected.
  EXPECT_NE(dynamic_cast<MarkerCodec*>(factory.CreateEncoder(12345).get()), nullptr);
  EXPECT_NE(dynamic_cast<AudioCodecOpus*>(factory.CreateEncoder(kOpus).get()), nullptr);
}

TEST(AudioCodecFactory, SupportedTags) {
  HX_AudioCodecFactory factory;
  EXPECT_EQ(factory.GetFourcc(), (std::set<uint32_t>{0x7003, 0x7004, 0x7ff0}));
  factory.AddSupportFourcc(6);
  factory.AddSupportFourcc(6);
  EXPECT_EQ(factory.GetFourcc(), (std::set<uint32_t>{6, 0x7003, 0x7004, 0x7ff0}));
  // A copy: changing it does not change the factory.
  auto copy = factory.GetFourcc();
  copy.insert(7);
  EXPECT_EQ(factory.GetFourcc().count(7), 0u);
}

TEST_F(InTempDir, DumpCodecRecordsLengthPrefixedInputs) {
  HX_AudioCodecFactory factory;
  // Both directions record into the decoder's file name.
  auto dump = factory.CreateEncoder(kDump);
  EXPECT_EQ(dump->Init(16000), 0);
  EXPECT_TRUE(dump->IsValid());
  unsigned char a[3] = {1, 2, 3}, b[5] = {4, 5, 6, 7, 8}, out[16] = {};
  EXPECT_EQ(dump->Convert(a, 3, out, sizeof(out)), 0);
  EXPECT_EQ(dump->Convert(b, 5, out, sizeof(out)), 0);
  EXPECT_EQ(out[0], 0);
  dump->Release();
  EXPECT_FALSE(std::filesystem::exists("audio_enc.dump"));
  std::ifstream in("audio_dec.dump", std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(bytes, (std::vector<unsigned char>{3, 0, 0, 0, 1, 2, 3, 5, 0, 0, 0, 4, 5, 6, 7, 8}));
  // A codec made with the coder flag set writes the encoder's file.
  AudioCodecDump enc(true);
  EXPECT_EQ(enc.Init(8000), 0);
  EXPECT_EQ(enc.Convert(a, 3, out, sizeof(out)), 0);
  enc.Release();
  EXPECT_EQ(std::filesystem::file_size("audio_enc.dump"), 7u);
}

TEST_F(InTempDir, DumpCodecWithoutAFileRecordsNothing) {
  std::filesystem::create_directory("audio_dec.dump");  // cannot be opened as a file
  AudioCodecDump dump(false);
  EXPECT_EQ(dump.Init(16000), 0);
  EXPECT_FALSE(dump.IsValid());
  unsigned char a[3] = {1, 2, 3};
  EXPECT_EQ(dump.Convert(a, 3, nullptr, 0), 0);
}

}  // namespace
