// The capture slot with the real media-format adapter, capture-mode list and capture conversion,
// fed I420 (and other) pictures as the SDK bridge feeds them. A recorder logs every signal in
// order; the tests read the frames the send stream would get.

#include "core/media/video/video_capture_slot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> Picture(int w, int h, int seed) {
  std::vector<unsigned char> p(static_cast<size_t>(w) * h * 3 / 2);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<unsigned char>(i * 7 + seed);
  return p;
}

struct Recorder {
  struct Frame {
    std::vector<unsigned char> data;
    HX_MediaFormat format;
    unsigned long timestamp;
    bool key;
    std::thread::id thread;
  };
  std::mutex mutex;
  std::vector<std::string> order;
  std::vector<Frame> frames;
  std::vector<std::vector<unsigned>> levels;
  std::vector<HX_MediaFormat> reported;
  int previews = 0;

  void OnFrame(const void*, const unsigned char* d, unsigned long n, HX_MediaFormat& f,
               unsigned long ts, bool key) {
    std::lock_guard<std::mutex> hold(mutex);
    order.push_back("frame");
    frames.push_back(
        {std::vector<unsigned char>(d, d + n), f, ts, key, std::this_thread::get_id()});
  }
  void OnLevel(unsigned index, unsigned w, unsigned h) {
    std::lock_guard<std::mutex> hold(mutex);
    order.push_back("level");
    levels.push_back({index, w, h});
  }
  void OnPreview(const unsigned char*, unsigned long, unsigned, unsigned, unsigned, bool) {
    std::lock_guard<std::mutex> hold(mutex);
    order.push_back("preview");
    ++previews;
  }
  void OnModeFormat(HX_CaptureMode*, unsigned, HX_MediaFormat* f, unsigned) {
    std::lock_guard<std::mutex> hold(mutex);
    order.push_back("mode");
    reported.push_back(*f);
  }
  size_t FrameCount() {
    std::lock_guard<std::mutex> hold(mutex);
    return frames.size();
  }
};

template <typename Slot = HX_VideoCaptureSlotStub>
struct Fixture {
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter =
      std::make_shared<HX_MediaFormatManagerAdapter>();
  Slot slot;
  Recorder rec;
  unsigned long time = 1000;
  int seed = 0;

  explicit Fixture(bool attach = true) {
    if (attach) slot.SetMediaAdapter(adapter);
    slot.FrameReadySignal.Connect(&rec, &Recorder::OnFrame);
    slot.LevelSignal.Connect(&rec, &Recorder::OnLevel);
    slot.PreviewSignal.Connect(&rec, &Recorder::OnPreview);
    slot.ModeFormatSignal.Connect(&rec, &Recorder::OnModeFormat);
  }
  // One picture as the SDK bridge hands it over: 33 ms apart at 30 frames per second.
  void Put(int w = 640, int h = 360, int pixelFormat = 0, unsigned long fps = 3000,
           hx_processing_defs::eRotateMode rotate = hx_processing_defs::eRotateNone,
           long bytes = -1) {
    std::vector<unsigned char> p;
    if (bytes < 0) {
      p = Picture(w, h, seed++);
    } else {
      p.resize(static_cast<size_t>(std::max(bytes, 1L)));
      for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<unsigned char>(i * 7 + seed);
      ++seed;
    }
    HX_CaptureMode mode;
    mode.width = w;
    mode.height = h;
    mode.pixelFormat = static_cast<hx_processing_defs::eProcessingPixelFormat>(pixelFormat);
    slot.OnPutFrame(p.data(), bytes < 0 ? p.size() : static_cast<unsigned long>(bytes), fps, time,
                    false, &mode, rotate, hx_capture_defs::eCaptureDefault);
    time += 100000 / fps;
  }
  std::vector<bool> Keys() {
    std::vector<bool> keys;
    for (auto& f : rec.frames) keys.push_back(f.key);
    return keys;
  }
};

TEST(VideoCaptureSlot, NothingWithoutAdapter) {
  Fixture<> fx(false);
  fx.Put();
  EXPECT_TRUE(fx.rec.order.empty());
}

TEST(VideoCaptureSlot, FirstFrameAfterConstructionAndRestartIsKey) {
  Fixture<> fx;
  fx.slot.StartProcessingThread();
  fx.Put();
  fx.Put();
  ASSERT_EQ(fx.Keys(), (std::vector<bool>{true, false}));
  const auto& f = fx.rec.frames[0];
  EXPECT_EQ(f.format.width, 640u);
  EXPECT_EQ(f.format.height, 360u);
  EXPECT_EQ(f.data.size(), 640u * 360 * 3 / 2);
  EXPECT_EQ(f.data, Picture(640, 360, 0)) << "nothing to convert: the picture as it came";
  EXPECT_EQ(f.timestamp, 1000u);

  fx.slot.StopProcessingThread();
  fx.Put();
  EXPECT_EQ(fx.rec.frames.size(), 2u) << "blocked until started again";
  fx.slot.StartProcessingThread();
  fx.Put();
  fx.Put();
  EXPECT_EQ(fx.Keys(), (std::vector<bool>{true, false, true, false}));
}

TEST(VideoCaptureSlot, PauseRoleAndSecondaryChannels) {
  Fixture<> fx;
  fx.slot.StartProcessingThread();
  fx.Put();
  fx.slot.OnPauseVideoCapture(true);
  EXPECT_TRUE(fx.slot.GetPauseVideoCapture());
  const int previewsBefore = fx.rec.previews;
  fx.Put();
  fx.Put();
  EXPECT_EQ(fx.rec.frames.size(), 1u) << "paused: converted and previewed, not sent";
  EXPECT_EQ(fx.rec.previews, previewsBefore + 2);
  fx.slot.OnPauseVideoCapture(false);
  fx.Put();
  fx.Put();
  EXPECT_EQ(fx.Keys(), (std::vector<bool>{true, true, false}));

  fx.slot.OnRoleVideoCapture(false);
  fx.Put();
  EXPECT_EQ(fx.rec.frames.size(), 3u);
  fx.slot.OnRoleVideoCapture(true);
  fx.Put();
  EXPECT_EQ(fx.Keys(), (std::vector<bool>{true, true, false, true}));

  // Secondary channels keep the stream going while paused, non-key frames included.
  int key = 0;
  fx.slot.AddSecondaryChannel(&key, 0, 0);
  fx.slot.OnPauseVideoCapture(true);
  fx.Put();
  fx.Put();
  EXPECT_EQ(fx.Keys(), (std::vector<bool>{true, true, false, true, false, false}));
  fx.slot.RemoveSecondaryChannel(&key);
  fx.Put();
  EXPECT_EQ(fx.rec.frames.size(), 6u);
}

TEST(VideoCaptureSlot, DecimationAndHardwareFormats) {
  Fixture<> fx;
  fx.slot.StartProcessingThread();
  fx.slot.OnChangeCodecBitrate(0, 0, 1500);
  for (int i = 0; i < 10; ++i) fx.Put();
  EXPECT_EQ(fx.rec.frames.size(), 5u) << "3000 against 1500: every second frame skipped";
  EXPECT_EQ(fx.rec.reported.size(), 5u) << "skipped before any buffer work";
  unsigned reduced = 0;
  EXPECT_EQ(fx.slot.GetReduceFPS(reduced), reduced);
  unsigned capture = 0;
  EXPECT_EQ(fx.slot.GetCaptureFPS(capture), 3000u);

  // A hardware-encoded stream is never skipped and reaches the buffer unchanged (the platform
  // passes it to OnPutFrame directly: PutImage always says format 0).
  Fixture<> hw;
  hw.slot.StartProcessingThread();
  hw.slot.OnChangeCodecBitrate(0, 0, 1500);
  for (int i = 0; i < 6; ++i) hw.Put(640, 360, 6, 3000, hx_processing_defs::eRotateNone, 5000);
  ASSERT_EQ(hw.rec.frames.size(), 6u);
  const auto sent = Picture(640, 360, 5);
  EXPECT_TRUE(std::equal(sent.begin(), sent.begin() + 5000, hw.rec.frames[5].data.begin()));
}

TEST(VideoCaptureSlot, CodecBaseResolutionInModeAndFormatSignal) {
  Fixture<> fx;
  fx.slot.StartProcessingThread();
  fx.slot.OnChangeCodecBaseResolution((640u << 16) | 480u);
  fx.Put();
  ASSERT_EQ(fx.rec.reported.size(), 1u);
  EXPECT_EQ(fx.rec.reported[0].width, 640u);
  EXPECT_EQ(fx.rec.reported[0].height, 480u);
  EXPECT_EQ(fx.rec.frames[0].format.height, 360u);
  fx.slot.StartProcessingThread();  // clears it
  fx.Put();
  EXPECT_EQ(fx.rec.reported[1].height, 360u);
}

// Frames that cannot become a picture: a pixel format the toolbox cannot convert, and modes the
// platform reports with sizes that are not pictures (they would size the buffer). None is sent,
// the mode-and-format signal still fires, and the key-frame request waits for the next good frame.
TEST(VideoCaptureSlot, FailedFramesKeepTheKeyFrameRequest) {
  struct Row {
    const char* name;
    int w, h, pixelFormat;
  };
  const Row rows[] = {
      {"YVYU has no converter", 640, 360, 12},
      {"negative width", -640, 360, 0},
      {"zero height", 640, 0, 0},
      {"width above 8192", 8200, 16, 0},
      {"huge both", 65536, 65536, 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Fixture<> fx;
    fx.slot.StartProcessingThread();
    fx.Put(r.w, r.h, r.pixelFormat, 3000, hx_processing_defs::eRotateNone,
           r.w > 0 && r.h > 0 && r.w <= 8192 ? -1 : 4096);
    EXPECT_TRUE(fx.rec.frames.empty());
    EXPECT_EQ(fx.rec.previews, 0);
    EXPECT_EQ(fx.rec.reported.size(), 1u);
    EXPECT_TRUE(fx.slot.GetForceKeyFrameFlag());
    fx.Put();
    ASSERT_EQ(fx.rec.frames.size(), 1u);
    EXPECT_TRUE(fx.rec.frames[0].key);
    EXPECT_LE(fx.slot.GetBuffer(0).size, 8192ull * 8192 * 3 / 2);
  }
}

// The level signal fires only with a reported level, a descriptor with a mode index of -1 or more
// (the capture list has caps), receivers accepting a changing size, and a changed mode or size.
TEST(VideoCaptureSlot, LevelSignalConditions) {
  struct Row {
    bool caps, dynamic;
    size_t levels;
  };
  const Row rows[] = {{true, true, 1}, {false, true, 0}, {true, false, 0}};
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.caps << r.dynamic);
    Fixture<> fx;
    fx.adapter->SetRcvDynamicFmt(r.dynamic);
    fx.slot.StartProcessingThread();
    if (r.caps) {
      HX_VideoCaptureCaps caps;
      for (auto [w, h] : {std::pair{288, 352}, {360, 480}, {480, 640}, {720, 1280}}) {
        HX_CaptureMode m;
        m.width = w;
        m.height = h;
        m.frameRates = {30};
        caps.modes.push_back(m);
      }
      int index = -5;
      fx.slot.UpdateCaptureCaps(&caps, index);
      EXPECT_GE(index, -1);
    }
    fx.Put();
    fx.Put();  // no new level: nothing changes
    EXPECT_EQ(fx.rec.levels.size(), r.levels);
    if (r.levels == 1) {
      const auto wanted = fx.adapter->GetMediaFormat();
      EXPECT_EQ(fx.rec.levels[0][1], wanted.width);
      EXPECT_EQ(fx.rec.levels[0][2], wanted.height);
      EXPECT_EQ((std::vector<std::string>{fx.rec.order.begin(), fx.rec.order.begin() + 4}),
                (std::vector<std::string>{"preview", "level", "mode", "frame"}));
    } else {
      EXPECT_EQ((std::vector<std::string>{fx.rec.order.begin(), fx.rec.order.begin() + 3}),
                (std::vector<std::string>{"preview", "mode", "frame"}));
    }
  }
}

TEST(VideoCaptureSlot, SecondAdapterIsIgnored) {
  Fixture<> fx;
  auto other = std::make_shared<HX_MediaFormatManagerAdapter>();
  fx.slot.SetMediaAdapter(other);
  EXPECT_EQ(fx.slot.GetMediaAdapter(), fx.adapter);
  // Without an adapter the stereo flag is only stored.
  HX_VideoCaptureSlotStub bare;
  bare.OnForceStereoCapture(true);
}

// A toolbox that turns pictures a quarter (the base toolbox cannot).
class TurningProcessing : public HX_VideoProcessingBase {
 public:
  bool RotateI420(const unsigned char* src, int w, int h, unsigned char* dst, int dw, int dh,
                  eRotateMode) override {
    if (dw != h || dh != w) return false;
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) dst[x * dw + (h - 1 - y)] = src[y * w + x];
    }
    std::memset(dst + w * h, 128, w * h / 2);
    return true;
  }
};

class TurningSlot : public HX_VideoCaptureSlotBase {
 protected:
  std::shared_ptr<HX_VideoProcessingBase> _CreateVideoProcessing() override {
    return std::make_shared<TurningProcessing>();
  }
};

TEST(VideoCaptureSlot, QuarterTurnWithDynamicReceivers) {
  for (bool dynamic : {true, false}) {
    SCOPED_TRACE(dynamic);
    Fixture<TurningSlot> fx;
    fx.adapter->SetRcvDynamicFmt(dynamic);
    fx.slot.StartProcessingThread();
    fx.Put(640, 480, 0, 3000, hx_processing_defs::eRotateQuarter);
    ASSERT_EQ(fx.rec.frames.size(), 1u);
    EXPECT_EQ(fx.rec.frames[0].format.width, dynamic ? 480u : 640u);
    EXPECT_EQ(fx.rec.frames[0].format.height, dynamic ? 640u : 480u);
  }
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

TEST(VideoCaptureSlot, MultithreadedDeliveryOnTheProcessingThread) {
  Fixture<> fx;
  fx.slot.EnableMultithreading(true);
  fx.Put();
  EXPECT_EQ(fx.rec.previews, 1);
  EXPECT_EQ(fx.rec.frames.size(), 0u) << "the thread is not running: prepared, not sent";
  fx.slot.StartProcessingThread();
  for (int i = 0; i < 5; ++i) {
    const size_t before = fx.rec.FrameCount();
    fx.Put();
    ASSERT_TRUE(WaitFor([&] { return fx.rec.FrameCount() > before; }));
  }
  {
    std::lock_guard<std::mutex> hold(fx.rec.mutex);
    EXPECT_TRUE(fx.rec.frames[0].key);
    for (auto& f : fx.rec.frames) EXPECT_NE(f.thread, std::this_thread::get_id());
  }
  fx.slot.StopProcessingThread();
  const size_t stopped = fx.rec.FrameCount();
  fx.Put();
  EXPECT_EQ(fx.rec.FrameCount(), stopped);
  // Restarted: the thread runs again and the first frame is a key frame.
  fx.slot.StartProcessingThread();
  fx.Put();
  ASSERT_TRUE(WaitFor([&] { return fx.rec.FrameCount() > stopped; }));
  std::lock_guard<std::mutex> hold(fx.rec.mutex);
  EXPECT_TRUE(fx.rec.frames.back().key);
}

// Controls from two threads while the capture thread feeds frames; run under ThreadSanitizer too.
// Every key-frame request is answered by a key frame: after the last one there is one.
TEST(VideoCaptureSlot, ControlsFromTwoThreadsLoseNoKeyFrameRequest) {
  Fixture<> fx;
  fx.slot.StartProcessingThread();
  std::atomic<bool> stop{false};
  std::thread capture([&] {
    while (!stop.load()) {
      fx.Put(160, 120);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::thread pauser([&] {
    for (int i = 0; i < 200; ++i) {
      fx.slot.OnPauseVideoCapture(i % 2 == 0);
      fx.slot.OnRoleVideoCapture(i % 3 != 0);
      fx.slot.OnChangeCodecBaseResolution(i % 2 ? 0 : (160u << 16) | 120u);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    fx.slot.OnPauseVideoCapture(false);
    fx.slot.OnRoleVideoCapture(true);
  });
  std::thread keyer([&] {
    for (int i = 0; i < 200; ++i) {
      fx.slot.OnForceKeyFrame();
      fx.slot.OnChangeCodecBitrate(0, 0, 3000);
      unsigned out = 0;
      fx.slot.GetReduceFPS(out);
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  pauser.join();
  keyer.join();
  const size_t mark = fx.rec.FrameCount();
  fx.slot.OnForceKeyFrame();
  const bool keyArrived = WaitFor([&] {
    std::lock_guard<std::mutex> hold(fx.rec.mutex);
    for (size_t i = mark; i < fx.rec.frames.size(); ++i) {
      if (fx.rec.frames[i].key) return true;
    }
    return false;
  });
  stop = true;
  capture.join();
  EXPECT_TRUE(keyArrived);
}

// A receiver that takes its time: StopProcessingThread from another thread returns only after the
// emission in progress ended, so disconnecting right after it is safe (a disconnect during an
// emission ends the process).
TEST(VideoCaptureSlot, StopWaitsForTheEmissionInProgress) {
  struct Slow {
    std::atomic<bool> inside{false};
    std::atomic<int> count{0};
    void OnFrame(const void*, const unsigned char*, unsigned long, HX_MediaFormat&, unsigned long,
                 bool) {
      inside = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ++count;
      inside = false;
    }
  } slow;
  Fixture<> fx;
  fx.slot.FrameReadySignal.Connect(&slow, &Slow::OnFrame);
  fx.slot.StartProcessingThread();
  std::atomic<bool> stop{false};
  std::thread capture([&] {
    while (!stop.load()) fx.Put(160, 120);
  });
  for (int round = 0; round < 5; ++round) {
    if (!WaitFor([&] { return slow.inside.load(); })) {
      ADD_FAILURE() << "no frame reached the receiver in round " << round;
      break;
    }
    fx.slot.StopProcessingThread();
    EXPECT_FALSE(slow.inside.load());
    fx.slot.FrameReadySignal.Disconnect(&slow, &Slow::OnFrame);
    const int count = slow.count.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(slow.count.load(), count);
    fx.slot.FrameReadySignal.Connect(&slow, &Slow::OnFrame);
    fx.slot.StartProcessingThread();
  }
  stop = true;
  capture.join();
}

// A receiver that stops the slot from inside its frame-ready call is not waited for.
TEST(VideoCaptureSlot, StopFromInsideTheEmissionReturnsAtOnce) {
  struct Stopper {
    HX_VideoCaptureSlotBase* slot;
    int calls = 0;
    void OnFrame(const void*, const unsigned char*, unsigned long, HX_MediaFormat&, unsigned long,
                 bool) {
      ++calls;
      slot->StopProcessingThread();
    }
  };
  Fixture<> fx;
  Stopper stopper{&fx.slot};
  fx.slot.FrameReadySignal.Connect(&stopper, &Stopper::OnFrame);
  fx.slot.StartProcessingThread();
  fx.Put();
  EXPECT_EQ(stopper.calls, 1);
  fx.Put();
  EXPECT_EQ(stopper.calls, 1);
}

// Secondary channel pictures are drawn into the frame at their position.
TEST(VideoCaptureSlot, SecondaryChannelIsDrawn) {
  Fixture<> fx;
  fx.slot.StartProcessingThread();
  int key = 0;
  fx.slot.AddSecondaryChannel(&key, 16, 8);
  HX_MediaFormat small;
  small.width = 32;
  small.height = 16;
  std::vector<unsigned char> pic(32 * 16 * 3 / 2, 7);
  fx.slot.OnPutFrameSecondary(&key, pic.data(), pic.size() - 1, small, 0, false);
  fx.Put(64, 32);
  ASSERT_EQ(fx.rec.frames.size(), 1u);
  EXPECT_NE(fx.rec.frames[0].data[8 * 64 + 16], 7) << "a short picture is not taken";
  fx.slot.OnPutFrameSecondary(&key, pic.data(), pic.size(), small, 0, false);
  fx.Put(64, 32);
  ASSERT_EQ(fx.rec.frames.size(), 2u);
  const auto& d = fx.rec.frames[1].data;
  EXPECT_EQ(d[8 * 64 + 16], 7);
  EXPECT_EQ(d[23 * 64 + 47], 7);
  EXPECT_NE(d[7 * 64 + 16], 7);
  // U plane: rows from y / 2 = 4, columns from x / 2 = 8, 8 rows of 16.
  EXPECT_EQ(d[64 * 32 + 4 * 32 + 8], 7);
  EXPECT_EQ(d[64 * 32 + 11 * 32 + 23], 7);
}

}  // namespace
