#pragma once
// Test support for the video receive road: a VP8 sender (libvpx through the VP8 codec, frames with
// the encoder's 6-byte prefix and cut into TCP parts by the TCP frame writer) and the receive road
// wired as a receive stream wires it: frame assembler → video source (audio delay from a test
// answer, a clock the test steps) → draw thread → decoder front-end → recording renderer.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/media/video/codec/codec_vp8.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/receive/frame_assembler.h"
#include "core/media/video/receive/video_sync.h"
#include "core/media/video/video_decoder.h"
#include "core/streams/send_video_header.h"
#include "core/streams/tcp_send_queue.h"
#include "testing/video_pictures.h"
#include "testing/video_receive_support.h"

namespace hx_test {

using Bytes = std::vector<uint8_t>;

// The sending side of one VP8 stream: encodes moving pictures, forcing key frames on request.
class Vp8Sender {
 public:
  bool Open(int width, int height) {
    width_ = width;
    height_ = height;
    encoder_ = std::make_unique<HXCodecVP8Encoder>();
    HX_VideoCoderOptions o;
    o.width = width;
    o.height = height;
    o.timeBase = 30;
    o.bitrate = width * height / 300;
    o.constantBitrate = 1;
    o.keyFrameMaxDistance = 1000;
    o.threads = 1;
    o.lagFrames = 1;
    o.cpuUsed = -14;
    o.staticThreshold = 800;
    o.autoKeyFrames = 0;
    out_.assign(static_cast<size_t>(width) * height * 3 + 6, 0);
    forceKey_ = true;
    return encoder_->init(&o, 0);
  }
  void RequestKeyFrame() { forceKey_ = true; }
  int Width() const { return width_; }
  int Height() const { return height_; }

  // The next frame as the layered encoder emits it: counter, type (0 key), capture time, then
  // the bitstream; empty when the codec produced nothing.
  Bytes Next(bool& key) {
    const std::vector<unsigned char> picture = MovingPicture(width_, height_, picture_++);
    HX_VideoCodecParam param;
    param.request = forceKey_ ? 0 : 1;
    const int n = encoder_->convert(picture.data(), out_.data() + 6, param);
    if (n <= 0) return {};
    forceKey_ = false;
    key = param.keyFrame != 0;
    out_[0] = counter_++;
    out_[1] = key ? 0 : 1;
    const uint32_t time = static_cast<uint32_t>(picture_ * 33);
    for (int b = 0; b < 4; ++b) out_[2 + b] = static_cast<uint8_t>(time >> (8 * b));
    return Bytes(out_.begin(), out_.begin() + 6 + n);
  }

 private:
  std::unique_ptr<HXCodecVP8Encoder> encoder_;
  Bytes out_;
  int width_ = 0;
  int height_ = 0;
  int picture_ = 0;
  uint8_t counter_ = 0;
  bool forceKey_ = true;
};

// The TCP parts of one encoded frame (prefix included), as the writer cuts them: the payload of
// each stream frame.
inline std::vector<Bytes> TcpParts(const Bytes& input, uint32_t interval,
                                   size_t partSize = HX_TcpVideoPartSize) {
  HX_SendNhpVideoHeader header;
  header.frameCounter = input[0];
  header.frameType = input[1];
  header.frameInterval = interval;
  HX_CommitFrameVideo frame(input.data(), input.size(), &header, 0, partSize);
  std::vector<Bytes> parts;
  while (!frame.Sent()) {
    const uint8_t* head = frame.Buffer();
    const uint64_t size = frame.CurrentPartSize();
    parts.emplace_back(head + HX_StreamFrameHead::kSize, head + size);
    frame.NextPart();
  }
  return parts;
}

// A reference decoder: bare decoding of every frame the sender produced, in order.
class ReferenceDecoder {
 public:
  bool Open(int width, int height) {
    width_ = width;
    height_ = height;
    decoder_ = std::make_unique<HXCodecVP8Decoder>();
    HX_VideoCoderOptions o;
    o.width = width;
    o.height = height;
    o.timeBase = 10;
    o.threads = 1;
    out_.assign(HXCodecVP8Decoder::OutputBytes(width, height), 0);
    return decoder_->init(&o, 0);
  }
  // The checksum of the picture of an encoded frame (its 6-byte prefix first); 0 when none.
  uint64_t Decode(const Bytes& input) {
    HX_VideoCodecParam param;
    param.inputSize = static_cast<uint32_t>(input.size() - 6);
    const int n = decoder_->convert(input.data() + 6, out_.data(), param);
    return n > 0 ? Fnv1a(out_.data(), static_cast<size_t>(n)) : 0;
  }

 private:
  std::unique_ptr<HXCodecVP8Decoder> decoder_;
  Bytes out_;
  int width_ = 0;
  int height_ = 0;
};

// The receive road of one stream, wired as the receive stream wires it.
class ReceiveRoad {
 public:
  ReceiveRoad(int width, int height, int audioDelay)
      : delay_(audioDelay),
        source_(clock_.Source()),
        renderer_(clock_.Source(), [this] { return source_.GetReleasePlayTime(); }) {
    HX_MediaFormat format;
    format.width = static_cast<uint32_t>(width);
    format.height = static_cast<uint32_t>(height);
    format.videoCodec = HX_MediaFormat::kCodecVP8;
    assembler_.Reset(static_cast<uint64_t>(width), static_cast<uint64_t>(height), true);
    decoder_.SetCodecFactory(&factory_);
    decoder_.Reinit(format);
    source_.AudioDelaySignal.Connect(&delay_, &AudioDelayAnswer::OnAudioRequestTotalBuffDurr);
    source_.FrameReleasedSignal.Connect(static_cast<HX_VideoDecoder*>(&decoder_),
                                        &HX_VideoDecoder::OnReady2Decompress);
    source_.FrameReleasedSignal.Connect(this, &ReceiveRoad::OnReleased);
    source_.DecoderFormatSignal.Connect(this, &ReceiveRoad::OnDecoderFormat);
    source_.DecoderFormatSignal.Connect(static_cast<HX_VideoDecoder*>(&decoder_),
                                        &HX_VideoDecoder::ChangeFormat);
    decoder_.RequestKeyFrameSignal.Connect(&source_, &CVideoSource::OnNeedKeyFrame);
    decoder_.DecodedPictureSignal.Connect(this, &ReceiveRoad::OnPicture);
  }
  ~ReceiveRoad() { Stop(); }

  void Start() { sinc_.AddVideoSource(&source_); }
  void Stop() {
    sinc_.RemoveVideoSource(&source_);
    sinc_.Stop();
  }

  // One TCP part; answers whether the sender should be asked for a key frame.
  bool PushPart(const Bytes& part) {
    bool needed = false;
    const bool complete =
        assembler_.PushFrame(part.data(), static_cast<uint16_t>(part.size()), needed);
    if (!complete) return needed;
    const uint8_t* data = nullptr;
    uint64_t length = 0;
    uint32_t time = 0;
    const HX_RecvNhpVideoHeader* header = nullptr;
    bool key = false;
    assembler_.getFrame(data, length, time, header, key);
    bool more = false;
    lastRingIndex_ = source_.GetWriteIndex();
    source_.AddData(data, static_cast<size_t>(length), static_cast<int>(time), header, key, more);
    addedFrames_.push_back({source_.GetWriteIndex() > lastRingIndex_ ? lastRingIndex_ : -1,
                            source_.GetLastPlayTime()});
    return needed || more;
  }

  // One whole frame (receive header first) straight into the source, as from a UDP frame queue.
  bool AddFrame(const Bytes& frame, bool key, int interval) {
    bool needed = false;
    lastRingIndex_ = source_.GetWriteIndex();
    source_.AddData(frame.data(), frame.size(), interval, nullptr, key, needed);
    addedFrames_.push_back({source_.GetWriteIndex() > lastRingIndex_ ? lastRingIndex_ : -1,
                            source_.GetLastPlayTime()});
    return needed;
  }

  // Waits (real time, at most `ms`) until every frame due by now has left the ring (taken out
  // by the draw thread, which decodes and paints it after that).
  bool CatchUp(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      int due = 0;
      for (const Added& a : addedFrames_) {
        if (a.ringIndex >= 0 && a.due <= clock_()) due = std::max(due, a.ringIndex + 1);
      }
      if (source_.GetReadIndex() >= due) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  SteppedClock& Clock() { return clock_; }
  RecordingRenderer& Renderer() { return renderer_; }
  CVideoSource& Source() { return source_; }
  HX_VideoDecoder& Decoder() { return decoder_; }
  HX_VideoFrameAssembler& Assembler() { return assembler_; }
  int FormatChanges() const { return formatChanges_.load(); }
  int Released() const { return released_.load(); }
  std::vector<HX_MediaFormat> Formats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return formats_;
  }

 private:
  struct Added {
    int ringIndex;
    int64_t due;
  };
  void OnReleased(const unsigned char*, unsigned long, bool) { released_.fetch_add(1); }
  void OnDecoderFormat(const HX_MediaFormat& format) {
    formatChanges_.fetch_add(1);
    std::lock_guard<std::mutex> lock(mutex_);
    formats_.push_back(format);
  }
  void OnPicture(const unsigned char* picture, unsigned long size, unsigned width, unsigned height,
                 unsigned fcc) {
    if (renderer_.IsVideoEnabled()) renderer_.OnPaint(picture, size, width, height, fcc);
  }

  SteppedClock clock_{100000};
  AudioDelayAnswer delay_;
  HX_VideoCodecFactory factory_;
  HX_VideoFrameAssembler assembler_;
  CVideoSource source_;
  HX_VideoDecoder decoder_;
  RecordingRenderer renderer_;
  std::vector<Added> addedFrames_;
  int lastRingIndex_ = 0;
  std::atomic<int> formatChanges_{0};
  std::atomic<int> released_{0};
  std::mutex mutex_;
  std::vector<HX_MediaFormat> formats_;
  CVideoSinc sinc_;
};

}  // namespace hx_test
