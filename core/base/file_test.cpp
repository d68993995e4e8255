#include "core/base/file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "testing/test_support.h"

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

TEST(File, UsesTheStandardModes) {
  EXPECT_STREQ(io::StandardModes[io::kOpenRead], "rb");
  EXPECT_STREQ(io::StandardModes[io::kOpenWrite], "w+b");
  EXPECT_STREQ(io::StandardModes[io::kOpenAppend], "a+b");

  hx::testing::TempDir dir;
  const std::string path = dir.File("data.bin");
  io::File file;
  EXPECT_FALSE(file.Open(path.c_str(), io::kOpenRead));  // reading does not create
  EXPECT_FALSE(file.IsOpen());

  WriteAll(path, "old content");
  ASSERT_TRUE(file.Open(path.c_str(), io::kOpenWrite));  // truncates
  EXPECT_EQ(file.Path(), path);
  EXPECT_EQ(file.Write("abc", 3), 3u);
  EXPECT_EQ(file.Seek(0, io::kSeekSet), 0);
  char back[8] = {};
  EXPECT_EQ(file.Read(back, sizeof(back)), 3);  // reading allowed in write mode
  EXPECT_STREQ(back, "abc");

  ASSERT_TRUE(file.Open(path.c_str(), io::kOpenAppend));  // closes the first one
  EXPECT_EQ(file.Seek(0, io::kSeekSet), 0);
  EXPECT_EQ(file.Write("de", 2), 2u);  // appends whatever the position
  file.Close();
  EXPECT_EQ(ReadAll(path), "abcde");

  ASSERT_TRUE(file.Open(path.c_str(), io::kOpenRead));
  EXPECT_EQ(file.Write("x", 1), 0u);  // a read-only stream writes nothing
  EXPECT_EQ(file.Seek(-2, io::kSeekEnd), 3);
  EXPECT_EQ(file.Tell(), 3);
  EXPECT_EQ(file.Read(back, 2), 2);
  EXPECT_EQ(std::string(back, 2), "de");
  EXPECT_EQ(file.Seek(-10, io::kSeekSet), -1);
}

TEST(File, KeepsTheFirstMeasuredLengthUntilClosed) {
  hx::testing::TempDir dir;
  const std::string path = dir.File("log.txt");
  WriteAll(path, "12345");
  io::File file;
  ASSERT_TRUE(file.Open(path.c_str(), io::kOpenAppend));
  EXPECT_EQ(file.Seek(1, io::kSeekSet), 1);
  EXPECT_EQ(file.Length(), 5);
  EXPECT_EQ(file.Tell(), 1);  // measuring returns to where it was
  EXPECT_EQ(file.Write("678", 3), 3u);
  EXPECT_EQ(file.Length(), 5);  // cached
  file.Close();
  EXPECT_EQ(file.Length(), -1);
  ASSERT_TRUE(file.Open(path.c_str(), io::kOpenRead));
  EXPECT_EQ(file.Length(), 8);
  // Reopening under the stored path itself.
  ASSERT_TRUE(file.Open(file.Path().c_str(), io::kOpenAppend));
  EXPECT_EQ(file.Path(), path);
}

TEST(File, ClosedFileAnswersWithFailures) {
  io::File file;
  char buffer[4];
  EXPECT_EQ(file.Read(buffer, sizeof(buffer)), -1);
  EXPECT_EQ(file.Write("x", 1), 0u);
  EXPECT_EQ(file.Length(), -1);
  EXPECT_EQ(file.Tell(), -1);
  EXPECT_EQ(file.Seek(0, io::kSeekSet), -1);
  EXPECT_FALSE(file.Open(nullptr, io::kOpenRead));
  EXPECT_FALSE(file.Open("/tmp/x", static_cast<io::OpenMode>(3)));
  file.Close();  // closing twice is harmless

  hx::testing::TempDir dir;
  const std::string path = dir.File("a");
  ASSERT_TRUE(file.Open(path.c_str(), io::kOpenWrite));
  EXPECT_EQ(file.Read(nullptr, 4), -1);
  EXPECT_EQ(file.Write(nullptr, 4), 0u);
  file.Close();
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.Path(), "");
}

TEST(File, WritesThroughTheInterfaceAndClosesOnDestruction) {
  hx::testing::TempDir dir;
  const std::string path = dir.File("b");
  {
    std::unique_ptr<io::IFile> file = std::make_unique<io::File>();
    ASSERT_TRUE(file->Open(path.c_str(), io::kOpenWrite));
    EXPECT_EQ(file->Write("hello", 5), 5u);
  }
  EXPECT_EQ(ReadAll(path), "hello");  // flushed by the destructor
}

}  // namespace
