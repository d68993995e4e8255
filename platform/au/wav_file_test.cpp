// The WAV reader and writer on real files in a temporary folder, including files whose chunk
// lengths lie about the size.
#include "platform/au/wav_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace hx::platform {
namespace {

std::string TempPath(const char* name) {
  return (std::filesystem::temp_directory_path() /
          (std::string("hx_wav_") + std::to_string(::getpid()) + "_" + name))
      .string();
}

TEST(WavFile, WriteThenReadKeepsSamplesAndFormat) {
  const std::string path = TempPath("rt.wav");
  std::vector<int16_t> samples = {0, 1, -1, 32767, -32768, 1234};
  {
    WavWriter w;
    ASSERT_TRUE(w.Open(path, 16000, 1));
    ASSERT_TRUE(w.Write(samples.data(), 3));
    ASSERT_TRUE(w.Write(samples.data() + 3, 3));
  }  // the destructor fixes the header up
  WavData d;
  ASSERT_TRUE(ReadWavFile(path, &d));
  EXPECT_EQ(d.sample_rate, 16000u);
  EXPECT_EQ(d.channels, 1);
  EXPECT_EQ(d.samples, samples);
  std::remove(path.c_str());
}

TEST(WavFile, RefusesMissingTruncatedAndLyingFiles) {
  const std::string path = TempPath("bad.wav");
  {
    WavWriter w;
    ASSERT_TRUE(w.Open(path, 8000, 1));
    int16_t s[4] = {1, 2, 3, 4};
    ASSERT_TRUE(w.Write(s, 4));
  }
  std::vector<char> good;
  {
    std::ifstream in(path, std::ios::binary);
    good.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_EQ(good.size(), 44u + 8);
  WavData keep;
  keep.sample_rate = 77;
  EXPECT_FALSE(ReadWavFile(path + ".missing", &keep));
  // Every cut of the file is refused (the data chunk claims more than is left), and so is a
  // data length raised past the end or a format other than 16-bit PCM.
  for (size_t cut = 0; cut < good.size(); ++cut) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(good.data(), cut);
    EXPECT_FALSE(ReadWavFile(path, &keep)) << "cut at " << cut;
  }
  struct Patch {
    size_t at;
    unsigned char value;
  } patches[] = {{40, 0xFF}, {43, 0x80}, {20, 3}, {34, 8}, {0, 'X'}, {8, 'X'}};
  for (const Patch& p : patches) {
    std::vector<char> bad = good;
    bad[p.at] = char(p.value);
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bad.data(), bad.size());
    EXPECT_FALSE(ReadWavFile(path, &keep)) << "byte " << p.at;
  }
  EXPECT_EQ(keep.sample_rate, 77u);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace hx::platform
