// The video source on a clock the test steps, with no draw thread: the test calls CheckDraw
// itself and records what is released. Frames are hand-made: the 5-byte receive header, then a
// VP8 key-frame header announcing a size, or delta bytes. The draw thread's start and stop are
// checked on a real synchroniser.
#include "core/media/video/receive/video_sync.h"

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

#include "testing/video_receive_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes KeyFrame(int w, int h, uint8_t tag = 0) {
  return {0,
          33,
          0,
          0,
          0,
          0x10,
          0x02,
          tag,
          0x9D,
          0x01,
          0x2A,
          uint8_t(w),
          uint8_t(w >> 8),
          uint8_t(h),
          uint8_t(h >> 8),
          1,
          2,
          3,
          4,
          5,
          6,
          7,
          8};
}

Bytes DeltaFrame(uint8_t tag) { return {1, 33, 0, 0, 0, 0x31, tag, 9, 9, 9, 9, 9, 9, 9}; }

struct Released {
  Bytes frame;
  bool skip;
  int64_t due;
};

class SourceTest : public ::testing::Test {
 protected:
  SourceTest() : source(clock.Source()) {
    source.AudioDelaySignal.Connect(&delay,
                                    &hx_test::AudioDelayAnswer::OnAudioRequestTotalBuffDurr);
    source.FrameReleasedSignal.Connect(this, &SourceTest::OnReleased);
    source.DecoderFormatSignal.Connect(this, &SourceTest::OnDecoderFormat);
  }
  void OnReleased(const unsigned char* data, unsigned long size, bool skip) {
    released.push_back({Bytes(data, data + size), skip, source.GetReleasePlayTime()});
  }
  void OnDecoderFormat(const HX_MediaFormat& format) { formats.push_back(format); }

  // Adds a frame; answers keyFrameNeeded.
  bool Add(const Bytes& frame, int interval = 33) {
    bool needed = false;
    source.AddData(frame.data(), frame.size(), interval, nullptr, frame[0] == 0, needed);
    return needed;
  }
  int Draw() {
    int wait = -1;
    EXPECT_TRUE(source.CheckDraw(wait));
    return wait;
  }

  hx_test::SteppedClock clock{100000};
  hx_test::AudioDelayAnswer delay{200};
  CVideoSource source;
  std::vector<Released> released;
  std::vector<HX_MediaFormat> formats;
};

TEST_F(SourceTest, FirstFrameAfterDetachIsDueAfterTheAudioDelayWithItsFloor) {
  const struct {
    int reported;
    int64_t due;
  } cases[] = {{200, 210}, {60, 70}, {20, 70}, {0, 70}, {-5, 70}, {1000, 1010}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reported);
    source.Detach();
    delay.Set(c.reported);
    EXPECT_FALSE(Add(KeyFrame(320, 240)));
    EXPECT_EQ(source.GetLastPlayTime(), clock() + c.due);
    EXPECT_EQ(Draw(), c.due);
    clock.Step(c.due - 1);
    Draw();
    EXPECT_TRUE(released.empty());
    clock.Step(1);
    Draw();
    ASSERT_EQ(released.size(), 1u);
    EXPECT_FALSE(released[0].skip);
    EXPECT_EQ(released[0].due, clock());
    released.clear();
  }
}

TEST_F(SourceTest, GapsLongIntervalsAndDelayJumpsRestartTheTiming) {
  struct Restart {
    const char* what;
    int64_t gap;
    int interval;
    int delayAfter;
  };
  const Restart cases[] = {
      {"gap of 2001 ms", 2001, 33, 200},
      {"interval 1000", 33, 1000, 200},
      {"delay grew by 2001", 33, 33, 2201},
  };
  for (const Restart& c : cases) {
    SCOPED_TRACE(c.what);
    source.Detach();
    delay.Set(200);
    Add(KeyFrame(320, 240));
    for (int i = 0; i < 30; ++i) {
      clock.Step(33);
      Add(DeltaFrame(uint8_t(i)));
    }
    const int64_t steady = source.GetLastPlayTime();
    EXPECT_LT(steady - clock(), 300);  // smoothed, still near arrival + delay
    clock.Step(c.gap);
    delay.Set(c.delayAfter);
    Add(DeltaFrame(99), c.interval);
    EXPECT_EQ(source.GetLastPlayTime(), clock() + c.delayAfter + 10);
  }
  // Not a restart: a gap of 2000 ms and an interval of 999 keep the old timing, bounded by
  // twice the interval.
  source.Detach();
  Add(KeyFrame(320, 240));
  const int64_t first = source.GetLastPlayTime();
  clock.Step(2000);
  Add(DeltaFrame(1), 999);
  EXPECT_EQ(source.GetLastPlayTime(), first + 999);
}

TEST_F(SourceTest, EachCheckDrawReleasesEveryLateFrameButOneDueFrame) {
  Add(KeyFrame(320, 240));
  std::vector<int64_t> due = {source.GetLastPlayTime()};
  for (int i = 0; i < 12; ++i) {
    clock.Step(33);
    Add(DeltaFrame(uint8_t(i)));
    due.push_back(source.GetLastPlayTime());
  }
  for (size_t i = 1; i < due.size(); ++i) ASSERT_GT(due[i], due[i - 1]);
  // The first frame at whose due time two frames are more than 200 ms late.
  size_t at = 2;
  while (at + 1 < due.size() && due[at] - due[1] <= 200) ++at;
  ASSERT_LT(at + 1, due.size());
  const int64_t now = due[at];
  clock.Set(now);
  const int wait = Draw();
  size_t late = 0;
  while (now - due[late] > 200) ++late;
  ASSERT_GT(late, 1u);
  ASSERT_EQ(released.size(), late + 1);
  for (size_t i = 0; i < late; ++i) {
    EXPECT_TRUE(released[i].skip) << i;
    EXPECT_EQ(released[i].due, due[i]);
  }
  EXPECT_FALSE(released[late].skip);
  EXPECT_EQ(released[late].due, due[late]);
  EXPECT_EQ(wait, std::max<int64_t>(0, due[late + 1] - now));
  // One due frame per call, in order, the key frame first.
  EXPECT_EQ(released[0].frame[0], 0);
  released.clear();
  while (static_cast<size_t>(source.GetReadIndex() - 1) < due.size()) {
    const size_t before = released.size();
    // Nothing before its time: one millisecond early, nothing goes.
    const int64_t next = due[source.GetReadIndex() - 1];
    if (next > clock()) {
      clock.Set(next - 1);
      Draw();
      ASSERT_EQ(released.size(), before);
      clock.Set(next);
    }
    Draw();
    ASSERT_EQ(released.size(), before + 1);
    EXPECT_FALSE(released.back().skip);
  }
  EXPECT_EQ(Draw(), 10);  // an empty ring
}

TEST_F(SourceTest, DeltaFramesBeforeAKeyFrameAreRefusedAndAskForOne) {
  EXPECT_TRUE(Add(DeltaFrame(1)));
  EXPECT_EQ(source.GetWriteIndex(), 1);
  EXPECT_TRUE(source.IsWaitingForKeyFrame());
  const Bytes delta = DeltaFrame(2);
  EXPECT_EQ(source.CheckMediaFormat(delta.data(), delta.size()), -6);
  EXPECT_FALSE(Add(KeyFrame(320, 240)));
  EXPECT_FALSE(Add(DeltaFrame(3)));
  // A decoder's request is relayed once, by the next frame.
  source.OnNeedKeyFrame();
  source.OnNeedKeyFrame();
  EXPECT_TRUE(Add(DeltaFrame(4)));
  EXPECT_FALSE(Add(DeltaFrame(5)));
}

TEST_F(SourceTest, TheFormatGateAnswersByFrame) {
  const struct {
    const char* what;
    Bytes frame;
    int answer;
    bool formatEmitted;
  } cases[] = {
      {"empty", {}, -1, false},
      {"header cut at 1", {0}, -1, false},
      {"header cut at 4", {0, 1, 2, 3}, -1, false},
      {"header only", {0, 1, 2, 3, 4}, -1, false},
      {"delta first", DeltaFrame(1), -6, false},
      {"641x480", KeyFrame(641, 480), -5, false},
      {"640x479", KeyFrame(640, 479), -5, false},
      {"0x480", KeyFrame(0, 480), -5, false},
      {"640x0", KeyFrame(640, 0), -5, false},
      {"8194x480", KeyFrame(8194, 480), -5, false},
      {"16382x16382", KeyFrame(16382, 16382), -5, false},
      {"unknown codec", {0, 0, 0, 0, 0, 0x55, 0x55, 0x55, 0x55}, -1, false},
      {"8192x16", KeyFrame(8192, 16), 0, true},
      {"640x480", KeyFrame(640, 480), 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    source.Detach();
    formats.clear();
    std::unique_ptr<uint8_t[]> exact(new uint8_t[c.frame.size() + 1]);
    std::copy(c.frame.begin(), c.frame.end(), exact.get());
    EXPECT_EQ(source.CheckMediaFormat(c.frame.empty() ? nullptr : exact.get(), c.frame.size()),
              c.answer);
    EXPECT_EQ(formats.size(), c.formatEmitted ? 1u : 0u);
    // Delta frames pass only after a key frame that passed.
    const Bytes delta = DeltaFrame(7);
    EXPECT_EQ(source.CheckMediaFormat(delta.data(), delta.size()), c.answer == 0 ? 0 : -6);
  }
}

TEST_F(SourceTest, AKeyFrameOfANewSizeReopensTheDecoderOnce) {
  HX_MediaFormat format;
  format.width = 320;
  format.height = 240;
  format.frameRate = 30;
  source.ChangeFormat(format);
  const Bytes same = KeyFrame(320, 240);
  EXPECT_EQ(source.CheckMediaFormat(same.data(), same.size()), 0);
  EXPECT_TRUE(formats.empty());
  const Bytes larger = KeyFrame(1280, 720);
  EXPECT_EQ(source.CheckMediaFormat(larger.data(), larger.size()), 0);
  ASSERT_EQ(formats.size(), 1u);
  EXPECT_EQ(formats[0].width, 1280u);
  EXPECT_EQ(formats[0].height, 720u);
  EXPECT_EQ(formats[0].videoCodec, HX_MediaFormat::kCodecVP8);
  EXPECT_EQ(formats[0].frameRate, 30u);  // the stored format carries the new size
  EXPECT_EQ(source.GetFormat().width, 1280u);
  EXPECT_EQ(source.CheckMediaFormat(larger.data(), larger.size()), 0);
  EXPECT_EQ(formats.size(), 1u);
  // A 641x480 key frame is refused and delta frames with it, until a good key frame.
  const Bytes odd = KeyFrame(641, 480);
  EXPECT_EQ(source.CheckMediaFormat(odd.data(), odd.size()), -5);
  const Bytes delta = DeltaFrame(3);
  EXPECT_EQ(source.CheckMediaFormat(delta.data(), delta.size()), -6);
  EXPECT_EQ(source.CheckMediaFormat(larger.data(), larger.size()), 0);
  EXPECT_EQ(source.CheckMediaFormat(delta.data(), delta.size()), 0);
  EXPECT_EQ(formats.size(), 1u);
}

TEST_F(SourceTest, FramesThatFailTheGateAreDroppedWithoutRelease) {
  Add(KeyFrame(641, 480));
  clock.Step(33);
  Add(DeltaFrame(1));
  clock.Step(33);
  Add(KeyFrame(640, 480));
  clock.Step(33);
  Add(DeltaFrame(2));
  clock.Step(1000);
  for (int i = 0; i < 5; ++i) Draw();
  ASSERT_EQ(released.size(), 2u);
  EXPECT_EQ(released[0].frame, KeyFrame(640, 480));
  EXPECT_EQ(released[1].frame, DeltaFrame(2));
  EXPECT_EQ(source.GetReadIndex(), source.GetWriteIndex());
}

// The ring holds 199 frames. When it is full the read position moves to the first key frame in
// it; without one the newest 100 frames go and the source waits for a key frame.
TEST_F(SourceTest, AFullRingJumpsToItsFirstKeyFrameOrRollsBack) {
  for (int i = 0; i < 199; ++i) {
    Add(i % 60 == 0 ? KeyFrame(320, 240, uint8_t(i)) : DeltaFrame(uint8_t(i)));
    clock.Step(1);
  }
  EXPECT_EQ(source.GetWriteIndex() - source.GetReadIndex(), 199);
  EXPECT_FALSE(Add(DeltaFrame(199)));
  EXPECT_EQ(source.GetReadIndex(), 1 + 60);
  clock.Step(100000);
  for (int i = 0; i < 300 && source.GetReadIndex() < source.GetWriteIndex(); ++i) Draw();
  ASSERT_EQ(released.size(), 140u);
  EXPECT_EQ(released[0].frame, KeyFrame(320, 240, 60));
  EXPECT_EQ(released.back().frame, DeltaFrame(199));

  // No key frame in a full ring.
  source.Detach();
  released.clear();
  Add(KeyFrame(320, 240));
  for (int i = 1; i < 199; ++i) Add(DeltaFrame(uint8_t(i)));
  EXPECT_EQ(source.GetWriteIndex(), 200);
  EXPECT_TRUE(Add(DeltaFrame(200)));
  EXPECT_TRUE(source.IsWaitingForKeyFrame());
  EXPECT_EQ(source.GetWriteIndex(), 100);
  EXPECT_TRUE(Add(DeltaFrame(201)));
  EXPECT_FALSE(Add(KeyFrame(320, 240, 202)));
  EXPECT_EQ(source.GetWriteIndex(), 101);
}

// Play times are 64-bit: a process clock past 2^31 ms (24.8 days) keeps the order.
TEST(VideoSourceClock, PlayTimesBeyond32BitsStayInOrder) {
  hx_test::SteppedClock clock(int64_t{INT_MAX} - 500);
  CVideoSource source(clock.Source());
  hx_test::AudioDelayAnswer delay(100);
  source.AudioDelaySignal.Connect(&delay, &hx_test::AudioDelayAnswer::OnAudioRequestTotalBuffDurr);
  std::vector<int64_t> due;
  int released = 0;
  struct Counter {
    int* count;
    void On(const unsigned char*, unsigned long, bool skip) {
      if (!skip) ++*count;
    }
  } counter{&released};
  source.FrameReleasedSignal.Connect(&counter, &Counter::On);
  const Bytes key = KeyFrame(320, 240);
  bool needed = false;
  source.AddData(key.data(), key.size(), 33, nullptr, true, needed);
  due.push_back(source.GetLastPlayTime());
  for (int i = 0; i < 60; ++i) {
    clock.Step(33);
    const Bytes d = DeltaFrame(uint8_t(i));
    source.AddData(d.data(), d.size(), 33, nullptr, false, needed);
    due.push_back(source.GetLastPlayTime());
    int wait = 0;
    source.CheckDraw(wait);
  }
  EXPECT_GT(due.back(), int64_t{INT_MAX});
  for (size_t i = 1; i < due.size(); ++i) {
    EXPECT_GT(due[i], due[i - 1]);
    EXPECT_LT(due[i] - due[i - 1], 80);
  }
  EXPECT_GT(released, 50);
}

TEST(VideoSinc, TheDrawThreadRunsWhileASourceIsRegistered) {
  std::unique_ptr<CVideoSinc> sinc(HX_VideoSynchFactory::CreateVideoSynch());
  CVideoSource a, b;
  EXPECT_FALSE(sinc->IsRunning());
  EXPECT_FALSE(sinc->RemoveVideoSource(&a));
  sinc->AddVideoSource(&a);
  EXPECT_TRUE(sinc->IsRunning());
  sinc->AddVideoSource(&b);
  EXPECT_TRUE(sinc->RemoveVideoSource(&a));
  EXPECT_TRUE(sinc->IsRunning());
  EXPECT_FALSE(sinc->RemoveVideoSource(&a));
  EXPECT_TRUE(sinc->RemoveVideoSource(&b));
  EXPECT_FALSE(sinc->IsRunning());
  EXPECT_TRUE(sinc->IsIdle());
  sinc->AddVideoSource(&a);
  EXPECT_TRUE(sinc->IsRunning());
  EXPECT_EQ(sinc->SourceCount(), 1u);

  // A format change re-registers the source, detached, with the new format.
  HX_MediaFormat format;
  format.width = 640;
  format.height = 480;
  EXPECT_TRUE(sinc->ChangeFormatVideoSource(&a, format));
  EXPECT_EQ(a.GetFormat().width, 640u);
  EXPECT_FALSE(sinc->ChangeFormatVideoSource(&a, format));            // no change
  EXPECT_FALSE(sinc->ChangeFormatVideoSource(&b, HX_MediaFormat()));  // not registered
  EXPECT_TRUE(sinc->IsRunning());
  sinc.reset();  // stops the thread
}

}  // namespace
