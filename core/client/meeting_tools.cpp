#include "core/client/meeting_tools.h"

#include <algorithm>

#include "core/media/format/media_format_limits.h"
#include "core/media/video/capture_slot_file.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/receive/video_sync.h"
#include "core/media/video/video_capture_slot.h"
#include "core/media/video/video_decoder.h"
#include "core/media/video/video_encoder.h"
#include "core/wire/client_caps.h"

HX_MeetingToolsFactory::HX_MeetingToolsFactory()
    : m_videoCodecFactory(std::make_unique<HX_VideoCodecFactory>()),
      m_videoSynch(HX_VideoSynchFactory::CreateVideoSynch()) {}

HX_MeetingToolsFactory::~HX_MeetingToolsFactory() = default;

void HX_MeetingToolsFactory::RegisteredVideoCodecFactory(HX_VideoCodecFactory* factory) {
  if (factory != nullptr) m_videoCodecFactory.reset(factory);
}

std::shared_ptr<HX_VideoCaptureSlotBase> HX_MeetingToolsFactory::_CreateCapture(
    const HX_ClientCaps&) {
  return std::make_shared<HX_VideoCaptureSlotStub>();
}

std::shared_ptr<HX_CaptureSlotFile> HX_MeetingToolsFactory::_CreateVideoSource(
    const HX_ClientCaps& caps) {
  HX_MediaFormat format;
  caps.GetMediaFormat(format);
  return std::make_shared<HX_CaptureSlotFile>(
      static_cast<unsigned long>(static_cast<uint64_t>(format.width) * format.height * 3 / 2));
}

void HX_MeetingToolsFactory::OnRequestVideoEncoder(const HX_ClientCaps& caps,
                                                   std::shared_ptr<HX_VideoEncoderBase>& encoder) {
  auto made = std::make_shared<HX_VideoEncoder>();
  scalable_info::Config config;
  config.svcCaps = 1;
  // The capability record carries no option byte for the smallest layer: 0.
  config.lastLayerOption = 0;
  if (const HX_MediaFormatManagerLimits* limits = GetMediaFormatLimits()) {
    config.cameraUpLimit = static_cast<uint32_t>(std::max(0, limits->GetCnfVideoUpLimit()));
    config.contentUpLimit = static_cast<uint32_t>(std::max(0, limits->GetCnfDsUpLimit()));
  }
  config.bitrateAlgorithm = 0;
  made->Configure(config);
  made->SetCodecFactory(m_videoCodecFactory.get());
  HX_MediaFormat format;
  caps.GetMediaFormat(format);
  made->Reinit(&format, false);
  encoder = std::move(made);
}

void HX_MeetingToolsFactory::OnRequestVideoDecoder(const char*, const HX_ClientCaps& caps,
                                                   std::shared_ptr<HX_VideoDecoderBase>& decoder) {
  auto made = std::make_shared<HX_VideoDecoder>();
  made->SetCodecFactory(m_videoCodecFactory.get());
  HX_MediaFormat format;
  caps.GetMediaFormat(format);
  made->Reinit(format);
  decoder = std::move(made);
}
