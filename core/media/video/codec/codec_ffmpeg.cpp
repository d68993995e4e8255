#include "core/media/video/codec/codec_ffmpeg.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "core/wire/media_format.h"

namespace {

constexpr int kMaxSide = 8192;

// Peer streams make the decoders log every damaged packet; the answers carry the failures.
void QuietLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

bool IsX264(const AVCodec* codec) {
  return codec && codec->id == AV_CODEC_ID_H264 && std::strncmp(codec->name, "libx264", 7) == 0;
}

bool IsMpegVideo(const AVCodec* codec) {
  return codec && (codec->id == AV_CODEC_ID_H261 || codec->id == AV_CODEC_ID_H263 ||
                   codec->id == AV_CODEC_ID_H263P);
}

const AVCodec* FindCodec(FF_VCodecID id, bool encoder) {
  if (id == FF_VCodecNone) return nullptr;
  if (encoder && id == FF_VCodecH264) {
    if (const AVCodec* x264 = avcodec_find_encoder_by_name("libx264")) return x264;
  }
  const auto codecId = static_cast<AVCodecID>(id);
  return encoder ? avcodec_find_encoder(codecId) : avcodec_find_decoder(codecId);
}

// Opens a new MPEG-video encoder context with the settings of `old` and the new rate arithmetic.
int MpvSetBitrate(AVCodecContext*& context, int kbps) {
  AVCodecContext* old = context;
  const int64_t b = static_cast<int64_t>(kbps) << 10;
  AVCodecContext* c = avcodec_alloc_context3(old->codec);
  if (!c) return -1;
  c->width = old->width;
  c->height = old->height;
  c->time_base = old->time_base;
  c->framerate = old->framerate;
  c->gop_size = old->gop_size;
  c->pix_fmt = old->pix_fmt;
  c->max_b_frames = old->max_b_frames;
  c->qmin = old->qmin;
  c->qmax = old->qmax;
  c->flags = old->flags;
  c->thread_count = old->thread_count;
  c->rc_max_rate = old->rc_max_rate;
  c->rc_buffer_size = old->rc_buffer_size;
  c->bit_rate = b;
  c->i_quant_factor = MpvIQuantFactor(MpvRateLoad(b, old->width, old->height));
  c->bit_rate_tolerance = static_cast<int>(
      std::min<int64_t>(static_cast<int64_t>(old->time_base.den) * b, INT32_MAX));
  // The encoder refuses a rate above its cap or a buffer too small for it: a higher rate lifts
  // the cap as for the H.264 encoder, with a one-second buffer.
  if (c->rc_max_rate && c->rc_max_rate < b) {
    c->rc_max_rate = static_cast<int64_t>(static_cast<double>(b) * 1.2);
    c->rc_buffer_size = static_cast<int>(std::min<int64_t>(
        std::max<int64_t>(c->rc_buffer_size, c->rc_max_rate), INT32_MAX));
  }
  if (avcodec_open2(c, c->codec, nullptr) < 0) {
    avcodec_free_context(&c);
    return -1;
  }
  avcodec_free_context(&old);
  context = c;
  return 0;
}

enum AVPixelFormat PickHwFormat(AVCodecContext* ctx, const enum AVPixelFormat* offered) {
  const int wanted = static_cast<int>(reinterpret_cast<intptr_t>(ctx->opaque));
  for (const enum AVPixelFormat* p = offered; *p != AV_PIX_FMT_NONE; ++p) {
    if (*p == wanted) return *p;
  }
  return offered[0];
}

}  // namespace

FF_VCodecID FourccToAVCodecID(uint32_t fcc) {
  switch (fcc) {
    case HX_MediaFormat::kCodecVP8:
      return FF_VCodecVP8;
    case HX_MediaFormat::kCodecVP9:
      return FF_VCodecVP9;
    case HX_MediaFormat::kCodecH261:
      return FF_VCodecH261;
    case HX_MediaFormat::kCodecH263:
      return FF_VCodecH263;
    case HX_MediaFormat::kCodecH264:
      return FF_VCodecH264;
    case HX_MediaFormat::kCodecH265:
      return FF_VCodecHEVC;
    case HX_MediaFormat::kCodecH263Plus:
      return FF_VCodecH263P;
    default:
      return FF_VCodecNone;
  }
}

float MpvRateLoad(int64_t bitrate, int width, int height) {
  if (width <= 0 || height <= 0) return -1.0f;
  return static_cast<float>(bitrate) / static_cast<float>(width * height);
}

float MpvIQuantFactor(float xf) {
  if (xf < 0 || xf > 5.86f) return 2.4f;
  const double x = xf;
  return static_cast<float>(1.0053 + 0.405 * x + 0.0282 * x * x - 0.0215 * x * x * x +
                            0.0027 * x * x * x * x - 0.0001 * x * x * x * x * x);
}

int avcodec_set_bitrate(AVCodecContext*& context, int kbps) {
  if (!context || kbps <= 0 || !avcodec_is_open(context) || !av_codec_is_encoder(context->codec))
    return -1;
  if (IsX264(context->codec)) {
    const int64_t b = static_cast<int64_t>(kbps) << 10;
    context->bit_rate = b;
    context->rc_max_rate = static_cast<int>(static_cast<double>(b) * 1.2);
    context->rc_buffer_size = static_cast<int>(context->rc_max_rate);
    return 0;
  }
  if (IsMpegVideo(context->codec)) return MpvSetBitrate(context, kbps);
  return -1;
}

// ---------------------------------------------------------------------------------------------

FF_VideoCodec::FF_VideoCodec(FF_VCodecID id, bool encoder) : encoder_(encoder), id_(id) {
  QuietLibrary();
  codec_ = FindCodec(id, encoder);
  frame_ = av_frame_alloc();
  packet_ = av_packet_alloc();
}

FF_VideoCodec::~FF_VideoCodec() {
  FF_VideoCodec::Release();
  av_frame_free(&frame_);
  av_packet_free(&packet_);
}

bool FF_VideoCodec::NewContext() {
  avcodec_free_context(&ctx_);
  if (!codec_ || !frame_ || !packet_) return false;
  ctx_ = avcodec_alloc_context3(codec_);
  return ctx_ != nullptr;
}

int FF_VideoCodec::Init(int width, int height, int options, int frameRate) {
  Release();
  if (width < 2 || height < 2 || width > kMaxSide || height > kMaxSide || width % 2 != 0 ||
      height % 2 != 0)
    return -1;
  if (!NewContext()) return -1;
  width_ = width;
  height_ = height;
  options_ = options;
  fps_ = frameRate;
  ctx_->width = width;
  ctx_->height = height;
  if (encoder_) {
    const int fps = frameRate > 0 ? frameRate : 10;
    ctx_->time_base = AVRational{1, fps};
    ctx_->framerate = AVRational{fps, 1};
    ctx_->gop_size = 300;
    ctx_->pix_fmt = AV_PIX_FMT_YUV420P;
    ctx_->max_b_frames = 0;
    ctx_->qmin = 3;
    ctx_->bit_rate = 128000;
    ctx_->rc_max_rate = 153600;
    ctx_->rc_buffer_size = width * height * 3 / 2;
    if (first_rate_ > 0) {
      ctx_->bit_rate = first_rate_;
      ctx_->rc_max_rate = static_cast<int64_t>(static_cast<double>(first_rate_) * 1.2);
      ctx_->rc_buffer_size = static_cast<int>(std::min<int64_t>(ctx_->rc_max_rate, INT32_MAX));
    }
    if (id_ == FF_VCodecH263P) {
      if (options & 2) ctx_->flags |= AV_CODEC_FLAG_4MV;
      if (options & 4) ctx_->flags |= AV_CODEC_FLAG_AC_PRED;
      if (options & 8) ctx_->flags |= AV_CODEC_FLAG_LOOP_FILTER;
    }
    if (IsX264(codec_)) {
      av_opt_set(ctx_->priv_data, "preset", "veryfast", 0);
      av_opt_set(ctx_->priv_data, "tune", "zerolatency", 0);
      av_opt_set_int(ctx_->priv_data, "forced-idr", 1, 0);
      av_opt_set(ctx_->priv_data, "x264-params", "scenecut=0", 0);
    }
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = width;
    frame_->height = height;
    if (av_frame_get_buffer(frame_, 32) < 0) {
      Release();
      return -1;
    }
    pts_ = 0;
  } else {
    // One packet in, its picture out: no frame threads holding pictures back.
    ctx_->thread_count = 1;
  }
  if (avcodec_open2(ctx_, codec_, nullptr) < 0) {
    Release();
    return -1;
  }
  open_ = true;
  return 0;
}

void FF_VideoCodec::Release() {
  avcodec_free_context(&ctx_);
  if (frame_) av_frame_unref(frame_);
  sws_freeContext(sws_);
  sws_ = nullptr;
  open_ = false;
  key_pending_ = false;
}

int FF_VideoCodec::SetBitrate(int kbps) {
  if (!open_) return -1;
  if (encoder_ && pts_ == 0 && kbps > 0 && IsX264(codec_)) {
    first_rate_ = static_cast<int64_t>(kbps) << 10;
    const int r = Init(width_, height_, options_, fps_);
    first_rate_ = 0;
    return r == 0 ? 0 : -1;
  }
  return avcodec_set_bitrate(ctx_, kbps);
}

int FF_VideoCodec::Encode(const unsigned char* picture, unsigned char* output, bool forceKey,
                          bool& key) {
  key = false;
  if (!open_ || !encoder_ || !picture || !output) return 0;
  if (av_frame_make_writable(frame_) < 0) return 0;
  const size_t w = static_cast<size_t>(width_);
  const size_t h = static_cast<size_t>(height_);
  const unsigned char* src[3] = {picture, picture + w * h, picture + w * h * 5 / 4};
  const size_t planeW[3] = {w, w / 2, w / 2};
  const size_t planeH[3] = {h, h / 2, h / 2};
  for (int p = 0; p < 3; ++p) {
    for (size_t y = 0; y < planeH[p]; ++y) {
      std::memcpy(frame_->data[p] + y * static_cast<size_t>(frame_->linesize[p]),
                  src[p] + y * planeW[p], planeW[p]);
    }
  }
  frame_->pts = ++pts_;
  const bool force = forceKey || key_pending_;
  frame_->pict_type = force ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
  frame_->key_frame = force ? 1 : 0;
  if (avcodec_send_frame(ctx_, frame_) < 0) return 0;
  if (force) key_pending_ = false;
  if (avcodec_receive_packet(ctx_, packet_) < 0) return 0;
  const int size = packet_->size;
  if (size <= 0 || static_cast<size_t>(size) > EncodeCapacity()) {
    av_packet_unref(packet_);
    key_pending_ = true;
    return 0;
  }
  std::memcpy(output, packet_->data, static_cast<size_t>(size));
  key = (packet_->flags & AV_PKT_FLAG_KEY) != 0;
  av_packet_unref(packet_);
  return size;
}

int FF_VideoCodec::SendPacket(const unsigned char* input, int length) {
  if (!input || length <= 0) return AVERROR(EINVAL);
  const size_t n = static_cast<size_t>(length);
  if (input_.size() < n + AV_INPUT_BUFFER_PADDING_SIZE) input_.resize(n + AV_INPUT_BUFFER_PADDING_SIZE);
  std::memcpy(input_.data(), input, n);
  std::memset(input_.data() + n, 0, AV_INPUT_BUFFER_PADDING_SIZE);
  av_packet_unref(packet_);
  packet_->data = input_.data();
  packet_->size = length;
  const int r = avcodec_send_packet(ctx_, packet_);
  packet_->data = nullptr;
  packet_->size = 0;
  return r;
}

void FF_VideoCodec::FillBlack(unsigned char* output) const {
  const size_t luma = static_cast<size_t>(width_) * height_;
  std::memset(output, 0, luma);
  std::memset(output + luma, 128, luma / 2);
}

bool FF_VideoCodec::CopyOut(const AVFrame* f, unsigned char* output) {
  if (f->width != width_ || f->height != height_) return false;
  const size_t w = static_cast<size_t>(width_);
  const size_t h = static_cast<size_t>(height_);
  unsigned char* dst[3] = {output, output + w * h, output + w * h * 5 / 4};
  const int dstStride[3] = {width_, width_ / 2, width_ / 2};
  if ((f->format == AV_PIX_FMT_YUV420P || f->format == AV_PIX_FMT_YUVJ420P) && f->data[0] &&
      f->data[1] && f->data[2]) {
    const size_t planeH[3] = {h, h / 2, h / 2};
    for (int p = 0; p < 3; ++p) {
      for (size_t y = 0; y < planeH[p]; ++y) {
        std::memcpy(dst[p] + y * static_cast<size_t>(dstStride[p]),
                    f->data[p] + y * static_cast<ptrdiff_t>(f->linesize[p]),
                    static_cast<size_t>(dstStride[p]));
      }
    }
    return true;
  }
  const auto format = static_cast<AVPixelFormat>(f->format);
  if (format == AV_PIX_FMT_NONE || !sws_isSupportedInput(format)) return false;
  sws_ = sws_getCachedContext(sws_, width_, height_, format, width_, height_, AV_PIX_FMT_YUV420P,
                              SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!sws_) return false;
  return sws_scale(sws_, f->data, f->linesize, 0, height_, dst, dstStride) == height_;
}

int FF_VideoCodec::Decode(const unsigned char* input, unsigned char* output, int length) {
  if (!open_ || encoder_ || !output) return -1;
  bool got = false;
  // An empty packet would switch the decoder into draining for good: it is simply no picture.
  if (input && length > 0) {
    const int sent = SendPacket(input, length);
    if (sent < 0 && sent != AVERROR(EAGAIN)) return -2;
    while (avcodec_receive_frame(ctx_, frame_) >= 0) {
      if (CopyOut(frame_, output)) got = true;
      av_frame_unref(frame_);
    }
  }
  if (!got) {
    FillBlack(output);
    return 0;
  }
  return width_ * height_ * 3 / 2;
}

// ---------------------------------------------------------------------------------------------

FfmpegHwDecoder::FfmpegHwDecoder(FF_VCodecID id, AVHWDeviceType type)
    : FF_VideoCodec(id, false), type_(type) {
  transfer_ = av_frame_alloc();
}

FfmpegHwDecoder::~FfmpegHwDecoder() {
  FfmpegHwDecoder::Release();
  av_frame_free(&transfer_);
}

int FfmpegHwDecoder::Init(int width, int height, int, int) {
  Release();
  if (!codec_ || !transfer_ || type_ == AV_HWDEVICE_TYPE_NONE) return -1;
  if (width < 2 || height < 2 || width > kMaxSide || height > kMaxSide || width % 2 != 0 ||
      height % 2 != 0)
    return -1;
  for (int i = 0;; ++i) {
    const AVCodecHWConfig* config = avcodec_get_hw_config(codec_, i);
    if (!config) break;
    if ((config->methods & AV_CODEC_HW_CONFIG_METHOD_HW_DEVICE_CTX) &&
        config->device_type == type_) {
      hw_pix_fmt_ = config->pix_fmt;
      break;
    }
  }
  if (hw_pix_fmt_ < 0) return -1;
  if (av_hwdevice_ctx_create(&device_, type_, nullptr, nullptr, 0) < 0 || !NewContext()) {
    Release();
    return -1;
  }
  width_ = width;
  height_ = height;
  ctx_->width = width;
  ctx_->height = height;
  ctx_->thread_count = 1;
  ctx_->opaque = reinterpret_cast<void*>(static_cast<intptr_t>(hw_pix_fmt_));
  ctx_->get_format = PickHwFormat;
  ctx_->hw_device_ctx = av_buffer_ref(device_);
  if (!ctx_->hw_device_ctx || avcodec_open2(ctx_, codec_, nullptr) < 0) {
    Release();
    return -1;
  }
  open_ = true;
  return 0;
}

void FfmpegHwDecoder::Release() {
  FF_VideoCodec::Release();
  av_buffer_unref(&device_);
  if (transfer_) av_frame_unref(transfer_);
  hw_pix_fmt_ = -1;
}

int FfmpegHwDecoder::Decode(const unsigned char* input, unsigned char* output, int length) {
  if (!open_ || !output) return -1;
  if (!input || length <= 0) return -2;
  if (SendPacket(input, length) < 0) return -2;
  if (avcodec_receive_frame(ctx_, frame_) < 0) return -2;
  const AVFrame* picture = frame_;
  if (frame_->format == hw_pix_fmt_) {
    av_frame_unref(transfer_);
    if (av_hwframe_transfer_data(transfer_, frame_, 0) < 0) {
      av_frame_unref(frame_);
      return -2;
    }
    transfer_->width = frame_->width;
    transfer_->height = frame_->height;
    picture = transfer_;
  }
  const bool copied = CopyOut(picture, output);
  av_frame_unref(frame_);
  av_frame_unref(transfer_);
  return copied ? width_ * height_ * 3 / 2 : -2;
}

// ---------------------------------------------------------------------------------------------

VideoCodecFFmpeg::VideoCodecFFmpeg(uint32_t fcc, bool coder, bool software, int option)
    : VideoCodecBase(fcc, coder), option_(option) {
  const FF_VCodecID id = FourccToAVCodecID(fcc);
  if (coder || software) {
    codec_ = new FF_VideoCodec(id, coder);
  } else {
    codec_ = new FfmpegHwDecoder(id);
  }
}

VideoCodecFFmpeg::~VideoCodecFFmpeg() {
  release();
  delete codec_;
}

bool VideoCodecFFmpeg::init(const HX_VideoCoderOptions* options, uint32_t) {
  release();
  if (!codec_ || !options) return false;
  const int r = codec_->Init(options->width, options->height, option_, options->timeBase);
  validate(r == 0);
  if (!isValid()) return false;
  _setBitrate(static_cast<uint32_t>(options->bitrate));
  return true;
}

void VideoCodecFFmpeg::release() {
  if (codec_) codec_->Release();
  setBitrate(128);
  validate(false);
}

bool VideoCodecFFmpeg::_setBitrate(uint32_t bitrate) {
  if (!isValid() || !isCoder()) return false;
  codec_->SetBitrate(static_cast<int>(std::min<uint32_t>(bitrate, 1u << 20)));
  return true;
}

int VideoCodecFFmpeg::_convert(const unsigned char* input, unsigned char* output,
                               HX_VideoCodecParam& param) {
  if (!isValid()) return 0;
  int n;
  if (isCoder()) {
    bool key = false;
    n = codec_->Encode(input, output, param.request == 0, key);
    param.keyFrame = key ? 1 : 0;
  } else {
    n = codec_->Decode(input, output, static_cast<int>(std::min<uint32_t>(param.inputSize, INT32_MAX)));
  }
  return n < 0 ? 0 : n;
}
