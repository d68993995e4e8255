// The file capture slot's send headers, as one table of frames: each row adds a raw or encoded
// frame at a time (or resets), says whether the receiver accepts it, and gives the header the
// receiver must see.

#include "core/media/video/capture_slot_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Receiver {
  bool accept = true;
  std::vector<HX_SendNhpVideoHeader> raw;
  std::vector<HX_SendNhpVideoHeader> encoded;
  std::vector<unsigned long> sizes;
  void OnRaw(const unsigned char*, unsigned long size, const HX_SendNhpVideoHeader& h,
             bool& accepted) {
    raw.push_back(h);
    sizes.push_back(size);
    EXPECT_FALSE(accepted) << "every emission starts unaccepted";
    accepted = accept;
  }
  void OnEncoded(const unsigned char*, unsigned long size, const HX_SendNhpVideoHeader& h) {
    encoded.push_back(h);
    sizes.push_back(size);
  }
};

struct Row {
  enum Kind { kRaw, kEncoded, kReset } kind;
  unsigned long time = 0;
  bool key = false;
  bool accept = true;
  int counter = 0;
  int type = 0;
  uint32_t interval = 0;
};

struct Case {
  std::string name;
  std::vector<Row> rows;
};

TEST(CaptureSlotFile, HeaderTable) {
  using R = Row;
  const unsigned long kBig = 5000000000UL;  // above 32 bits: the header keeps the low 32
  const std::vector<Case> cases = {
      {"first accepted raw frame carries 1, intervals follow the clock",
       {{R::kRaw, 100, true, true, 1, 0, 100},
        {R::kRaw, 140, false, true, 2, 1, 40},
        {R::kRaw, 5140, false, true, 3, 1, 1000}}},
      {"rejected raw frames keep counter and previous time",
       {{R::kRaw, 100, true, true, 1, 0, 100},
        {R::kRaw, 133, false, false, 2, 1, 33},
        {R::kRaw, 166, false, false, 2, 1, 66},
        {R::kRaw, 200, false, true, 2, 1, 100},
        {R::kRaw, 233, false, true, 3, 1, 33}}},
      {"first encoded frame carries 0 and every encoded frame counts",
       {{R::kEncoded, 10, true, false, 0, 0, 10},
        {R::kEncoded, 50, false, false, 1, 1, 40},
        {R::kRaw, 90, false, false, 3, 1, 40}}},
      {"a time earlier than the previous gives 1000",
       {{R::kRaw, 1000, true, true, 1, 0, 1000}, {R::kRaw, 900, false, true, 2, 1, 1000}}},
      {"reset clears the previous time but not the counter",
       {{R::kRaw, 3000, true, true, 1, 0, 1000},
        {R::kRaw, 3040, false, true, 2, 1, 40},
        {R::kReset},
        {R::kRaw, 500, false, true, 3, 1, 500}}},
      {"time cut to 32 bits",
       {{R::kEncoded, kBig, true, false, 0, 0, 1000},
        {R::kEncoded, kBig + 20, false, false, 1, 1, 20}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HX_CaptureSlotFile slot(640 * 360 * 3 / 2);
    Receiver rx;
    slot.RawFrameSignal.Connect(&rx, &Receiver::OnRaw);
    slot.EncodedFrameSignal.Connect(&rx, &Receiver::OnEncoded);
    const unsigned char data[8] = {};
    for (size_t i = 0; i < c.rows.size(); ++i) {
      SCOPED_TRACE("row " + std::to_string(i));
      const Row& r = c.rows[i];
      const HX_SendNhpVideoHeader* seen = nullptr;
      if (r.kind == Row::kReset) {
        EXPECT_EQ(slot.Reset(), 0);
        EXPECT_EQ(slot.header().timestamp, 0u);
        EXPECT_EQ(slot.header().frameInterval, 0u);
        EXPECT_EQ(slot.header().frameCounter, 0u);
        continue;
      }
      if (r.kind == Row::kRaw) {
        rx.accept = r.accept;
        slot.AddFrame(data, sizeof data, r.time, r.key);
        ASSERT_FALSE(rx.raw.empty());
        seen = &rx.raw.back();
      } else {
        slot.AddEncodedFrame(data, sizeof data, r.time, r.key);
        ASSERT_FALSE(rx.encoded.empty());
        seen = &rx.encoded.back();
      }
      EXPECT_EQ(seen->frameCounter, r.counter);
      EXPECT_EQ(seen->frameType, r.type);
      EXPECT_EQ(seen->timestamp, static_cast<uint32_t>(r.time));
      EXPECT_EQ(seen->frameInterval, r.interval);
      EXPECT_EQ(seen->layerDescriptor, nullptr);
      EXPECT_EQ(seen->layerDescriptorLength, 0);
      EXPECT_EQ(rx.sizes.back(), sizeof data);
    }
  }
}

TEST(CaptureSlotFile, CounterWrapsAfter255AcceptedFrames) {
  HX_CaptureSlotFile slot("file", 0);
  Receiver rx;
  slot.RawFrameSignal.Connect(&rx, &Receiver::OnRaw);
  const unsigned char data[1] = {};
  for (unsigned long i = 0; i < 257; ++i) slot.AddFrame(data, 1, i * 33, i == 0);
  ASSERT_EQ(rx.raw.size(), 257u);
  EXPECT_EQ(rx.raw[0].frameCounter, 1);
  EXPECT_EQ(rx.raw[254].frameCounter, 255);
  EXPECT_EQ(rx.raw[255].frameCounter, 0);
  EXPECT_EQ(rx.raw[256].frameCounter, 1);
}

TEST(CaptureSlotFile, WithoutReceiverNothingIsAccepted) {
  HX_CaptureSlotFile slot(0);
  const unsigned char data[1] = {};
  slot.AddFrame(data, 1, 100, true);
  slot.AddFrame(data, 1, 200, false);
  EXPECT_EQ(slot.frameCounter(), 0);
  EXPECT_EQ(slot.header().frameCounter, 1);
  EXPECT_EQ(slot.header().frameInterval, 200u);
}

}  // namespace
