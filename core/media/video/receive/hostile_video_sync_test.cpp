// The receive-side synchroniser under a hostile peer and a busy host. On a clock the test steps:
// frames shorter than their header, key frames of odd sizes or sides beyond any limit, key flags
// that lie, hostile intervals and audio delays (negative, zero, INT_MIN, INT_MAX), long silence,
// a ring that overflows with and without a key frame in it; each checked against what the source
// must do (what reaches the decoder, the play times it gives, the key-frame requests it raises).
// On the real clock with the draw thread: a network thread per stream pushing real VP8 frames
// through the source to a real decoder front-end and a renderer, while a host thread changes
// formats, adds and removes sources and toggles drawing; removal and destruction while a picture
// is being painted. Waits are bounded; nothing asserts on how long anything took.

#include "core/media/video/receive/video_sync.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/media/video/bitstream/media_probe.h"
#include "core/media/video/codec/codec_vp8.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/video_decoder.h"
#include "testing/video_receive_support.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The receive header, then a VP8 key-frame header announcing a size, then `tail` bytes; byte 4 of
// the bitstream tail carries `tag` so that frames can be told apart.
Bytes KeyFrame(unsigned width, unsigned height, uint32_t tag = 0, size_t tail = 12) {
  Bytes f = {0,
             33,
             0,
             0,
             0,
             0x10,
             0x02,
             0x00,
             0x9D,
             0x01,
             0x2A,
             static_cast<uint8_t>(width),
             static_cast<uint8_t>(width >> 8),
             static_cast<uint8_t>(height),
             static_cast<uint8_t>(height >> 8)};
  for (size_t i = 0; i < tail; ++i) f.push_back(static_cast<uint8_t>(tag >> (8 * (i % 4))));
  return f;
}

Bytes DeltaFrame(uint32_t tag) {
  Bytes f = {1, 33, 0, 0, 0, 0x31};
  for (int i = 0; i < 8; ++i) f.push_back(static_cast<uint8_t>(tag >> (8 * (i % 4))));
  return f;
}

bool IsKey(const Bytes& f) { return !f.empty() && f[0] == 0; }

HX_MediaFormat Format(uint32_t width, uint32_t height) {
  HX_MediaFormat f;
  f.width = width;
  f.height = height;
  f.videoCodec = HX_MediaFormat::kCodecVP8;
  return f;
}

// A frame copied into a heap buffer of exactly its length (null for an empty one).
class Exact {
 public:
  explicit Exact(const Bytes& b)
      : size_(b.size()), p_(b.empty() ? nullptr : new uint8_t[b.size()]) {
    if (size_) std::memcpy(p_.get(), b.data(), size_);
  }
  const uint8_t* data() const { return p_.get(); }
  size_t size() const { return size_; }

 private:
  size_t size_;
  std::unique_ptr<uint8_t[]> p_;
};

struct Released {
  Bytes frame;
  bool skip;
  int64_t playTime;
  int64_t now;
};

// A source on a stepped clock, with its signals recorded; no draw thread.
class SourceFixture : public ::testing::Test {
 protected:
  SourceFixture() : source(clock.Source()) {
    source.AudioDelaySignal.Connect(&delay,
                                    &hx_test::AudioDelayAnswer::OnAudioRequestTotalBuffDurr);
    source.FrameReleasedSignal.Connect(this, &SourceFixture::OnReleased);
    source.DecoderFormatSignal.Connect(this, &SourceFixture::OnDecoderFormat);
  }

  bool Add(const Bytes& frame, bool key, int interval = 33) {
    const Exact exact(frame);
    bool needed = false;
    source.AddData(exact.data(), exact.size(), interval, nullptr, key, needed);
    EXPECT_LE(source.GetWriteIndex() - source.GetReadIndex(), CVideoSource::kSlots - 1);
    return needed;
  }
  bool Add(const Bytes& frame) { return Add(frame, IsKey(frame)); }

  int Check(const Bytes& frame) {
    const Exact exact(frame);
    return source.CheckMediaFormat(exact.data(), exact.size());
  }

  // One drawing round; checks its answer.
  int Draw() {
    int wait = -12345;
    EXPECT_TRUE(source.CheckDraw(wait));
    EXPECT_GE(wait, 0);
    return wait;
  }

  void OnReleased(const unsigned char* data, unsigned long size, bool skip) {
    released.push_back({Bytes(data, data + size), skip, source.GetReleasePlayTime(), clock()});
  }
  void OnDecoderFormat(const HX_MediaFormat& f) { formats.push_back(f); }

  // Every format handed to the decoder has a size a decoder can open.
  void ExpectUsableFormats() const {
    for (const HX_MediaFormat& f : formats) {
      EXPECT_TRUE(HX_PeerPictureSizeUsable(f.width, f.height)) << f.width << "x" << f.height;
      EXPECT_EQ(f.width % 2, 0u);
      EXPECT_EQ(f.height % 2, 0u);
    }
  }

  hx_test::SteppedClock clock{1000000};
  hx_test::AudioDelayAnswer delay;
  CVideoSource source;
  std::vector<Released> released;
  std::vector<HX_MediaFormat> formats;
};

// The format gate, step by step on one source: what answers, and which formats reach the decoder.
TEST_F(SourceFixture, FormatGateRefusesHostileFrames) {
  source.ChangeFormat(Format(320, 240));
  struct Step {
    const char* name;
    Bytes frame;
    int expect;
  } steps[] = {
      {"empty", {}, -1},
      {"one byte", {0}, -1},
      {"four bytes", {0, 1, 2, 3}, -1},
      {"delta before any key frame", DeltaFrame(1), -6},
      {"odd width", KeyFrame(641, 480), -5},
      {"delta after a refused key frame", DeltaFrame(2), -6},
      {"odd height", KeyFrame(640, 481), -5},
      {"width beyond the limit", KeyFrame(8194, 480), -5},
      {"height beyond the limit", KeyFrame(480, 8194), -5},
      {"both sides at the VP8 maximum", KeyFrame(16382, 16382), -5},
      {"still no delta", DeltaFrame(3), -6},
      {"a new usable size", KeyFrame(640, 480), 0},
      {"delta after it", DeltaFrame(4), 0},
      {"the same size again", KeyFrame(640, 480), 0},
      {"odd size after a good one", KeyFrame(33, 480), -5},
      {"delta after the odd one", DeltaFrame(5), -6},
      {"largest usable side", KeyFrame(8192, 16), 0},
  };
  for (const Step& s : steps) EXPECT_EQ(Check(s.frame), s.expect) << s.name;
  ASSERT_EQ(formats.size(), 2u);
  EXPECT_EQ(formats[0].width, 640u);
  EXPECT_EQ(formats[0].height, 480u);
  EXPECT_EQ(formats[1].width, 8192u);
  EXPECT_EQ(formats[1].height, 16u);
  EXPECT_EQ(source.GetFormat().width, 8192u);
  ExpectUsableFormats();
}

// Key frames cut at every length (and a side of 0) read only their own bytes, never pass as a
// checked key frame with a size other than the announced one, and hand the decoder no unusable
// format.
TEST_F(SourceFixture, CutKeyFramesAndZeroSides) {
  source.ChangeFormat(Format(320, 240));
  const Bytes full = KeyFrame(640, 480, 0, 0);
  for (size_t n = 0; n <= full.size(); ++n) {
    const int answer = Check(Bytes(full.begin(), full.begin() + static_cast<long>(n)));
    EXPECT_LE(answer, 0) << n;
  }
  for (const Bytes& zero : {KeyFrame(0, 0), KeyFrame(0, 480), KeyFrame(640, 0)}) {
    EXPECT_LE(Check(zero), 0);
  }
  ExpectUsableFormats();
  for (const HX_MediaFormat& f : formats) {
    EXPECT_EQ(f.width, 640u);
    EXPECT_EQ(f.height, 480u);
  }
}

// The play time of every frame, for hostile intervals, audio delays and gaps: a restart puts the
// frame one (bounded) audio delay plus 10 ms after now; otherwise it follows the previous play
// time by at least 10 ms and at least half the interval, and at most twice the interval (or 10 ms).
TEST_F(SourceFixture, PlayTimesStayBoundedForHostileTimings) {
  const int intervals[] = {INT_MIN, -1000000, -1, 0, 1, 33, 33, 33, 500, 999, 1000, INT_MAX};
  const int delays[] = {INT_MIN, -5000, 0,    20,   59,    60,    61,     100,
                        100,     100,   2100, 5000, 60000, 60001, INT_MAX};
  const int64_t steps[] = {0, 1, 33, 33, 33, 50, 2000, 2001, 3600000};
  std::mt19937 rng(99);
  int64_t lastArrival = 0;
  int lastDelay = 0;
  int64_t lastPlay = 0;
  int restarts = 0;
  for (int i = 0; i < 190; ++i) {
    const int interval = intervals[rng() % std::size(intervals)];
    const int reported = delays[rng() % std::size(delays)];
    clock.Step(steps[rng() % std::size(steps)]);
    delay.Set(reported);
    const int64_t now = clock();
    const int bounded =
        std::clamp(reported, CVideoSource::kMinAudioDelayMs, CVideoSource::kMaxAudioDelayMs);
    const bool restart = i == 0 || std::llabs(now - lastArrival) > 2000 || interval > 999 ||
                         std::llabs(static_cast<int64_t>(bounded) - lastDelay) >= 2001;
    Add(KeyFrame(16, 16, static_cast<uint32_t>(i)), true, interval);
    const int64_t play = source.GetLastPlayTime();
    SCOPED_TRACE(testing::Message() << "frame " << i << " interval " << interval << " delay "
                                    << reported << " now " << now);
    if (restart) {
      ++restarts;
      EXPECT_EQ(play, now + bounded + 10);
    } else if (interval <= 0) {
      EXPECT_EQ(play, lastPlay + 10);
    } else {
      EXPECT_GE(play, lastPlay + std::max(10, interval / 2));
      EXPECT_LE(play, lastPlay + std::max(10, 2 * interval));
    }
    lastArrival = now;
    lastDelay = bounded;
    lastPlay = play;
    if (HasFailure()) break;
  }
  EXPECT_GT(restarts, 10);
  EXPECT_LT(restarts, 180);
}

// Silence: after a long gap the timing restarts and the next frame is due one audio delay (at
// least 60 ms) plus 10 ms after its arrival, not at the stale rhythm of the frames before.
TEST_F(SourceFixture, SilenceRestartsTheTiming) {
  for (int i = 0; i < 30; ++i) {
    Add(i == 0 ? KeyFrame(16, 16, 0) : DeltaFrame(static_cast<uint32_t>(i)));
    clock.Step(33);
    Draw();
  }
  clock.Step(24 * 3600 * 1000);
  delay.Set(20);
  Add(DeltaFrame(99));
  EXPECT_EQ(source.GetLastPlayTime(), clock() + 70);
  // The frames left from before the gap go out skipped; the drawer then waits for the new one.
  released.clear();
  EXPECT_EQ(Draw(), 70);
  for (const Released& r : released) EXPECT_TRUE(r.skip);
  clock.Step(70);
  Draw();
  ASSERT_FALSE(released.empty());
  EXPECT_EQ(released.back().frame, DeltaFrame(99));
  EXPECT_FALSE(released.back().skip);

  // An audio delay of a minute: the drawer is told to wait that long, not a wrapped value.
  delay.Set(60000);
  clock.Step(24 * 3600 * 1000);
  Add(DeltaFrame(100));
  EXPECT_EQ(Draw(), 60010);
}

// One audio-delay answer of 60 s (a burst the audio buffer took in at once) must not hold the
// video back once the delay is normal again: within ten frames, frames are due about one audio
// delay after their arrival: the timing restarts when the delay falls by 2001 ms or more, as when
// it grows as much.
TEST_F(SourceFixture, AudioDelaySpikeDoesNotStallTheVideo) {
  delay.Set(100);
  for (int i = 0; i < 62; ++i) {
    if (i == 50) delay.Set(60000);
    if (i == 51) delay.Set(100);
    Add(i % 25 == 0 ? KeyFrame(16, 16, static_cast<uint32_t>(i))
                    : DeltaFrame(static_cast<uint32_t>(i)));
    if (i == 50) EXPECT_EQ(source.GetLastPlayTime(), clock() + 60010);
    clock.Step(33);
    Draw();
  }
  EXPECT_LT(source.GetLastPlayTime() - clock(), 2000);
}

// With an idle drawer the clock passes a whole queue: one round releases every frame more than
// 200 ms late with skip true, in order, intact, then at most one due frame without skip.
TEST_F(SourceFixture, LateFramesAreReleasedSkippedAndInOrder) {
  std::vector<Bytes> sent;
  for (int i = 0; i < 150; ++i) {
    sent.push_back(i % 50 == 0 ? KeyFrame(320, 240, static_cast<uint32_t>(i))
                               : DeltaFrame(static_cast<uint32_t>(i)));
    Add(sent.back());
    clock.Step(33);
  }
  // Frames are due every 33 ms; stepping 7 ms at a time releases at most one on time per round.
  const int64_t end = source.GetLastPlayTime() + 1000;
  while (clock() < end) {
    const size_t before = released.size();
    Draw();
    int onTime = 0;
    for (size_t i = before; i < released.size(); ++i) {
      const Released& r = released[i];
      if (r.skip) {
        EXPECT_GE(r.now - r.playTime, CVideoSource::kLateMs + 1);
      } else {
        ++onTime;
        EXPECT_LE(r.playTime, r.now);
      }
    }
    EXPECT_LE(onTime, 1);
    clock.Step(7);
  }
  ASSERT_EQ(released.size(), sent.size());
  for (size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(released[i].frame, sent[i]) << i;
  }
  EXPECT_EQ(Draw(), 10) << "an empty ring answers 10";

  // A whole queue that is already late: everything in one round, all skipped.
  released.clear();
  for (int i = 0; i < 100; ++i) {
    Add(DeltaFrame(static_cast<uint32_t>(1000 + i)));
    clock.Step(33);
  }
  clock.Step(3600000);
  Draw();
  ASSERT_EQ(released.size(), 100u);
  for (const Released& r : released) EXPECT_TRUE(r.skip);
}

// A key frame of a new size reaches the decoder only after the decoder was told the size, and
// frames of the old size queued behind a refused key frame do not follow it.
TEST_F(SourceFixture, NewSizeIsAnnouncedBeforeItsKeyFrame) {
  std::vector<std::string> events;
  struct Log {
    std::vector<std::string>* events;
    void OnFrame(const unsigned char* d, unsigned long n, bool) {
      events->push_back(d[0] == 0 ? "key " + std::to_string(n) : "delta");
    }
    void OnFormat(const HX_MediaFormat& f) {
      events->push_back(std::to_string(f.width) + "x" + std::to_string(f.height));
    }
  } log{&events};
  source.FrameReleasedSignal.Connect(&log, &Log::OnFrame);
  source.DecoderFormatSignal.Connect(&log, &Log::OnFormat);
  const Bytes frames[] = {KeyFrame(320, 240, 1, 4), DeltaFrame(1),
                          KeyFrame(641, 480, 2, 6), DeltaFrame(2),
                          KeyFrame(640, 480, 3, 8), DeltaFrame(3)};
  for (const Bytes& f : frames) {
    Add(f);
    clock.Step(33);
  }
  clock.Step(3600000);
  Draw();
  const std::vector<std::string> expected = {"320x240", "key 19", "delta",
                                             "640x480", "key 23", "delta"};
  EXPECT_EQ(events, expected);
}

// Lying frames: frames shorter than the header with the key flag set, a delta frame flagged as
// key: none reaches the decoder before a key frame that passes the gate.
TEST_F(SourceFixture, LyingFramesNeverReachTheDecoder) {
  const std::vector<std::pair<Bytes, bool>> frames = {{{}, true},
                                                      {{0}, true},
                                                      {{0, 0, 0, 0}, true},
                                                      {DeltaFrame(1), true},
                                                      {DeltaFrame(2), false},
                                                      {KeyFrame(641, 480), true},
                                                      {KeyFrame(8194, 8194), true},
                                                      {DeltaFrame(3), false},
                                                      {KeyFrame(320, 240, 7), true},
                                                      {DeltaFrame(4), false}};
  for (const auto& [frame, key] : frames) {
    Add(frame, key);
    clock.Step(33);
  }
  clock.Step(3600000);
  Draw();
  ASSERT_EQ(released.size(), 2u);
  EXPECT_EQ(released[0].frame, KeyFrame(320, 240, 7));
  EXPECT_EQ(released[1].frame, DeltaFrame(4));
  ExpectUsableFormats();
}

// A full ring without a key frame throws frames away, waits for a key frame and asks for one;
// what is released later is a subset of what was sent, in order, starting with a key frame.
TEST_F(SourceFixture, RingOverflowWithoutKeyFrame) {
  std::vector<Bytes> sent;
  bool asked = false;
  Add(KeyFrame(320, 240, 0));
  sent.push_back(KeyFrame(320, 240, 0));
  for (int i = 1; i < 450; ++i) {
    sent.push_back(DeltaFrame(static_cast<uint32_t>(i)));
    asked = Add(sent.back()) || asked;
    clock.Step(33);
  }
  EXPECT_TRUE(asked);
  EXPECT_TRUE(source.IsWaitingForKeyFrame());
  EXPECT_TRUE(Add(DeltaFrame(9999))) << "a refused delta frame asks for a key frame";
  const Bytes key = KeyFrame(320, 240, 777);
  sent.push_back(key);
  Add(key);
  EXPECT_FALSE(source.IsWaitingForKeyFrame());

  clock.Step(3600000);
  Draw();
  ASSERT_FALSE(released.empty());
  EXPECT_TRUE(IsKey(released.front().frame));
  size_t at = 0;
  for (const Released& r : released) {
    while (at < sent.size() && sent[at] != r.frame) ++at;
    ASSERT_LT(at, sent.size()) << "released a frame not sent, or out of order";
    ++at;
  }
  EXPECT_EQ(released.back().frame, key);
}

// A full ring with a key frame in it jumps to that key frame: nothing older is released.
TEST_F(SourceFixture, RingOverflowJumpsToTheKeyFrame) {
  std::vector<Bytes> sent;
  for (int i = 0; i < 260; ++i) {
    sent.push_back(i == 0 || i == 101 ? KeyFrame(320, 240, static_cast<uint32_t>(i))
                                      : DeltaFrame(static_cast<uint32_t>(i)));
    Add(sent.back());
    clock.Step(33);
  }
  clock.Step(3600000);
  Draw();
  ASSERT_FALSE(released.empty());
  EXPECT_EQ(released.front().frame, sent[101]);
  size_t at = 101;
  for (const Released& r : released) {
    while (at < sent.size() && sent[at] != r.frame) ++at;
    ASSERT_LT(at, sent.size()) << "released a frame not sent, or out of order";
    ++at;
  }
  EXPECT_EQ(released.back().frame, sent.back());
}

// A stream that starts soon after the clock's origin (the core's tick starts near 0 when the
// library loads): its first frame after Detach must still start the timing and be drawn on time,
// not be taken for a frame that is long overdue.
TEST(HostileVideoSyncEarly, FirstFrameNearClockOriginIsDrawn) {
  for (int64_t start : {0, 500, 1999}) {
    SCOPED_TRACE(start);
    hx_test::SteppedClock clock(start);
    hx_test::AudioDelayAnswer delay(100);
    CVideoSource source(clock.Source());
    source.AudioDelaySignal.Connect(&delay,
                                    &hx_test::AudioDelayAnswer::OnAudioRequestTotalBuffDurr);
    std::vector<bool> skips;
    struct Recorder {
      std::vector<bool>* skips;
      void OnReleased(const unsigned char*, unsigned long, bool skip) { skips->push_back(skip); }
    } recorder{&skips};
    source.FrameReleasedSignal.Connect(&recorder, &Recorder::OnReleased);
    const Bytes key = KeyFrame(320, 240);
    bool needed = false;
    source.AddData(key.data(), key.size(), 33, nullptr, true, needed);
    EXPECT_EQ(source.GetLastPlayTime(), start + 110);
    clock.Set(start + 110);
    int wait = 0;
    source.CheckDraw(wait);
    ASSERT_EQ(skips.size(), 1u);
    EXPECT_FALSE(skips[0]) << "the stream's first key frame was not drawn";
  }
}

// Key-frame requests: every refused delta frame while waiting, and once after a decoder's request.
TEST_F(SourceFixture, KeyFrameRequests) {
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(Add(DeltaFrame(static_cast<uint32_t>(i)))) << i;
  EXPECT_EQ(source.GetWriteIndex(), 1);
  EXPECT_FALSE(Add(KeyFrame(320, 240)));
  EXPECT_FALSE(Add(DeltaFrame(50)));
  source.OnNeedKeyFrame();
  source.OnNeedKeyFrame();
  EXPECT_TRUE(Add(DeltaFrame(51)));
  EXPECT_FALSE(Add(DeltaFrame(52)));
  source.Detach();
  EXPECT_TRUE(Add(DeltaFrame(53)));
  EXPECT_EQ(source.GetWriteIndex(), 1);
}

// ---------------------------------------------------------------------------------------------
// With the draw thread.

// Runs a function on a thread; Finish waits a bounded time and ends the test program when the
// thread hangs (a deadlock must not wait for the test runner's timeout).
class Worker {
 public:
  explicit Worker(std::function<void()> fn) {
    std::packaged_task<void()> task(std::move(fn));
    done_ = task.get_future();
    thread_ = std::thread(std::move(task));
  }
  ~Worker() { Finish(); }
  void Finish(int seconds = 120) {
    if (!thread_.joinable()) return;
    if (done_.wait_for(std::chrono::seconds(seconds)) != std::future_status::ready) {
      std::fprintf(stderr, "a worker thread hung (deadlock?)\n");
      std::abort();
    }
    thread_.join();
  }
  std::thread::id id() const { return thread_.get_id(); }

 private:
  std::future<void> done_;
  std::thread thread_;
};

// Real VP8 frames (with their receive headers) from the factory's encoder.
std::vector<Bytes> EncodeVp8(int width, int height, int count) {
  HX_VideoCodecFactory factory;
  auto codec =
      factory.CreateEncoder(HX_MediaFormat::kCodecVP8, hx_vfactory_defs::eTypeCodecSoftware);
  HX_VideoCoderOptions o;
  o.width = width;
  o.height = height;
  o.timeBase = 10;
  o.bitrate = 128;
  o.constantBitrate = 1;
  o.keyFrameMaxDistance = 1000;
  o.threads = 1;
  o.cpuUsed = -14;
  o.staticThreshold = 800;
  EXPECT_TRUE(codec->init(&o, 0));
  std::vector<Bytes> frames;
  Bytes picture(static_cast<size_t>(width) * height * 3 / 2);
  for (int i = 0; i < count; ++i) {
    for (size_t p = 0; p < picture.size(); ++p) picture[p] = static_cast<uint8_t>(p * 7 + i * 5);
    Bytes out(static_cast<size_t>(width) * height * 3 + 5);
    HX_VideoCodecParam param;
    param.request = i == 0 ? 0 : 1;
    const int n = codec->convert(picture.data(), out.data() + 5, param);
    EXPECT_GT(n, 0);
    out[0] = param.keyFrame ? 0 : 1;
    out[1] = 33;
    out[2] = out[3] = out[4] = 0;
    out.resize(5 + static_cast<size_t>(std::max(n, 0)));
    frames.push_back(out);
  }
  return frames;
}

// One receive stream's video path as the stream wires it: source → decoder → renderer.
// The source runs on the core's tick moved a day ahead: a client's clock long after its start, so
// that these tests do not depend on how soon after loading they run (see
// FirstFrameNearClockOriginIsDrawn).
class Stream {
 public:
  Stream() : source([] { return hx::GetTickCount() + 24 * 3600 * 1000; }) {
    decoder.SetCodecFactory(&factory);
    decoder.Reinit(Format(160, 120));
    source.AudioDelaySignal.Connect(&delay,
                                    &hx_test::AudioDelayAnswer::OnAudioRequestTotalBuffDurr);
    source.FrameReleasedSignal.Connect(static_cast<HX_VideoDecoderBase*>(&decoder),
                                       &HX_VideoDecoderBase::OnReady2Decompress);
    source.DecoderFormatSignal.Connect(static_cast<HX_VideoDecoderBase*>(&decoder),
                                       &HX_VideoDecoderBase::ChangeFormat);
    decoder.RequestKeyFrameSignal.Connect(&source, &CVideoSource::OnNeedKeyFrame);
    decoder.DecodedPictureSignal.Connect(this, &Stream::OnPicture);
  }

  void Push(const Bytes& frame) {
    const Exact exact(frame);
    bool needed = false;
    source.AddData(exact.data(), exact.size(), 33, nullptr, IsKey(frame), needed);
    if (needed) keyRequests.fetch_add(1);
  }

  HX_VideoCodecFactory factory;
  HX_VideoDecoder decoder;
  CVideoSource source;
  hx_test::AudioDelayAnswer delay;
  hx_test::RecordingRenderer renderer;
  std::atomic<int> keyRequests{0};

 private:
  void OnPicture(const unsigned char* p, unsigned long size, unsigned w, unsigned h, unsigned fcc) {
    if (renderer.IsVideoEnabled()) renderer.OnPaint(p, size, w, h, fcc);
  }
};

// Every painted picture is whole for its size, of a size the peer sent, and painted by the draw
// thread (never by the test's own threads).
void ExpectSanePictures(const hx_test::RecordingRenderer& renderer,
                        const std::set<std::thread::id>& notDrawing) {
  for (const hx_test::PaintedPicture& p : renderer.Pictures()) {
    const bool known = (p.width == 160 && p.height == 120) || (p.width == 320 && p.height == 240);
    EXPECT_TRUE(known) << p.width << "x" << p.height;
    EXPECT_EQ(p.size, HXCodecVP8Decoder::OutputBytes(p.width, p.height));
    EXPECT_EQ(p.value, HX_MediaFormat::kCodecVP8);
    EXPECT_EQ(notDrawing.count(p.thread), 0u);
  }
}

// Two streams fed real VP8 at two sizes by their network threads, while a host thread changes
// formats, removes and adds the sources and toggles drawing. Afterwards the path still works: a
// fresh key frame is painted.
TEST(HostileVideoSyncThreads, NetworkDrawAndHostAtOnce) {
  const std::vector<Bytes> small = EncodeVp8(160, 120, 30);
  const std::vector<Bytes> large = EncodeVp8(320, 240, 30);
  Stream streams[2];
  std::unique_ptr<CVideoSinc> sinc(HX_VideoSynchFactory::CreateVideoSynch());
  for (Stream& s : streams) sinc->AddVideoSource(&s.source);
  EXPECT_TRUE(sinc->IsRunning());

  std::atomic<int> networkDone{0};
  std::vector<std::unique_ptr<Worker>> network;
  for (Stream& s : streams) {
    network.push_back(std::make_unique<Worker>([&s, &small, &large, &networkDone] {
      for (int round = 0; round < 16; ++round) {
        const std::vector<Bytes>& frames = round % 2 ? large : small;
        for (const Bytes& f : frames) {
          s.Push(f);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));  // pacing only
        }
      }
      networkDone.fetch_add(1);
    }));
  }
  Worker host([&] {
    std::mt19937 rng(5);
    bool registered[2] = {true, true};
    while (networkDone.load() < 2) {
      const int i = static_cast<int>(rng() % 2);
      Stream& s = streams[i];
      switch (rng() % 4) {
        case 0:
          if (registered[i]) {
            EXPECT_TRUE(sinc->RemoveVideoSource(&s.source));
          } else {
            sinc->AddVideoSource(&s.source);
          }
          registered[i] = !registered[i];
          break;
        case 1: {
          const HX_MediaFormat f = rng() % 2 ? Format(320, 240) : Format(160, 120);
          const bool changed = sinc->ChangeFormatVideoSource(&s.source, f);
          if (!registered[i]) EXPECT_FALSE(changed);
          break;
        }
        case 2:
          s.renderer.SetVideoEnabled(!s.renderer.IsVideoEnabled());
          break;
        default:
          EXPECT_FALSE(sinc->RemoveVideoSource(reinterpret_cast<CVideoSource*>(&rng)));
      }
      EXPECT_EQ(sinc->SourceCount(),
                static_cast<size_t>(registered[0]) + static_cast<size_t>(registered[1]));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));  // pacing only
    }
    for (int k = 0; k < 2; ++k) {
      if (!registered[k]) sinc->AddVideoSource(&streams[k].source);
    }
  });
  for (auto& w : network) w->Finish();
  host.Finish();

  std::set<std::thread::id> notDrawing = {std::this_thread::get_id(), host.id()};
  for (auto& w : network) notDrawing.insert(w->id());
  for (Stream& s : streams) {
    s.renderer.SetVideoEnabled(true);
    // The source's stored format may match the next key frame while the decoder is open for the
    // other size (the host changed it behind the decoder's back); a different stored size makes
    // the next key frame reopen the decoder.
    sinc->ChangeFormatVideoSource(&s.source, Format(320, 240));
    const size_t before = s.renderer.Count();
    for (const Bytes& f : small) s.Push(f);
    EXPECT_TRUE(s.renderer.WaitForCount(before + 1, 20000)) << "nothing painted after the storm";
  }
  for (Stream& s : streams) EXPECT_TRUE(sinc->RemoveVideoSource(&s.source));
  EXPECT_EQ(sinc->SourceCount(), 0u);
  EXPECT_FALSE(sinc->IsRunning());
  sinc.reset();
  for (Stream& s : streams) ExpectSanePictures(s.renderer, notDrawing);
}

// Removing the last source while its picture is being painted waits for that round, stops the
// draw thread, and a new source starts it again.
TEST(HostileVideoSyncThreads, RemoveWhilePainting) {
  const std::vector<Bytes> frames = EncodeVp8(160, 120, 3);
  Stream stream;
  CVideoSinc sinc;
  sinc.AddVideoSource(&stream.source);
  stream.renderer.Hold();
  for (const Bytes& f : frames) stream.Push(f);
  ASSERT_TRUE(stream.renderer.WaitUntilHeld(20000));

  std::atomic<bool> removed{false};
  Worker remover([&] { removed.store(sinc.RemoveVideoSource(&stream.source)); });
  stream.renderer.Release();
  remover.Finish();
  EXPECT_TRUE(removed.load());
  EXPECT_EQ(sinc.SourceCount(), 0u);
  EXPECT_FALSE(sinc.IsRunning());
  EXPECT_FALSE(sinc.RemoveVideoSource(&stream.source));

  sinc.AddVideoSource(&stream.source);
  EXPECT_TRUE(sinc.IsRunning());
  const size_t before = stream.renderer.Count();
  for (const Bytes& f : frames) stream.Push(f);
  EXPECT_TRUE(stream.renderer.WaitForCount(before + 1, 20000));
  sinc.Stop();
  EXPECT_FALSE(sinc.IsRunning());
}

// The synchroniser is destroyed while a picture is being painted and more frames wait in the
// ring; the source and the decoder go after it.
TEST(HostileVideoSyncThreads, DestroyedWithFramesInFlight) {
  const std::vector<Bytes> frames = EncodeVp8(160, 120, 20);
  Stream stream;
  auto sinc = std::make_unique<CVideoSinc>();
  sinc->AddVideoSource(&stream.source);
  stream.renderer.Hold();
  for (const Bytes& f : frames) stream.Push(f);
  ASSERT_TRUE(stream.renderer.WaitUntilHeld(20000));
  Worker destroyer([&] { sinc.reset(); });
  stream.renderer.Release();
  destroyer.Finish();
  EXPECT_EQ(sinc, nullptr);
  // Nothing drives the source any more; it still takes frames without blocking.
  for (const Bytes& f : frames) stream.Push(f);
}

// Several sources, each with a network thread pushing a mix of good and hostile frames, while the
// host adds and removes them at random: the draw thread runs exactly while a source is registered,
// and no hostile frame ever reaches a decoder.
TEST(HostileVideoSyncThreads, HostileFramesWhileSourcesComeAndGo) {
  constexpr int kSources = 4;
  // A clock running a hundred times faster than real time, so that frames fall due (an audio
  // delay of 60 ms is 0.6 ms) between the host's changes.
  const auto start = std::chrono::steady_clock::now();
  auto fast = [start] {
    return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                    std::chrono::steady_clock::now() - start)
                                    .count() /
                                10) +
           1000000;
  };
  struct Sink {
    explicit Sink(CVideoSource::Clock clock) : source(std::move(clock)) {}
    CVideoSource source;
    hx_test::AudioDelayAnswer delay;
    std::mutex mutex;
    std::vector<Bytes> released;
    void OnReleased(const unsigned char* d, unsigned long n, bool) {
      std::lock_guard<std::mutex> lock(mutex);
      released.emplace_back(d, d + n);
    }
  };
  std::vector<std::unique_ptr<Sink>> sinks;
  for (int i = 0; i < kSources; ++i) {
    sinks.push_back(std::make_unique<Sink>(fast));
    sinks.back()->source.AudioDelaySignal.Connect(
        &sinks.back()->delay, &hx_test::AudioDelayAnswer::OnAudioRequestTotalBuffDurr);
    sinks.back()->source.FrameReleasedSignal.Connect(sinks.back().get(), &Sink::OnReleased);
  }
  const std::vector<Bytes> hostile = {
      {}, {0}, {0, 1, 2, 3}, KeyFrame(17, 16, 1), KeyFrame(8194, 16, 2), KeyFrame(16, 16383, 3)};
  CVideoSinc sinc;
  std::atomic<bool> stop{false};
  std::vector<std::unique_ptr<Worker>> network;
  for (auto& sink : sinks) {
    Sink* s = sink.get();
    network.push_back(std::make_unique<Worker>([s, &hostile, &stop] {
      std::mt19937 rng(static_cast<unsigned>(reinterpret_cast<uintptr_t>(s)));
      uint32_t tag = 0;
      while (!stop.load()) {
        Bytes frame;
        bool key;
        switch (rng() % 8) {
          case 0:
            frame = KeyFrame(16, 16, ++tag);
            key = true;
            break;
          case 1:
            frame = hostile[rng() % hostile.size()];
            key = rng() % 2 == 0;
            break;
          default:
            frame = DeltaFrame(++tag);
            key = false;
        }
        const Exact exact(frame);
        bool needed = false;
        s->source.AddData(exact.data(), exact.size(), static_cast<int>(rng() % 60) - 10, nullptr,
                          key, needed);
        std::this_thread::sleep_for(std::chrono::microseconds(300));  // pacing only
      }
    }));
  }
  {
    Worker host([&] {
      std::mt19937 rng(11);
      std::set<CVideoSource*> registered;
      for (int i = 0; i < 400; ++i) {
        CVideoSource* s = &sinks[rng() % kSources]->source;
        if (rng() % 5 == 0) {
          sinc.ChangeFormatVideoSource(s, rng() % 2 ? Format(16, 16) : Format(32, 32));
        } else if (registered.count(s)) {
          EXPECT_TRUE(sinc.RemoveVideoSource(s));
          registered.erase(s);
        } else {
          sinc.AddVideoSource(s);
          registered.insert(s);
        }
        EXPECT_EQ(sinc.SourceCount(), registered.size());
        EXPECT_EQ(sinc.IsRunning(), !registered.empty()) << "round " << i;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // pacing only
      }
      for (auto& sink : sinks) {
        if (!registered.count(&sink->source)) sinc.AddVideoSource(&sink->source);
      }
    });
    host.Finish();
  }
  // Registered for good now: every source releases frames again (bounded wait).
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (auto& sink : sinks) {
    auto releasedAny = [&sink] {
      std::lock_guard<std::mutex> lock(sink->mutex);
      return !sink->released.empty();
    };
    while (!releasedAny() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(releasedAny()) << "a registered source released nothing";
  }
  for (auto& sink : sinks) EXPECT_TRUE(sinc.RemoveVideoSource(&sink->source));
  EXPECT_FALSE(sinc.IsRunning());
  stop.store(true);
  for (auto& w : network) w->Finish();

  for (auto& sink : sinks) {
    std::lock_guard<std::mutex> lock(sink->mutex);
    for (const Bytes& f : sink->released) {
      ASSERT_GE(f.size(), HX_RecvNhpVideoHeader::kSize);
      for (const Bytes& h : hostile) EXPECT_NE(f, h) << "a hostile frame reached the decoder";
    }
  }
}

}  // namespace
