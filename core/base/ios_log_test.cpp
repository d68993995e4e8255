#include "core/base/ios_log.h"

#include <gtest/gtest.h>

#include "testing/test_support.h"

namespace {

TEST(IosLog, DiscardsWithoutSinkAndFormatsIntoSink) {
  ios_log("nobody hears %d", 1);  // no sink: must not crash or print
  hx::testing::LogCapture capture;
  ios_log("%s, Err = %d", "socket", 24);
  ios_log("%s", std::string(3000, 'x').c_str());  // longer than any fixed buffer
  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "socket, Err = 24");
  EXPECT_EQ(lines[1].size(), 3000u);
}

TEST(IosLog, RemovedSinkStopsReceiving) {
  std::vector<std::string> seen;
  hx::SetLogSink([&](const std::string& line) { seen.push_back(line); });
  ios_log("one");
  hx::SetLogSink(nullptr);
  ios_log("two");
  EXPECT_EQ(seen, std::vector<std::string>{"one"});
}

}  // namespace
