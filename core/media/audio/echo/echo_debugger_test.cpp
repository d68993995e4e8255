// The echo debugger's files in a temporary folder: names from the time of Init, PCM appended as
// given, log lines with the time prefix only while enabled, cut to the line buffer.
#include "core/media/audio/echo/echo_debugger.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <regex>

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(EchoDebugger, FilesNamedFromTheTimeAndWrittenAsGiven) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("hx_echo_dbg_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  HX_EchoDebugger dbg;
  const auto before = std::time(nullptr);
  ASSERT_TRUE(dbg.Init(dir.string()));  // no trailing slash
  const auto after = std::time(nullptr);
  EXPECT_EQ(dbg.GetDirectory(), dir.string() + "/");
  std::string stamp;
  for (auto t = before; t <= after && stamp.empty(); ++t)
    if (std::filesystem::exists(dir / (std::to_string(t) + "_echo.log"))) stamp = std::to_string(t);
  ASSERT_FALSE(stamp.empty());
  for (const char* name : {"_echo.pcm", "_nearend.pcm", "_farend.pcm", "_echo.log"})
    EXPECT_TRUE(std::filesystem::exists(dir / (stamp + name))) << name;
  EXPECT_EQ(dbg.GetPath(HX_EchoDebugger::kFarEnd), (dir / (stamp + "_farend.pcm")).string());

  const int16_t pcm[3] = {1, -2, 3};
  dbg.WriteData(HX_EchoDebugger::kNearEnd, pcm, sizeof pcm);
  dbg.Log(__FILE__, __LINE__, "not enabled %d", 1);
  dbg.SetEnabled(true);
  dbg.Log(__FILE__, __LINE__, "run muxer audio");
  const std::string longText(3000, 'x');
  dbg.Log(__FILE__, __LINE__, "%s", longText.c_str());
  dbg.Clear();
  EXPECT_FALSE(dbg.IsEnabled());
  EXPECT_EQ(ReadAll((dir / (stamp + "_nearend.pcm")).string()),
            std::string(reinterpret_cast<const char*>(pcm), 6));
  const std::string log = ReadAll((dir / (stamp + "_echo.log")).string());
  const auto eol = log.find('\n');
  ASSERT_NE(eol, std::string::npos);
  EXPECT_TRUE(std::regex_match(log.substr(0, eol),
                               std::regex("\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d run muxer audio")))
      << log.substr(0, eol);
  const std::string second = log.substr(eol + 1);
  EXPECT_EQ(second.size(), HX_EchoDebugger::kLineBytes - 1);
  EXPECT_EQ(second.back(), '\n');

  // A directory that does not exist: Init still answers true, with no file open.
  EXPECT_TRUE(dbg.Init((dir / "missing" / "deeper").string() + "/"));
  EXPECT_TRUE(dbg.GetPath(HX_EchoDebugger::kLog).empty());
  dbg.SetEnabled(true);
  dbg.Log(__FILE__, __LINE__, "nowhere");
  dbg.WriteData(HX_EchoDebugger::kEcho, pcm, sizeof pcm);
  std::filesystem::remove_all(dir);
}

}  // namespace
