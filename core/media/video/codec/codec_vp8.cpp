#include "core/media/video/codec/codec_vp8.h"

#include <vpx/vp8cx.h>
#include <vpx/vp8dx.h>

#include <cstring>

#include "core/wire/media_format.h"

namespace {

// libvpx deadlines for the options' deadlineMode 0, 1 and 2.
constexpr uint32_t kDeadlineRealtime = VPX_DL_REALTIME;  // 1
constexpr uint32_t kDeadlineGood = VPX_DL_GOOD_QUALITY;  // 1000000
constexpr uint32_t kDeadlineBest = VPX_DL_BEST_QUALITY;  // 0
constexpr long kKeyFrameFlags = 0x12B0001;  // key frame, golden and alternate forced, no references

struct Pattern {
  uint32_t bit;  // temporalMode bit that selects it
  uint32_t id;
  int periodicity;
  long flags[8];
};

// Tested in this order: the first matching bit wins.
constexpr Pattern kPatterns[] = {
    {0x1000,
     16,
     8,
     {0xE20000, 0xC40000, 0xC00000, 0xC40000, 0x810000, 0xC40000, 0xC00000, 0xC40000}},
    {0x800, 8, 2, {0xE20000, 0xA40000}},
    {0x200, 4, 3, {0xE00000, 0x1640000, 0xC40000}},
    {0x400, 2, 4, {0xE20000, 0xE40000, 0xA60000, 0xE40000}},
    {0x100, 1, 2, {0xE00000, 0x1640000}},
};

const Pattern* FindPattern(uint32_t id) {
  for (const Pattern& p : kPatterns) {
    if (p.id == id) return &p;
  }
  return nullptr;
}

uint32_t DeadlineFor(int32_t mode) {
  switch (mode) {
    case 0:
      return kDeadlineRealtime;
    case 1:
      return kDeadlineGood;
    case 2:
      return kDeadlineBest;
    default:
      return static_cast<uint32_t>(mode);
  }
}

int32_t DeadlineModeOf(uint32_t deadline) {
  switch (deadline) {
    case kDeadlineBest:
      return 2;
    case kDeadlineRealtime:
      return 0;
    case kDeadlineGood:
      return 1;
    default:
      return static_cast<int32_t>(deadline);
  }
}

}  // namespace

// ---- encoder ----

HXCodecVP8<hx::codec::encoder>::HXCodecVP8()
    : VideoCodecBase(HX_MediaFormat::kCodecVP8, true), ctx_(new vpx_codec_ctx_t()) {}

HXCodecVP8<hx::codec::encoder>::~HXCodecVP8() {
  release();
  delete ctx_;
}

void HXCodecVP8<hx::codec::encoder>::release() {
  if (isValid()) vpx_codec_destroy(ctx_);
  if (image_) vpx_img_free(image_);
  image_ = nullptr;
  luma_size_ = 0;
  deadline_ = 1;
  static_threshold_ = 800;
  speed_ = -4;
  option_byte_ = 0;
  pattern_id_ = 0;
  temporal_layering_ = false;
  pts_ = 0;
  pattern_pos_ = 0;
  key_pending_ = false;
  last_flags_ = 0;
  validate(false);
  reset();
}

void HXCodecVP8<hx::codec::encoder>::ApplyPattern(uint32_t temporalMode) {
  pattern_id_ = 0;
  temporal_layering_ = temporalMode != 0;
  if (!temporal_layering_) return;
  const uint32_t t = cfg_.rc_target_bitrate;
  for (const Pattern& p : kPatterns) {
    if (!(temporalMode & p.bit)) continue;
    pattern_id_ = p.id;
    cfg_.ts_periodicity = p.periodicity;
    switch (p.id) {
      case 16: {
        cfg_.ts_number_layers = 4;
        const unsigned dec[] = {8, 4, 2, 1};
        const unsigned target[] = {t * 3 / 10, t * 6 / 10, t * 8 / 10, t};
        const unsigned ids[] = {0, 3, 2, 3, 1, 3, 2, 3};
        std::memcpy(cfg_.ts_rate_decimator, dec, sizeof dec);
        std::memcpy(cfg_.ts_target_bitrate, target, sizeof target);
        std::memcpy(cfg_.ts_layer_id, ids, sizeof ids);
        break;
      }
      case 8: {
        cfg_.ts_number_layers = 2;
        const unsigned dec[] = {2, 1};
        const unsigned target[] = {t * 6 / 10, t};
        const unsigned ids[] = {0, 1, 0, 0};
        std::memcpy(cfg_.ts_rate_decimator, dec, sizeof dec);
        std::memcpy(cfg_.ts_target_bitrate, target, sizeof target);
        std::memcpy(cfg_.ts_layer_id, ids, sizeof ids);
        break;
      }
      case 4: {
        // One libvpx layer: libvpx refuses 0 layers, and the pattern lives in the per-frame flags.
        cfg_.ts_number_layers = 1;
        const unsigned ids[] = {0, 1, 2, 0};
        std::memcpy(cfg_.ts_layer_id, ids, sizeof ids);
        break;
      }
      case 2: {
        cfg_.ts_number_layers = 3;
        const unsigned dec[] = {4, 2, 1};
        const unsigned target[] = {t >> 1, (t * 3) >> 2, t};
        const unsigned ids[] = {0, 2, 1, 2};
        std::memcpy(cfg_.ts_rate_decimator, dec, sizeof dec);
        std::memcpy(cfg_.ts_target_bitrate, target, sizeof target);
        std::memcpy(cfg_.ts_layer_id, ids, sizeof ids);
        break;
      }
      case 1: {
        cfg_.ts_number_layers = 1;  // as for pattern 4
        const unsigned ids[] = {0, 1, 0, 0};
        std::memcpy(cfg_.ts_layer_id, ids, sizeof ids);
        break;
      }
    }
    return;
  }
}

void HXCodecVP8<hx::codec::encoder>::ApplyOptions(const HX_VideoCoderOptions& o) {
  cfg_.g_timebase.num = 1;
  cfg_.g_timebase.den = o.timeBase;
  cfg_.rc_target_bitrate = static_cast<unsigned>(o.bitrate);
  cfg_.rc_end_usage = o.constantBitrate != 0 ? VPX_CBR : VPX_VBR;
  if (o.constantBitrate != 0) {
    cfg_.rc_buf_sz = 3000;
    cfg_.rc_buf_initial_sz = 2000;
    cfg_.rc_buf_optimal_sz = 2000;
  }
  cfg_.g_error_resilient = static_cast<vpx_codec_er_flags_t>(o.errorResilient);
  cfg_.g_threads = static_cast<unsigned>(o.threads);
  if (o.temporalMode != 0) {
    cfg_.kf_mode = static_cast<vpx_kf_mode>(0);
    cfg_.kf_min_dist = static_cast<unsigned>(o.keyFrameMaxDistance);
  } else {
    cfg_.kf_mode = o.autoKeyFrames != 0 ? VPX_KF_AUTO : static_cast<vpx_kf_mode>(0);
    // A pattern left its minimum distance behind, and libvpx refuses automatic key frames with a
    // minimum other than 0: without this, switching a pattern off would always be refused.
    cfg_.kf_min_dist = 0;
  }
  cfg_.kf_max_dist = static_cast<unsigned>(o.keyFrameMaxDistance);
  cfg_.g_lag_in_frames = o.lagFrames > 0 ? static_cast<unsigned>(o.lagFrames - 1) : 0;
  deadline_ = DeadlineFor(o.deadlineMode);
  speed_ = o.cpuUsed;
  static_threshold_ = static_cast<uint32_t>(o.staticThreshold);
  option_byte_ = o.layerOption;
}

bool HXCodecVP8<hx::codec::encoder>::init(const HX_VideoCoderOptions* options, uint32_t) {
  release();
  if (!options || options->width <= 0 || options->height <= 0) return false;
  vpx_codec_enc_cfg_t cfg;
  if (vpx_codec_enc_config_default(vpx_codec_vp8_cx(), &cfg, 0) != VPX_CODEC_OK) return false;
  cfg.g_usage = 0;
  cfg.g_profile = 0;
  cfg.g_w = static_cast<unsigned>(options->width);
  cfg.g_h = static_cast<unsigned>(options->height);
  cfg.rc_min_quantizer = 4;
  cfg.rc_max_quantizer = 63;
  cfg.rc_dropframe_thresh = 0;
  cfg.rc_undershoot_pct = 0;
  cfg.rc_overshoot_pct = 0;
  cfg.g_pass = VPX_RC_ONE_PASS;
  cfg_ = cfg;
  ApplyOptions(*options);
  ApplyPattern(static_cast<uint32_t>(options->temporalMode));
  if (option_byte_ != 0 && temporal_layering_) {
    if (option_byte_ >= 58) speed_ = 3;
    static_threshold_ = static_cast<uint32_t>(options->staticThreshold / 4);
  }

  image_ = vpx_img_alloc(nullptr, VPX_IMG_FMT_I420, cfg_.g_w, cfg_.g_h, 16);
  if (!image_) {
    release();
    return false;
  }
  // Odd sizes leave a chroma column and row that the input does not cover: keep them defined.
  const size_t chromaRows = (cfg_.g_h + 1) / 2;
  std::memset(image_->planes[VPX_PLANE_Y], 0, static_cast<size_t>(image_->stride[0]) * cfg_.g_h);
  std::memset(image_->planes[VPX_PLANE_U], 128,
              static_cast<size_t>(image_->stride[1]) * chromaRows);
  std::memset(image_->planes[VPX_PLANE_V], 128,
              static_cast<size_t>(image_->stride[2]) * chromaRows);
  if (vpx_codec_enc_init(ctx_, vpx_codec_vp8_cx(), &cfg_, 0) != VPX_CODEC_OK) {
    release();
    return false;
  }
  vpx_codec_control(ctx_, VP8E_SET_CPUUSED, speed_);
  vpx_codec_control(ctx_, VP8E_SET_STATIC_THRESHOLD, static_threshold_);
  luma_size_ = cfg_.g_w * cfg_.g_h;
  validate(true);
  return true;
}

bool HXCodecVP8<hx::codec::encoder>::_setBitrate(uint32_t bitrate) {
  cfg_.rc_target_bitrate = bitrate;
  if (pattern_id_ == 8) {
    cfg_.ts_target_bitrate[0] = bitrate * 6 / 10;
    cfg_.ts_target_bitrate[1] = bitrate;
  }
  if (!isValid()) return false;
  return vpx_codec_enc_config_set(ctx_, &cfg_) == VPX_CODEC_OK;
}

bool HXCodecVP8<hx::codec::encoder>::_setCoderOption(const HX_VideoCoderOptions* options) {
  if (!isValid() || !options) return false;
  ApplyOptions(*options);
  ApplyPattern(static_cast<uint32_t>(options->temporalMode));
  const bool accepted = vpx_codec_enc_config_set(ctx_, &cfg_) == VPX_CODEC_OK;
  vpx_codec_control(ctx_, VP8E_SET_CPUUSED, speed_);
  vpx_codec_control(ctx_, VP8E_SET_STATIC_THRESHOLD, static_threshold_);
  luma_size_ = static_cast<uint32_t>(options->width) * static_cast<uint32_t>(options->height);
  return accepted;
}

bool HXCodecVP8<hx::codec::encoder>::_getCoderOption(HX_VideoCoderOptions* o) {
  if (!isValid() || !o) return false;
  o->width = static_cast<int32_t>(cfg_.g_w);
  o->height = static_cast<int32_t>(cfg_.g_h);
  o->timeBase = cfg_.g_timebase.den;
  o->bitrate = static_cast<int32_t>(cfg_.rc_target_bitrate);
  o->constantBitrate = cfg_.rc_end_usage == VPX_CBR ? 1 : 0;
  o->threads = static_cast<int32_t>(cfg_.g_threads);
  o->keyFrameMaxDistance = static_cast<int32_t>(cfg_.kf_max_dist);
  o->lagFrames = static_cast<int32_t>(cfg_.g_lag_in_frames + 1);
  o->errorResilient = static_cast<int32_t>(cfg_.g_error_resilient);
  o->autoKeyFrames = cfg_.kf_mode != 0 ? 1 : 0;
  o->deadlineMode = DeadlineModeOf(deadline_);
  o->cpuUsed = speed_;
  o->staticThreshold = static_cast<int32_t>(static_threshold_);
  o->layerOption = option_byte_;
  o->temporalMode = static_cast<int32_t>(pattern_id_ << 8);
  return true;
}

bool HXCodecVP8<hx::codec::encoder>::_setSVCMode(uint32_t& mode) {
  HX_VideoCoderOptions o;
  if (!_getCoderOption(&o)) return false;
  if (mode != 0) {
    o.autoKeyFrames = 0;
    o.keyFrameMaxDistance = 450;
    o.errorResilient = 1;
    o.temporalMode = mode == 0xFFFFFFFFu ? 0 : static_cast<int32_t>(mode);
  } else {
    o.autoKeyFrames = 1;
    o.keyFrameMaxDistance = 1000;
    o.errorResilient = 0;
    o.temporalMode = 0;
  }
  if (!_setCoderOption(&o) || !_getCoderOption(&o)) return false;
  mode = static_cast<uint32_t>(o.temporalMode);
  return true;
}

int HXCodecVP8<hx::codec::encoder>::_convert(const unsigned char* input, unsigned char* output,
                                             HX_VideoCodecParam& param) {
  if (!isValid() || !input || !output) return 0;
  const bool keyRequested = param.request == 0 || key_pending_;
  unsigned temporalId = 0;
  long flags = keyRequested ? VPX_EFLAG_FORCE_KF : 0;
  const Pattern* pattern = temporal_layering_ ? FindPattern(pattern_id_) : nullptr;
  if (pattern) {
    if (keyRequested) pattern_pos_ = 0;
    const size_t index = pattern_pos_ % static_cast<uint64_t>(pattern->periodicity);
    temporalId = cfg_.ts_layer_id[index];
    flags = pattern_pos_ == 0 ? kKeyFrameFlags : pattern->flags[index];
  }
  last_flags_ = flags;

  const size_t w = cfg_.g_w;
  const size_t h = cfg_.g_h;
  const size_t cw = w / 2;
  const unsigned char* u = input + w * h;
  const unsigned char* v = input + w * h * 5 / 4;
  for (size_t y = 0; y < h; ++y) {
    std::memcpy(image_->planes[VPX_PLANE_Y] + y * image_->stride[VPX_PLANE_Y], input + y * w, w);
  }
  for (size_t y = 0; y < h / 2; ++y) {
    std::memcpy(image_->planes[VPX_PLANE_U] + y * image_->stride[VPX_PLANE_U], u + y * cw, cw);
    std::memcpy(image_->planes[VPX_PLANE_V] + y * image_->stride[VPX_PLANE_V], v + y * cw, cw);
  }

  if (vpx_codec_encode(ctx_, image_, static_cast<vpx_codec_pts_t>(pts_), 1, flags, deadline_) !=
      VPX_CODEC_OK) {
    return 0;
  }
  if (keyRequested) key_pending_ = false;

  // The callers' buffers hold at least three bytes per luma pixel; a frame that would not fit
  // there is dropped whole rather than cut, and the receiver is resynchronised by a key frame.
  const size_t room = 3 * w * h;
  size_t total = 0;
  bool sawPacket = false;
  bool sawDelta = false;
  bool overflow = false;
  vpx_codec_iter_t iter = nullptr;
  while (const vpx_codec_cx_pkt_t* pkt = vpx_codec_get_cx_data(ctx_, &iter)) {
    if (pkt->kind != VPX_CODEC_CX_FRAME_PKT) continue;
    sawPacket = true;
    if (pkt->data.frame.flags & VPX_FRAME_IS_KEY) {
      pattern_pos_ = 0;
    } else {
      sawDelta = true;
    }
    const size_t size = pkt->data.frame.sz;
    if (overflow || size > room - total) {
      overflow = true;
      continue;
    }
    std::memcpy(output + total, pkt->data.frame.buf, size);
    total += size;
  }
  ++pts_;
  ++pattern_pos_;
  if (overflow) {
    key_pending_ = true;
    param.keyFrame = 0;
    return 0;
  }
  param.keyFrame = sawPacket && !sawDelta ? 1 : 0;
  param.layerInfo = (param.layerInfo & ~0xFFu) | (temporalId & 0xFFu);
  return static_cast<int>(total);
}

// ---- decoder ----

HXCodecVP8<hx::codec::decoder>::HXCodecVP8() : VideoCodecBase(HX_MediaFormat::kCodecVP8, false) {}

HXCodecVP8<hx::codec::decoder>::~HXCodecVP8() { release(); }

size_t HXCodecVP8<hx::codec::decoder>::OutputBytes(int width, int height) {
  if (width <= 0 || height <= 0) return 0;
  const size_t w = static_cast<size_t>(width);
  const size_t h = static_cast<size_t>(height);
  return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);
}

bool HXCodecVP8<hx::codec::decoder>::init(const HX_VideoCoderOptions* options, uint32_t) {
  release();
  if (!options) return false;
  ctx_ = new vpx_codec_ctx_t();
  vpx_codec_dec_cfg_t cfg{};
  cfg.threads = static_cast<unsigned>(options->threads);
  cfg.w = static_cast<unsigned>(options->width);
  cfg.h = static_cast<unsigned>(options->height);
  const vpx_codec_flags_t flags = options->postProcessing == 1 ? VPX_CODEC_USE_POSTPROC : 0;
  if (vpx_codec_dec_init(ctx_, vpx_codec_vp8_dx(), &cfg, flags) != VPX_CODEC_OK) {
    delete ctx_;
    ctx_ = nullptr;
    return false;
  }
  width_ = options->width;
  height_ = options->height;
  validate(true);
  return true;
}

void HXCodecVP8<hx::codec::decoder>::release() {
  if (isValid()) {
    validate(false);
    vpx_codec_destroy(ctx_);
  }
  delete ctx_;
  ctx_ = nullptr;
  width_ = 0;
  height_ = 0;
}

int HXCodecVP8<hx::codec::decoder>::_convert(const unsigned char* input, unsigned char* output,
                                             HX_VideoCodecParam& param) {
  if (!isValid() || !input || param.inputSize == 0) return 0;
  if (vpx_codec_decode(ctx_, input, param.inputSize, nullptr, 0) != VPX_CODEC_OK) return 0;
  // Drain every picture the call produced; the last one is the current picture.
  vpx_codec_iter_t iter = nullptr;
  vpx_image_t* img = nullptr;
  while (vpx_image_t* next = vpx_codec_get_frame(ctx_, &iter)) img = next;
  if (param.noOutput || !img || !output || img->fmt != VPX_IMG_FMT_I420) return 0;
  // Only a picture of the opened size fits the output the front-end sized for it.
  if (static_cast<int>(img->d_w) != width_ || static_cast<int>(img->d_h) != height_) return 0;
  const size_t w = img->d_w;
  const size_t h = img->d_h;
  const size_t cw = (w + 1) / 2;
  const size_t ch = (h + 1) / 2;
  unsigned char* out = output;
  for (size_t y = 0; y < h; ++y, out += w) {
    std::memcpy(out, img->planes[VPX_PLANE_Y] + y * img->stride[VPX_PLANE_Y], w);
  }
  for (int plane : {VPX_PLANE_U, VPX_PLANE_V}) {
    for (size_t y = 0; y < ch; ++y, out += cw) {
      std::memcpy(out, img->planes[plane] + y * img->stride[plane], cw);
    }
  }
  return static_cast<int>(out - output);
}
