#include "core/media/video/video_encoder.h"

#include <algorithm>
#include <limits>

#include "core/media/video/codec/video_codec_factory.h"

namespace {

constexpr uint32_t kPrefixBytes = 6;
constexpr uint32_t kMinSide = 16;
constexpr uint32_t kMaxSide = 131072;
constexpr uint64_t kMaxArea = 8192ull * 8192;

uint64_t I420Bytes(uint64_t width, uint64_t height) { return width * height * 3 / 2; }

// double to int without the undefined behaviour of an out-of-range cast: the rate inputs are the
// caller's integers, and a product or quotient of them may leave the int range.
int ToInt(double value) {
  if (!(value > std::numeric_limits<int>::min())) return std::numeric_limits<int>::min();
  if (!(value < std::numeric_limits<int>::max())) return std::numeric_limits<int>::max();
  return static_cast<int>(value);
}

uint32_t EvenUp(double value) { return static_cast<uint32_t>((static_cast<int>(value) + 1) & ~1); }

}  // namespace

// ---- one layer ----

HX_VideoCodecSpatial::HX_VideoCodecSpatial(HX_VideoCodecFactory* factory,
                                           const HX_MediaFormat& layerFormat,
                                           const HX_MediaFormat* source)
    : HXThread("HXVideoLayer"), format(layerFormat) {
  sourceFormat.Clear();
  sourceFormat.size = 0;
  codec = factory->CreateEncoder(format.videoCodec, format.hardwareCodec == 0
                                                        ? hx_vfactory_defs::eTypeCodecSoftware
                                                        : hx_vfactory_defs::eTypeCodecHardware);
  output.assign(static_cast<uint64_t>(format.width) * format.height * 4 + kPrefixBytes, 0);
  if (source != nullptr) {
    sourceFormat = *source;
    scaled.assign(I420Bytes(format.width, format.height), 0);
    m_scales = true;
    // Without a thread (the system refused one) the layer still encodes, on the caller's thread.
    m_threaded = Start(hx::thread::normal, true) == 0;
  }
}

HX_VideoCodecSpatial::~HX_VideoCodecSpatial() {
  if (m_threaded) {
    m_stop.store(true);
    startEvent.Set();
    Terminate();
    Wait();
  }
}

void HX_VideoCodecSpatial::Run() {
  while (!m_stop.load()) {
    startEvent.Wait();
    if (m_stop.load()) break;
    if (input != nullptr) {
      Encode();
      doneEvent.Set();
    }
  }
}

void HX_VideoCodecSpatial::Encode() {
  const unsigned char* picture = input;
  encodedSize = 0;
  bool ready = picture != nullptr && codec;
  if (ready && m_scales) {
    ready = m_processing.ResampleI420(
        picture, static_cast<int>(sourceFormat.width), static_cast<int>(sourceFormat.width),
        static_cast<int>(sourceFormat.height), scaled.data(), static_cast<int>(format.width),
        static_cast<int>(format.width), static_cast<int>(format.height),
        hx_processing_defs::eBilinear);
    picture = scaled.data();
  }
  if (ready) {
    HX_VideoCodecParam param;
    param.request = keyFrame ? 0 : 1;
    encodedSize = codec->convert(picture, output.data() + kPrefixBytes, param);
    keyFrame = param.keyFrame != 0;
    temporalId = static_cast<uint8_t>(param.layerInfo & 0xFF);
  } else {
    keyFrame = false;
  }
  input = nullptr;
}

// ---- the front-end ----

HX_VideoEncoder::HX_VideoEncoder() = default;

HX_VideoEncoder::~HX_VideoEncoder() { Release(); }

void HX_VideoEncoder::Configure(const scalable_info::Config& config) { m_config = config; }

void HX_VideoEncoder::SetBitrate(int bitrate, int lowBandwidth, int upBandwidth, int fps100) {
  std::lock_guard<std::mutex> hold(m_bitrateLock);
  m_rate = bitrate;
  m_low = lowBandwidth;
  m_up = upBandwidth;
  m_fps = fps100;
}

bool HX_VideoEncoder::Differs(const HX_MediaFormat& a, bool screenA, const HX_MediaFormat& b,
                              bool screenB) {
  return a.width != b.width || a.height != b.height || a.frameRate != b.frameRate ||
         a.videoCodec != b.videoCodec || a.hardwareCodec != b.hardwareCodec || screenA != screenB;
}

bool HX_VideoEncoder::CheckFormat(const HX_MediaFormat& format, bool screenCapture) {
  return Differs(m_format, m_screenCapture, format, screenCapture);
}

void HX_VideoEncoder::Release() {
  m_svcMode = 0;
  m_screenCapture = false;
  m_baseResolution.exchange(0);
  m_rateApplied = m_lowApplied = m_upApplied = m_fpsApplied = 0;
  m_activeLayerCount = 1;
  m_layerCount = 1;
  m_temporalCount = 1;
  m_svcLevel = 0;
  m_highCapacity = false;
  m_totalWeight = 1.0;
  m_format = HX_MediaFormat();
  m_spatial.clear();
  m_valid = false;
  // Joins every layer thread.
  m_layers.clear();
}

void HX_VideoEncoder::CheckScalableMode(uint32_t m, uint32_t c) {
  m_svcActive = false;
  m_highCapacity = (m & 0xFF) != 0;
  m_svcLevel = static_cast<int>(m >> 24);
  if (m_svcLevel == 255) {
    m_svcMode = 0;
    return;
  }
  m_svcLevel = static_cast<int>(std::min(c >> 24, m >> 24));
  m_svcActive = m != 0 && c != 0;
  m_svcMode = m & c & 0xFFFFFF;
  if ((m & 0xFF00) != 0 && (c & 0xFF00) != 0) {
    m_svcMode = (c & 0xFF00) | (m & c & 0xFFFFFF);
    if (((m & 0xFF) != 0 || m_svcLevel > 0) && m_screenCapture) {
      m_svcMode = (m & c & 0xFF00FF) | 0x200;
    }
  }
}

void HX_VideoEncoder::CheckLayersLimits(uint32_t mb) {
  if (m_svcLevel == 255) {
    m_layerCount = 1;
    m_temporalCount = 1;
    return;
  }
  int spatial = 1;
  if ((m_svcMode & 0xFF0000) != 0) {
    if ((m_svcMode & 0x20000) != 0) {
      spatial = m_highCapacity ? 4 : 3;
    } else if ((m_svcMode & 0x10000) != 0) {
      spatial = 2;
    }
  }
  if ((m_svcMode & 0xFF00) == 0x200) {
    m_temporalCount = 3;
    spatial = mb > 2999 ? 2 : 1;
  } else if ((m_svcMode & 0xFF00) == 0x100) {
    m_temporalCount = 2;
  } else {
    m_temporalCount = 1;
  }
  const uint32_t* table =
      (m_svcMode & 0x40000) != 0 ? scalable_info::slMB_ver1 : scalable_info::slMB_ver0;
  int count = 0;
  for (int i = 0; i < 4; ++i) {
    if (table[i] <= mb) ++count;
  }
  m_layerCount = std::min(count, spatial);
}

void HX_VideoEncoder::FillSpatialDescription(uint32_t mb, uint32_t mbps) {
  int cap = static_cast<int>(m_screenCapture ? m_config.contentUpLimit : m_config.cameraUpLimit);
  int floor = 0;
  if (cap != 0) {
    floor = static_cast<int>(cap * 0.914);
  } else if (m_highCapacity) {
    cap = 2240;
    floor = 2048;
  } else {
    cap = 640;
    floor = 512;
  }
  scalable_info::SpatialProperty current;
  current.width = m_format.width;
  current.height = m_format.height;
  current.maxBitrate = std::min(cap, static_cast<int>(0.0086 * mbps + 152.31));
  current.minBitrate = std::min(floor, static_cast<int>(0.0079 * mbps + 139.91));
  current.weight = 1.0;
  current.totalCap = static_cast<int>(current.maxBitrate / (m_layerCount == 1 ? 0.6 : 0.4));

  m_spatial.clear();
  if (mb == 8100 && m_layerCount == 4) {
    scalable_info::SpatialProperty previous = current;
    for (const scalable_info::PresetStep& step : scalable_info::preset0) {
      scalable_info::SpatialProperty entry = previous;
      entry.width = EvenUp(previous.width / step.scale);
      entry.height = EvenUp(previous.height / step.scale);
      entry.maxBitrate = static_cast<int>(previous.maxBitrate * step.factor);
      entry.minBitrate = static_cast<int>(previous.minBitrate * step.factor);
      entry.weight = previous.weight * step.factor;
      m_spatial.push_back(entry);
      previous = entry;
    }
  } else {
    for (int i = 0; i < m_layerCount; ++i) {
      m_spatial.push_back(current);
      uint32_t width = EvenUp(current.width * 0.5);
      uint32_t height = EvenUp(current.height * 0.5);
      if (m_screenCapture && static_cast<uint64_t>(width) * height <= 511999 &&
          m_temporalCount >= 3) {
        width = 960;
        height = 540;
      }
      current.width = width;
      current.height = height;
      current.maxBitrate = static_cast<int>(current.maxBitrate * 0.4);
      current.minBitrate = static_cast<int>(current.minBitrate * 0.4);
      current.weight *= 0.4;
    }
  }
  m_totalWeight = 0.0;
  for (size_t i = 0; i < m_spatial.size(); ++i) {
    int restMax = 0;
    int restMin = 0;
    for (size_t j = i; j < m_spatial.size(); ++j) {
      restMax += m_spatial[j].maxBitrate;
      restMin += m_spatial[j].minBitrate;
    }
    m_spatial[i].restMax = restMax;
    m_spatial[i].restMin = restMin;
    m_totalWeight += m_spatial[i].weight;
  }
  m_spatial.back().minBitrate = 0;
  m_spatial.back().restMin = 0;
}

bool HX_VideoEncoder::BuildLayer(size_t index) {
  const scalable_info::SpatialProperty& entry = m_spatial[index];
  HX_MediaFormat layerFormat(m_format);
  layerFormat.width = entry.width;
  layerFormat.height = entry.height;
  auto layer = std::make_unique<HX_VideoCodecSpatial>(m_codecFactory, layerFormat,
                                                      index == 0 ? nullptr : &m_format);
  if (!layer->codec) return false;

  const bool last = index + 1 == m_spatial.size();
  HX_VideoCoderOptions options;
  options.width = static_cast<int32_t>(entry.width);
  options.height = static_cast<int32_t>(entry.height);
  options.timeBase = 10;
  options.bitrate = 128;
  options.layerOption = static_cast<uint8_t>(last ? m_config.lastLayerOption : index == 0 ? 0 : 10);
  switch (m_format.videoCodec) {
    case HX_MediaFormat::kCodecVP8:
      options.constantBitrate = 1;
      options.keyFrameMaxDistance = 1000;
      options.threads = 1;
      options.lagFrames = 1;
      options.deadlineMode = m_deadlineMode;
      options.cpuUsed = m_cpuUsed;
      options.staticThreshold = 800;
      options.autoKeyFrames = 1;
      break;
    case HX_MediaFormat::kCodecH263:
    case HX_MediaFormat::kCodecH263Plus:
      break;
    case HX_MediaFormat::kCodecH264:
    case HX_MediaFormat::kCodecH265:
      options.keyFrameMaxDistance = 1000;
      options.threads = 1;
      break;
    default:
      return false;
  }
  const bool opened = layer->codec->init(&options, 0);
  uint32_t word = m_svcLevel == 255 ? 0xFFFFFFFFu : m_svcMode;
  if (layer->codec->setSVCMode(word) && index == 0 && m_svcLevel != 255) {
    // Applied once every layer is built (the other layers still get the negotiated word).
    m_pendingMode = (m_svcMode & ~0xFFFFu) | (word & 0xFF00);
    m_hasPendingMode = true;
  }
  layer->keyFrame = true;
  if (!opened) return false;
  m_layers.push_back(std::move(layer));
  m_valid = true;
  return true;
}

void HX_VideoEncoder::Reinit(const HX_MediaFormat* format, bool screenCapture) {
  // Each side may reach 131072, but the layer buffers grow with the area (4 bytes a pixel for the
  // output alone): an area beyond what the capture path delivers (8192 x 8192) is refused too,
  // rather than failing an allocation of tens of gigabytes.
  if (format == nullptr || format->videoCodec == 0 || format->height < kMinSide ||
      format->height > kMaxSide || format->width < kMinSide || format->width > kMaxSide ||
      static_cast<uint64_t>(format->width) * format->height > kMaxArea) {
    Release();
    return;
  }
  // The comparison keeps running layers only: released (or never built), the current format is
  // the default record, and a first format equal to it must still build the layers.
  if (m_valid && !CheckFormat(*format, screenCapture)) return;
  // A format whose layers could not be built is not tried again for every picture.
  if (!m_valid && m_failed && !Differs(m_failedFormat, m_failedScreen, *format, screenCapture)) {
    return;
  }
  Release();
  if (m_codecFactory == nullptr) return;
  m_screenCapture = screenCapture;
  m_format = *format;

  CheckScalableMode(m_format.svcMode, m_config.svcCaps);
  const uint32_t mb =
      static_cast<uint32_t>(static_cast<uint64_t>(m_format.width) * m_format.height / 256);
  CheckLayersLimits(mb);
  // Unsigned 32-bit before the division, as the rate formulas were fitted with.
  const uint32_t mbps = (m_format.width * m_format.height * m_format.frameRate) / 256;
  FillSpatialDescription(mb, mbps);

  m_activeLayerCount = m_layerCount;
  m_hasPendingMode = false;
  for (size_t i = 0; i < m_spatial.size(); ++i) {
    if (!BuildLayer(i)) {
      Release();
      m_failed = true;
      m_failedFormat = *format;
      m_failedScreen = screenCapture;
      return;
    }
  }
  m_failed = false;
  if (!m_valid) return;
  if (m_hasPendingMode) m_svcMode = m_pendingMode;

  int fps;
  {
    std::lock_guard<std::mutex> hold(m_bitrateLock);
    fps = m_fps;
  }
  if (m_config.bitrateAlgorithm == 1 && fps > 0) {
    for (size_t i = 0; i < m_layers.size(); ++i) {
      m_layers[i]->codec->setBitrate(
          static_cast<uint32_t>(static_cast<int64_t>(m_spatial[i].maxBitrate) * 1000 / fps));
    }
  }
  UpdateBitrate();
  CheckSpatialLayers();
}

int HX_VideoEncoder::GetBaseBandwidth(int low, int up, int rate) const {
  if (low < up && m_svcMode != 0 && !m_spatial.empty()) {
    double w = m_spatial.back().weight;
    if ((m_svcMode & 0xFF00) != 0) w *= 0.6;
    return std::min({rate, up, ToInt(low / w)});
  }
  return std::min({rate, low, up});
}

void HX_VideoEncoder::ApplyLayerRate(HX_VideoCodecSpatial& layer, int64_t kbps, int fps) {
  int64_t value = kbps * 1000 / fps;
  value = std::clamp<int64_t>(value, 0, std::numeric_limits<uint32_t>::max());
  layer.codec->setBitrate(static_cast<uint32_t>(value));
}

uint32_t HX_VideoEncoder::SplitStep(int share, int minBitrate, uint32_t state, bool& forceKeyFrame,
                                    bool& dropped, bool& apply) {
  forceKeyFrame = false;
  dropped = false;
  apply = false;
  if (share < minBitrate * 90 / 100) {
    dropped = true;
    if (state == 1) return 3;
    if (state == 0 || state == 2) {
      forceKeyFrame = true;
      return 2;
    }
    return state;
  }
  if (share < minBitrate) {
    if (state == 2 || state == 3) {
      dropped = true;
      return state;
    }
    apply = true;
    return state;
  }
  apply = true;
  if (state == 2) return 0;
  if (state == 3) {
    forceKeyFrame = true;
    return 1;
  }
  return state;
}

void HX_VideoEncoder::FullBandwidthSplit(int bw, int rate, int fps) {
  double weights = m_totalWeight;
  const int total = std::min(ToInt(bw * weights), rate);
  int unit = ToInt(total / weights + 0.5);
  for (size_t i = 0; i < m_layers.size(); ++i) {
    HX_VideoCodecSpatial& layer = *m_layers[i];
    const scalable_info::SpatialProperty& entry = m_spatial[i];
    const int share = ToInt(unit * entry.weight + 0.5);
    bool force = false;
    bool dropped = false;
    bool apply = false;
    const uint32_t before = layer.state;
    layer.state = SplitStep(share, entry.minBitrate, before, force, dropped, apply);
    if (force) m_forceKeyFrame = true;
    if (dropped) {
      weights -= entry.weight;
      // Once no weight remains there is nobody to spread the rest over: the unit stays.
      if (weights > 1e-9) unit = ToInt(total / weights + 0.5);
    }
    if (apply) {
      const bool fits = share >= entry.minBitrate;
      ApplyLayerRate(layer, fits ? std::min(share, entry.totalCap) : share, fps);
    }
  }
}

void HX_VideoEncoder::LayerSwitching(int bw, int rate) {
  for (size_t i = 0; i < m_layers.size(); ++i) {
    HX_VideoCodecSpatial& layer = *m_layers[i];
    const scalable_info::SpatialProperty& entry = m_spatial[i];
    if (layer.state == 0 || layer.state == 1) {
      if (entry.restMin > rate || entry.minBitrate > bw) layer.state = 3;
    } else if (entry.restMax <= rate && entry.maxBitrate <= bw) {
      layer.state = 1;
    }
  }
}

void HX_VideoEncoder::UpdateBitrate() {
  int fps, low, up, rate;
  {
    std::lock_guard<std::mutex> hold(m_bitrateLock);
    fps = m_fps;
    low = m_low;
    up = m_up;
    rate = m_rate;
  }
  if (fps == m_fpsApplied && low == m_lowApplied && up == m_upApplied && rate == m_rateApplied) {
    return;
  }
  // Rates are scaled by the frame-rate factor; without one there is nothing to scale by, and the
  // inputs wait for a usable factor.
  if (fps <= 0 || m_layers.empty()) return;
  int bw = GetBaseBandwidth(low, up, rate);
  if (m_layers.size() == 1) {
    HX_VideoCodecSpatial& layer = *m_layers[0];
    if (m_svcMode != 0) bw = std::min(bw, m_spatial[0].totalCap);
    const auto kind = static_cast<hx_vfactory_defs::eHardwareCodec>(layer.format.hardwareCodec);
    if (HX_VideoCodecFactory::IsWebcamHardware(kind)) {
      layer.codec->setBitrate(static_cast<uint32_t>(std::max(bw, 0)));
    } else {
      ApplyLayerRate(layer, bw, fps);
    }
  } else if (m_config.bitrateAlgorithm != 0) {
    LayerSwitching(bw, rate);
  } else {
    FullBandwidthSplit(bw, rate, fps);
  }
  m_rateApplied = rate;
  m_lowApplied = low;
  m_upApplied = up;
  m_fpsApplied = fps;
}

void HX_VideoEncoder::CheckSpatialLayers() {
  int active = 0;
  bool baseStored = false;
  for (auto& layerPtr : m_layers) {
    HX_VideoCodecSpatial& layer = *layerPtr;
    bool counted;
    if (layer.keyFrame) {
      switch (layer.state) {
        case 3:
          counted = false;
          break;
        case 2:
          layer.state = 3;
          counted = false;
          break;
        case 1:
          layer.state = 0;
          counted = true;
          break;
        default:
          counted = true;
          break;
      }
    } else {
      counted = layer.state == 0 || layer.state == 2;
    }
    if (counted && layer.keyFrame && !baseStored) {
      m_baseResolution.exchange(layer.format.width << 16 | (layer.format.height & 0xFFFF));
      baseStored = true;
    }
    if (counted) ++active;
  }
  m_activeLayerCount = active;
}

void HX_VideoEncoder::BuildDescriptor(HX_VideoCodecSpatial& layer, int position) {
  int n = 0;
  if (m_svcLevel > 0) {
    const uint32_t area = layer.format.width * layer.format.height;
    layer.descriptor[0] = static_cast<uint8_t>(((m_layerCount - 1) & 3) | (layer.keyFrame ? 4 : 0));
    layer.descriptor[1] = static_cast<uint8_t>(area >> 8);
    layer.descriptor[2] = static_cast<uint8_t>(area >> 16);
    layer.descriptor[3] = static_cast<uint8_t>(area >> 24);
    layer.descriptor[4] = static_cast<uint8_t>((m_temporalCount - 1) & 3);
    n = 5;
  }
  layer.descriptor[n++] =
      static_cast<uint8_t>(((m_activeLayerCount - 1) & 3) | (layer.temporalId & 3) << 2 |
                           (position & 3) << 4 | (m_svcLevel & 3) << 6);
  layer.descriptorLength = n;
}

void HX_VideoEncoder::OnReady2Compress(const unsigned char* picture, unsigned long size,
                                       const HX_SendNhpVideoHeader* header, bool& sent) {
  if (!m_valid || picture == nullptr || header == nullptr) return;
  // Every layer reads a whole picture of the current format: a shorter one would be read past.
  if (static_cast<uint64_t>(size) < I420Bytes(m_format.width, m_format.height)) return;
  UpdateBitrate();

  const bool key = header->frameType == 0 || m_forceKeyFrame;
  for (auto& layer : m_layers) {
    layer->input = picture;
    layer->keyFrame = key;
    layer->temporalId = 0;
    if (layer->HasThread()) layer->startEvent.Set();
  }
  m_forceKeyFrame = false;
  for (auto& layer : m_layers) {
    if (layer->HasThread()) {
      layer->doneEvent.Wait();
    } else {
      layer->Encode();
    }
  }

  CheckSpatialLayers();

  int position = 0;
  for (auto& layerPtr : m_layers) {
    HX_VideoCodecSpatial& layer = *layerPtr;
    if (layer.state != 0 && layer.state != 2) continue;
    const uint8_t type = layer.keyFrame ? 0 : 1;
    unsigned char* out = layer.output.data();
    out[0] = header->frameCounter;
    out[1] = type;
    for (int i = 0; i < 4; ++i)
      out[2 + i] = static_cast<unsigned char>(header->timestamp >> (8 * i));
    HX_SendNhpVideoHeader copy(*header);
    copy.frameType = type;
    copy.layerDescriptor = nullptr;
    copy.layerDescriptorLength = 0;
    if (m_svcActive) {
      BuildDescriptor(layer, position);
      copy.layerDescriptor = layer.descriptor;
      copy.layerDescriptorLength = layer.descriptorLength;
    }
    ++position;
    if (layer.encodedSize > 0) {
      CompressedFrameSignal.Emit(out, static_cast<unsigned long>(layer.encodedSize) + kPrefixBytes,
                                 &copy);
      sent = true;
    }
  }
}
