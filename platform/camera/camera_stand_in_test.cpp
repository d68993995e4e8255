// The camera stand-in: its capture thread, mode changes while running, the file source, and the
// stop rules (no callback after Stop, Stop from inside the callback).

#include "platform/camera/camera_stand_in.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

namespace hx::platform {
namespace {

struct Seen {
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<std::pair<int, int>> sizes;
  std::vector<int64_t> times;
  std::vector<int> rates;
  std::thread::id thread;
  void Add(const uint8_t* d, int n, int w, int h, int64_t t, int fps) {
    std::lock_guard<std::mutex> hold(mutex);
    pictures.emplace_back(d, d + n);
    sizes.emplace_back(w, h);
    times.push_back(t);
    rates.push_back(fps);
    thread = std::this_thread::get_id();
  }
  size_t Count() {
    std::lock_guard<std::mutex> hold(mutex);
    return pictures.size();
  }
};

bool WaitCount(Seen& seen, size_t n) {
  for (int i = 0; i < 1000 && seen.Count() < n; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return seen.Count() >= n;
}

TEST(CameraStandIn, PatternFramesOnItsOwnThreadAtTheRate) {
  CameraStandIn camera;
  Seen seen;
  camera.SetCallback([&](const uint8_t* d, int n, int w, int h, int64_t t, int fps) {
    seen.Add(d, n, w, h, t, fps);
  });
  ASSERT_TRUE(camera.SetMode({64, 48, 10000}));
  ASSERT_TRUE(camera.Start());
  EXPECT_FALSE(camera.Start());
  ASSERT_TRUE(WaitCount(seen, 10));
  camera.Stop();
  const size_t n = seen.Count();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(seen.Count(), n) << "nothing after Stop";
  EXPECT_FALSE(camera.IsRunning());
  std::lock_guard<std::mutex> hold(seen.mutex);
  EXPECT_NE(seen.thread, std::this_thread::get_id());
  std::vector<uint8_t> expected(64 * 48 * 3 / 2);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(seen.sizes[i], std::make_pair(64, 48));
    EXPECT_EQ(seen.rates[i], 10000);
    CameraStandIn::MovingPattern(i, 64, 48, expected.data());
    EXPECT_EQ(seen.pictures[i], expected);
  }
  EXPECT_NE(seen.pictures[0], seen.pictures[1]) << "the pattern moves";
  // 100 frames per second: ten frames take about 90 ms (generous bounds on a shared machine).
  EXPECT_GE(seen.times[9] - seen.times[0], 80);
}

TEST(CameraStandIn, ModeTableAndChangeWhileRunning) {
  CameraStandIn camera;
  EXPECT_FALSE(camera.SetMode({641, 360, 3000}));
  EXPECT_FALSE(camera.SetMode({0, 360, 3000}));
  EXPECT_FALSE(camera.SetMode({8194, 360, 3000}));
  EXPECT_FALSE(camera.SetMode({640, 360, 50}));
  EXPECT_EQ(camera.GetMode().width, 640);
  Seen seen;
  camera.SetCallback([&](const uint8_t* d, int n, int w, int h, int64_t t, int fps) {
    seen.Add(d, n, w, h, t, fps);
  });
  ASSERT_TRUE(camera.SetMode({32, 16, 12000}));
  camera.Start();
  ASSERT_TRUE(WaitCount(seen, 2));
  ASSERT_TRUE(camera.SetMode({16, 32, 12000}));
  const size_t mark = seen.Count();
  ASSERT_TRUE(WaitCount(seen, mark + 2));
  camera.Stop();
  std::lock_guard<std::mutex> hold(seen.mutex);
  EXPECT_EQ(seen.sizes.back(), std::make_pair(16, 32));
  EXPECT_EQ(seen.pictures.back().size(), 16u * 32 * 3 / 2);
}

TEST(CameraStandIn, FileSourceLoops) {
  char path[] = "/tmp/camera_stand_in_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::vector<uint8_t> pictures(2 * 8 * 4 * 3 / 2 + 5);
  for (size_t i = 0; i < pictures.size(); ++i) pictures[i] = static_cast<uint8_t>(i);
  ASSERT_EQ(write(fd, pictures.data(), pictures.size()), static_cast<ssize_t>(pictures.size()));
  close(fd);
  CameraStandIn camera;
  EXPECT_FALSE(camera.UseFile(path, 7, 4));
  EXPECT_FALSE(camera.UseFile("/nonexistent/file.yuv", 8, 4));
  EXPECT_FALSE(camera.UseFile(path, 64, 64)) << "no whole picture";
  ASSERT_TRUE(camera.UseFile(path, 8, 4));
  Seen seen;
  camera.SetCallback([&](const uint8_t* d, int n, int w, int h, int64_t t, int fps) {
    seen.Add(d, n, w, h, t, fps);
  });
  camera.SetMode({640, 360, 12000});
  camera.Start();
  ASSERT_TRUE(WaitCount(seen, 3));
  camera.Stop();
  unlink(path);
  std::lock_guard<std::mutex> hold(seen.mutex);
  EXPECT_EQ(seen.sizes[0], std::make_pair(8, 4));
  EXPECT_EQ(seen.pictures[0], std::vector<uint8_t>(pictures.begin(), pictures.begin() + 48));
  EXPECT_EQ(seen.pictures[1], std::vector<uint8_t>(pictures.begin() + 48, pictures.begin() + 96));
  EXPECT_EQ(seen.pictures[2], seen.pictures[0]);
}

TEST(CameraStandIn, StopFromInsideTheCallback) {
  CameraStandIn camera;
  int calls = 0;
  camera.SetCallback([&](const uint8_t*, int, int, int, int64_t, int) {
    ++calls;
    camera.Stop();
  });
  camera.SetMode({16, 16, 12000});
  camera.Start();
  for (int i = 0; i < 200 && camera.IsRunning(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_FALSE(camera.IsRunning());
  camera.Stop();
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace hx::platform
