// The video send path in one process, wired as the send stream wires it: camera pictures (the
// stand-in's moving pattern) → HXVideoCapture::PutImage → capture slot (real adapter and
// conversion) → file capture slot → one-layer VP8 encoder front-end → (the 6-byte prefix turned
// into the 5-byte receive header, as the network would) → decoder front-end. What arrives is
// decoded and compared with the generator's picture.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "core/media/video/capture_slot_file.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/video_decoder.h"
#include "core/media/video/video_encoder.h"
#include "sdk/bridge/hx_video_capture.h"

namespace {

constexpr int kW = 640;
constexpr int kH = 360;

double LumaPsnr(const unsigned char* a, const unsigned char* b, size_t n) {
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    sum += d * d;
  }
  if (sum == 0) return 99.0;
  return 10.0 * std::log10(255.0 * 255.0 * n / sum);
}

struct Path {
  HX_VideoCodecFactory factory;
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter =
      std::make_shared<HX_MediaFormatManagerAdapter>();
  HXVideoCapture capture;
  HX_CaptureSlotFile file{0};
  HX_VideoEncoder encoder;
  HX_VideoDecoder decoder;
  HX_MediaFormat format;

  struct Received {
    uint8_t counter;
    bool key;
    size_t bytes;
    unsigned long captureTime;
  };
  std::vector<Received> received;
  std::vector<double> psnr;
  std::vector<std::pair<unsigned, unsigned>> decodedSizes;
  std::vector<unsigned char> lastPicture;
  uint64_t index = 0;
  unsigned long time = 5000;

  Path() {
    scalable_info::Config config;
    config.lastLayerOption = 0;
    encoder.Configure(config);
    encoder.SetCodecFactory(&factory);
    format.width = kW;
    format.height = kH;
    format.frameRate = 30;
    encoder.Reinit(&format, false);
    encoder.SetBitrate(800, 800, 800, 3000);
    decoder.SetCodecFactory(&factory);
    decoder.Reinit(format);
    capture.SetMediaAdapter(adapter);
    capture.FrameReadySignal.Connect(this, &Path::OnCapturePutImage);
    file.RawFrameSignal.Connect(this, &Path::OnCaptureReady2Compress);
    encoder.CompressedFrameSignal.Connect(this, &Path::OnCompressed);
    decoder.DecodedPictureSignal.Connect(this, &Path::OnDecoded);
    capture.StartProcessingThread();
  }
  ~Path() { capture.StopProcessingThread(); }

  // The send stream's receivers.
  void OnCapturePutImage(const void*, const unsigned char* data, unsigned long size,
                         HX_MediaFormat& f, unsigned long timestamp, bool key) {
    // The send stream reopens its encoder when the captured format changes.
    if (f.width != format.width || f.height != format.height) {
      format.width = f.width;
      format.height = f.height;
      encoder.Reinit(&format, false);
    }
    file.AddFrame(data, size, timestamp, key);
  }
  void OnCaptureReady2Compress(const unsigned char* data, unsigned long size,
                               const HX_SendNhpVideoHeader& header, bool& accepted) {
    encoder.OnReady2Compress(data, size, &header, accepted);
  }
  void OnCompressed(const unsigned char* data, unsigned long size, HX_SendNhpVideoHeader* h) {
    received.push_back({data[0], data[1] == 0, size, h->timestamp});
    EXPECT_EQ(data[0], h->frameCounter);
    std::vector<unsigned char> frame(size - 1);
    HX_RecvNhpVideoHeader rx;
    rx.frameType = data[1];
    rx.timeValue = h->frameInterval;
    rx.Store(frame.data());
    std::copy(data + 6, data + size, frame.begin() + 5);
    decoder.OnReady2Decompress(frame.data(), frame.size(), false);
  }
  void OnDecoded(const unsigned char* picture, unsigned long, unsigned w, unsigned h, unsigned) {
    decodedSizes.emplace_back(w, h);
    psnr.push_back(LumaPsnr(picture, lastPicture.data(), static_cast<size_t>(w) * h));
  }
  void Put() {
    lastPicture.resize(static_cast<size_t>(kW) * kH * 3 / 2);
    hx::platform::CameraStandIn::MovingPattern(index++, kW, kH, lastPicture.data());
    capture.PutImage(lastPicture.data(), static_cast<int>(lastPicture.size()), kW, kH, time, 3000);
    time += 33;
  }
};

TEST(VideoSendPath, PicturesArriveWholeInOrderAndClose) {
  Path path;
  for (int i = 0; i < 60; ++i) path.Put();
  ASSERT_EQ(path.received.size(), 60u);
  EXPECT_TRUE(path.received[0].key);
  for (size_t i = 1; i < path.received.size(); ++i) {
    EXPECT_EQ(static_cast<uint8_t>(path.received[i - 1].counter + 1), path.received[i].counter);
    EXPECT_FALSE(path.received[i].key);
    EXPECT_EQ(path.received[i].captureTime - path.received[i - 1].captureTime, 33u);
  }
  ASSERT_EQ(path.psnr.size(), 60u);
  double least = 99;
  for (double p : path.psnr) least = std::min(least, p);
  EXPECT_GE(least, 30.0);
  RecordProperty("least_luma_psnr_centi_db", static_cast<int>(least * 100));
  for (auto s : path.decodedSizes) EXPECT_EQ(s, std::make_pair(640u, 360u));
}

TEST(VideoSendPath, PauseStopsFramesAndResumeStartsWithAKeyFrame) {
  Path path;
  for (int i = 0; i < 5; ++i) path.Put();
  path.capture.OnPauseVideoCapture(true);
  for (int i = 0; i < 5; ++i) path.Put();
  EXPECT_EQ(path.received.size(), 5u);
  path.capture.OnPauseVideoCapture(false);
  for (int i = 0; i < 3; ++i) path.Put();
  ASSERT_EQ(path.received.size(), 8u);
  EXPECT_TRUE(path.received[5].key);
  EXPECT_FALSE(path.received[6].key);
  // Counters go on without a gap: held-back frames were never counted.
  EXPECT_EQ(static_cast<uint8_t>(path.received[4].counter + 1), path.received[5].counter);
  EXPECT_EQ(path.psnr.size(), 8u);
}

TEST(VideoSendPath, LowerBitRateSendsFewerBytes) {
  auto bytesAt = [](int kbps) {
    Path path;
    path.encoder.SetBitrate(kbps, kbps, kbps, 3000);
    for (int i = 0; i < 90; ++i) path.Put();
    size_t bytes = 0;
    for (size_t i = 30; i < path.received.size(); ++i) bytes += path.received[i].bytes;
    return bytes;
  };
  const size_t high = bytesAt(1200);
  const size_t low = bytesAt(200);
  RecordProperty("bytes_1200", static_cast<int>(high));
  RecordProperty("bytes_200", static_cast<int>(low));
  EXPECT_LT(low * 4, high);
}

}  // namespace
