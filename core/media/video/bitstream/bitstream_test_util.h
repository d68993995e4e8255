#pragma once
// Test support for the bitstream parsers: a bit-string builder of its own (so that hand-made
// headers do not depend on the writer under test), exactly sized heap copies (AddressSanitizer
// sees a read one byte past them), and real streams from libvpx and libavcodec.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

#include "core/media/video/codec/codec_ffmpeg.h"
#include "core/media/video/codec/codec_vp8.h"

namespace hx::bitstream::test {

using Bytes = std::vector<uint8_t>;

class Bits {
 public:
  Bits& u(int n, uint64_t v) {
    for (int i = n - 1; i >= 0; --i)
      bits_.push_back(static_cast<char>('0' + (i < 64 ? (v >> i) & 1 : 0)));
    return *this;
  }
  Bits& ue(uint64_t v) {
    const uint64_t code = v + 1;
    int length = 0;
    while ((code >> length) > 1) ++length;
    u(length, 0);
    return u(length + 1, code);
  }
  Bits& se(int64_t v) {
    return ue(v > 0 ? static_cast<uint64_t>(2 * v - 1) : static_cast<uint64_t>(-2 * v));
  }
  // Stop bit and zero bits to the byte boundary.
  Bits& trailing() {
    bits_.push_back('1');
    while (bits_.size() % 8) bits_.push_back('0');
    return *this;
  }
  Bytes bytes() const {
    Bytes out((bits_.size() + 7) / 8, 0);
    for (size_t i = 0; i < bits_.size(); ++i)
      if (bits_[i] == '1') out[i / 8] |= static_cast<uint8_t>(0x80 >> (i % 8));
    return out;
  }
  const std::string& str() const { return bits_; }

 private:
  std::string bits_;
};

// `size` bytes on the heap and nothing more.
class Exact {
 public:
  explicit Exact(const uint8_t* data, size_t size)
      : size_(size), data_(new uint8_t[size ? size : 1]) {
    if (size) std::memcpy(data_.get(), data, size);
  }
  explicit Exact(const Bytes& bytes) : Exact(bytes.data(), bytes.size()) {}
  const uint8_t* data() const { return data_.get(); }
  int size() const { return static_cast<int>(size_); }

 private:
  size_t size_;
  std::unique_ptr<uint8_t[]> data_;
};

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A smooth gradient moving with the frame number, packed I420 (small key frames).
inline Bytes Picture(int w, int h, int frame) {
  Bytes pic(static_cast<size_t>(w) * h * 3 / 2);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      pic[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(16 + (x + 2 * frame) / 3 + y / 4);
  for (size_t i = static_cast<size_t>(w) * h; i < pic.size(); ++i) pic[i] = 128;
  return pic;
}

// `count` packets from a libavcodec encoder at w x h, the first a key frame; empty on failure.
inline std::vector<Bytes> EncodeFFmpeg(FF_VCodecID id, int w, int h, int count) {
  FF_VideoCodec encoder(id, true);
  std::vector<Bytes> packets;
  if (encoder.Init(w, h, 0, 30) != 0) return packets;
  Bytes out(encoder.EncodeCapacity());
  for (int i = 0; i < count; ++i) {
    bool key = false;
    const Bytes pic = Picture(w, h, i);
    const int n = encoder.Encode(pic.data(), out.data(), i == 0, key);
    if (n > 0) packets.emplace_back(out.begin(), out.begin() + n);
  }
  return packets;
}

// `count` packets from the libavcodec encoder `name` at w x h, tuned for zero latency, drained at
// the end; the first picture is a key frame. Empty on failure.
inline std::vector<Bytes> EncodeLibavcodec(const char* name, int w, int h, int count) {
  std::vector<Bytes> packets;
  const AVCodec* codec = avcodec_find_encoder_by_name(name);
  if (!codec) return packets;
  AVCodecContext* ctx = avcodec_alloc_context3(codec);
  AVFrame* frame = av_frame_alloc();
  AVPacket* packet = av_packet_alloc();
  ctx->width = w;
  ctx->height = h;
  ctx->time_base = AVRational{1, 30};
  ctx->framerate = AVRational{30, 1};
  ctx->pix_fmt = AV_PIX_FMT_YUV420P;
  ctx->gop_size = 300;
  ctx->max_b_frames = 0;
  ctx->bit_rate = 300000;
  av_opt_set(ctx->priv_data, "preset", "ultrafast", 0);
  av_opt_set(ctx->priv_data, "tune", "zerolatency", 0);
  av_opt_set(ctx->priv_data, "x265-params", "log-level=error:frame-threads=1:pools=none", 0);
  auto drain = [&] {
    while (avcodec_receive_packet(ctx, packet) == 0) {
      packets.emplace_back(packet->data, packet->data + packet->size);
      av_packet_unref(packet);
    }
  };
  if (avcodec_open2(ctx, codec, nullptr) == 0) {
    frame->width = w;
    frame->height = h;
    frame->format = AV_PIX_FMT_YUV420P;
    if (av_frame_get_buffer(frame, 0) == 0) {
      for (int i = 0; i < count; ++i) {
        if (av_frame_make_writable(frame) != 0) break;
        const Bytes pic = Picture(w, h, i);
        const uint8_t* planes[3] = {pic.data(), pic.data() + w * h, pic.data() + w * h * 5 / 4};
        const int widths[3] = {w, w / 2, w / 2};
        for (int c = 0; c < 3; ++c)
          for (int y = 0; y < (c ? h / 2 : h); ++y)
            std::memcpy(frame->data[c] + y * frame->linesize[c], planes[c] + y * widths[c],
                        static_cast<size_t>(widths[c]));
        frame->pts = i;
        frame->pict_type = i == 0 ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
        if (avcodec_send_frame(ctx, frame) != 0) break;
        drain();
      }
    }
    avcodec_send_frame(ctx, nullptr);
    drain();
  }
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&ctx);
  return packets;
}

// `count` frames from libvpx at w x h, the first a key frame.
inline std::vector<Bytes> EncodeVP8(int w, int h, int count) {
  HXCodecVP8Encoder encoder;
  HX_VideoCoderOptions o;
  o.width = w;
  o.height = h;
  o.timeBase = 30;
  o.bitrate = 300;
  o.constantBitrate = 1;
  o.keyFrameMaxDistance = 1000;
  o.threads = 1;
  o.lagFrames = 1;
  o.cpuUsed = -14;
  o.staticThreshold = 800;
  o.autoKeyFrames = 1;
  std::vector<Bytes> frames;
  if (!encoder.init(&o, 0)) return frames;
  Bytes out(static_cast<size_t>(w) * h * 3);
  for (int i = 0; i < count; ++i) {
    const Bytes pic = Picture(w, h, i);
    HX_VideoCodecParam param;
    param.request = i == 0 ? 0 : 1;
    const int n = encoder.convert(pic.data(), out.data(), param);
    if (n > 0) frames.emplace_back(out.begin(), out.begin() + n);
  }
  return frames;
}

// A packet of VP8 frames: little-endian count, then each frame's little-endian size and bytes.
inline Bytes VP8Packet(const std::vector<Bytes>& frames) {
  Bytes out;
  auto le32 = [&out](uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  le32(static_cast<uint32_t>(frames.size()));
  for (const Bytes& f : frames) {
    le32(static_cast<uint32_t>(f.size()));
    out.insert(out.end(), f.begin(), f.end());
  }
  return out;
}

}  // namespace hx::bitstream::test
