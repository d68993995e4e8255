// The bridge's camera side: the camera stand-in feeding HXVideoCapture through PutImage, the
// bridge's capture modes at a conference start, and the level signal switching the camera.

#include "sdk/bridge/hx_video_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Frames {
  std::mutex mutex;
  std::vector<std::pair<unsigned, unsigned>> sizes;
  std::vector<bool> keys;
  void OnFrame(const void*, const unsigned char*, unsigned long, HX_MediaFormat& f, unsigned long,
               bool key) {
    std::lock_guard<std::mutex> hold(mutex);
    sizes.emplace_back(f.width, f.height);
    keys.push_back(key);
  }
  size_t Count() {
    std::lock_guard<std::mutex> hold(mutex);
    return sizes.size();
  }
};

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

TEST(HXVideoCapture, BridgeCapsAreTheFourModesWidthFirst) {
  const HX_VideoCaptureCaps caps = HXCameraBridge::BridgeCaptureCaps();
  ASSERT_EQ(caps.modes.size(), 4u);
  const int expected[4][2] = {{288, 352}, {360, 480}, {480, 640}, {720, 1280}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(caps.modes[i].width, expected[i][0]);
    EXPECT_EQ(caps.modes[i].height, expected[i][1]);
    EXPECT_EQ(caps.modes[i].pixelFormat, hx_processing_defs::eI420);
    EXPECT_EQ(caps.modes[i].frameRates, std::vector<float>{30.0f});
  }
  EXPECT_EQ(caps.flags, 1u);
  EXPECT_FALSE(caps.screenCapture);
}

// Camera → PutImage → slot → frame ready; at the conference start the level signal asks for a mode,
// the bridge records it and the camera switches to that mode, whose pictures then reach the slot.
TEST(HXVideoCapture, ConferenceStartSwitchesTheCameraToTheChosenMode) {
  hx::platform::CameraStandIn camera;
  camera.SetMode({320, 240, 6000});
  HXCameraBridge bridge(&camera);
  auto capture = bridge._CreateCapture();
  EXPECT_EQ(bridge._CreateCapture(), capture);
  auto adapter = std::make_shared<HX_MediaFormatManagerAdapter>();
  adapter->SetRcvDynamicFmt(true);
  capture->SetMediaAdapter(adapter);
  Frames frames;
  capture->FrameReadySignal.Connect(&frames, &Frames::OnFrame);
  capture->StartProcessingThread();
  bridge.OnConferenceStart();
  camera.Start();
  ASSERT_TRUE(WaitFor([&] { return !bridge.RecordedVideoParams().empty(); }));
  const auto wish = bridge.RecordedVideoParams().front();
  ASSERT_GE(wish.modeIndex, 0);
  ASSERT_LT(wish.modeIndex, 4);
  const auto mode = HXCameraBridge::BridgeCaptureCaps().modes[wish.modeIndex];
  EXPECT_EQ(camera.GetMode().width, mode.width);
  ASSERT_TRUE(WaitFor([&] {
    std::lock_guard<std::mutex> hold(frames.mutex);
    return !frames.sizes.empty() &&
           frames.sizes.back() == std::make_pair(static_cast<unsigned>(mode.width),
                                                 static_cast<unsigned>(mode.height));
  }));
  camera.Stop();
  capture->StopProcessingThread();
  std::lock_guard<std::mutex> hold(frames.mutex);
  EXPECT_TRUE(frames.keys.front());
}

TEST(HXVideoCapture, OutOfRangeModeIndexSwitchesNothing) {
  hx::platform::CameraStandIn camera;
  camera.SetMode({320, 240, 3000});
  HXCameraBridge bridge(&camera);
  bridge.OnUpdateVideoParams(-1, 640, 480);
  bridge.OnUpdateVideoParams(4, 640, 480);
  EXPECT_EQ(camera.GetMode().width, 320);
  bridge.OnUpdateVideoParams(2, 640, 480);
  EXPECT_EQ(camera.GetMode().width, 480);
  EXPECT_EQ(camera.GetMode().height, 640);
  EXPECT_EQ(bridge.RecordedVideoParams().size(), 3u);
}

// One frame at a time: a picture arriving while another is inside the slot is dropped.
TEST(HXVideoCapture, PutImageDropsFramesWhileOneIsInside) {
  HXVideoCapture capture;
  auto adapter = std::make_shared<HX_MediaFormatManagerAdapter>();
  capture.SetMediaAdapter(adapter);
  struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool inside = false;
    bool release = false;
    int frames = 0;
    void OnFrame(const void*, const unsigned char*, unsigned long, HX_MediaFormat&, unsigned long,
                 bool) {
      std::unique_lock<std::mutex> hold(m);
      ++frames;
      inside = true;
      cv.notify_all();
      cv.wait(hold, [this] { return release; });
    }
  } gate;
  capture.FrameReadySignal.Connect(&gate, &Gate::OnFrame);
  capture.StartProcessingThread();
  std::vector<unsigned char> picture(64 * 48 * 3 / 2, 100);
  std::thread first([&] { capture.PutImage(picture.data(), picture.size(), 64, 48, 1000, 3000); });
  {
    std::unique_lock<std::mutex> hold(gate.m);
    gate.cv.wait(hold, [&] { return gate.inside; });
  }
  capture.PutImage(picture.data(), picture.size(), 64, 48, 1033, 3000);
  capture.PutImage(picture.data(), picture.size(), 64, 48, 1066, 3000);
  EXPECT_EQ(capture.DroppedImages(), 2u);
  {
    std::lock_guard<std::mutex> hold(gate.m);
    gate.release = true;
  }
  gate.cv.notify_all();
  first.join();
  capture.PutImage(picture.data(), picture.size(), 64, 48, 1100, 3000);
  EXPECT_EQ(gate.frames, 2);
  capture.StopProcessingThread();
}

}  // namespace
