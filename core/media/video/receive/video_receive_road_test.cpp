// The video receive road end to end: 640x360 VP8 from libvpx at 30 frames a second, cut into TCP
// parts by the TCP frame writer, through the frame assembler, a video source with an audio delay
// of 200 ms, the draw thread and the decoder front-end into a recording renderer. The source's
// clock is stepped by the test (33 ms per frame), which then waits in real time for the draw
// thread to take out every frame due by then; a reference libvpx decoder decodes every frame the
// sender produced, so each painted picture can be matched with the frame it belongs to.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "core/media/video/receive/receive_road_test_util.h"

namespace {

using hx_test::Bytes;

// Each painted picture equals a reference picture, in order, none twice: a picture decoded from a
// broken chain differs from its reference. Answers the reference index of each picture.
std::vector<size_t> MatchInOrder(const std::vector<hx_test::PaintedPicture>& pictures,
                                 const std::vector<uint64_t>& expected) {
  std::vector<size_t> matched;
  size_t j = 0;
  for (const auto& p : pictures) {
    while (j < expected.size() && expected[j] != p.checksum) ++j;
    if (j == expected.size()) {
      ADD_FAILURE() << "picture " << matched.size() << " matches no later frame";
      break;
    }
    matched.push_back(j++);
  }
  return matched;
}

TEST(VideoReceiveRoad, EveryPictureIsPaintedOnceInOrderOnTimeOnTheDrawThread) {
  hx_test::ReceiveRoad road(640, 360, 200);
  road.Start();
  hx_test::Vp8Sender sender;
  hx_test::ReferenceDecoder reference;
  ASSERT_TRUE(sender.Open(640, 360));
  ASSERT_TRUE(reference.Open(640, 360));
  constexpr int kFrames = 60;
  constexpr int kSwitchAt = 45;  // a key frame at 1280x720 from here on
  std::vector<uint64_t> expected;
  int multiPart = 0;
  for (int i = 0; i < kFrames; ++i) {
    if (i == kSwitchAt) {
      ASSERT_TRUE(sender.Open(1280, 720));
      ASSERT_TRUE(reference.Open(1280, 720));
    }
    bool key = false;
    const Bytes input = sender.Next(key);
    ASSERT_FALSE(input.empty()) << i;
    EXPECT_EQ(key, i == 0 || i == kSwitchAt) << i;
    expected.push_back(reference.Decode(input));
    ASSERT_NE(expected.back(), 0u) << i;
    const auto parts = hx_test::TcpParts(input, 33);
    if (parts.size() > 1) ++multiPart;
    for (const Bytes& part : parts) ASSERT_FALSE(road.PushPart(part)) << i;
    road.Clock().Step(33);
    ASSERT_TRUE(road.CatchUp(20000)) << i;
  }
  // The frames still in the ring fall due within the audio delay.
  for (int i = 0; i < 15; ++i) {
    road.Clock().Step(33);
    ASSERT_TRUE(road.CatchUp(20000));
  }
  road.Stop();
  EXPECT_GT(multiPart, 0);

  const auto pictures = road.Renderer().Pictures();
  ASSERT_EQ(pictures.size(), static_cast<size_t>(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    SCOPED_TRACE(i);
    const auto& p = pictures[i];
    EXPECT_EQ(p.checksum, expected[i]);
    EXPECT_EQ(p.width, i < kSwitchAt ? 640u : 1280u);
    EXPECT_EQ(p.height, i < kSwitchAt ? 360u : 720u);
    EXPECT_EQ(p.size, p.width * p.height * 3 / 2);
    EXPECT_EQ(p.value, HX_MediaFormat::kCodecVP8);
    EXPECT_GE(p.paintedAt, p.due);
    EXPECT_EQ(p.thread, pictures[0].thread);
  }
  EXPECT_NE(pictures[0].thread, std::this_thread::get_id());
  // The first key frame announces 640x360 to the detached source, the switch 1280x720.
  const auto formats = road.Formats();
  ASSERT_EQ(formats.size(), 2u);
  EXPECT_EQ(formats[0].width, 640u);
  EXPECT_EQ(formats[1].width, 1280u);
  EXPECT_EQ(formats[1].height, 720u);
  EXPECT_EQ(road.Decoder().GetFormat().width, 1280u);
}

TEST(VideoReceiveRoad, LostPartsAskForKeyFramesAndNoBrokenChainIsPainted) {
  hx_test::ReceiveRoad road(640, 360, 200);
  road.Start();
  hx_test::Vp8Sender sender;
  hx_test::ReferenceDecoder reference;
  ASSERT_TRUE(sender.Open(640, 360));
  ASSERT_TRUE(reference.Open(640, 360));
  std::mt19937 random(2024);
  constexpr int kFrames = 90;
  std::vector<uint64_t> expected;
  int dropped = 0, requests = 0, keys = 0;
  // Small parts, so that key frames travel in several.
  constexpr size_t kPartSize = 1500;
  for (int i = 0; i < kFrames; ++i) {
    bool key = false;
    const Bytes input = sender.Next(key);
    ASSERT_FALSE(input.empty()) << i;
    keys += key ? 1 : 0;
    expected.push_back(reference.Decode(input));
    bool ask = false;
    for (const Bytes& part : hx_test::TcpParts(input, 33, kPartSize)) {
      if (random() % 100 < 5) {
        ++dropped;
        continue;
      }
      ask = road.PushPart(part) || ask;
    }
    if (ask) {
      ++requests;
      sender.RequestKeyFrame();
    }
    road.Clock().Step(33);
    ASSERT_TRUE(road.CatchUp(20000)) << i;
  }
  // The frames still in the ring fall due within the audio delay.
  for (int i = 0; i < 15; ++i) {
    road.Clock().Step(33);
    ASSERT_TRUE(road.CatchUp(20000));
  }
  road.Stop();

  EXPECT_GT(dropped, 0);
  EXPECT_GT(requests, 0);
  EXPECT_GT(keys, 1);  // the requests reached the sender
  const auto pictures = road.Renderer().Pictures();
  EXPECT_LT(pictures.size(), static_cast<size_t>(kFrames));
  EXPECT_GT(pictures.size(), static_cast<size_t>(kFrames / 3));
  const std::vector<size_t> matched = MatchInOrder(pictures, expected);
  EXPECT_EQ(matched.size(), pictures.size());
  for (const auto& p : pictures) EXPECT_GE(p.paintedAt, p.due);
}

}  // namespace
