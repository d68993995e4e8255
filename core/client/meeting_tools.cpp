#include "core/client/meeting_tools.h"

#include <algorithm>
#include <cstdint>

#include "core/media/audio/audio_codec.h"
#include "core/media/audio/audio_codec_factory.h"
#include "core/media/audio/audio_connector.h"
#include "core/media/audio/audio_device.h"
#include "core/media/audio/audio_resampler.h"
#include "core/media/audio/record_peer_proxy.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/video/bitstream/media_probe.h"
#include "core/media/video/capture_slot_file.h"
#include "core/media/video/codec/video_codec_factory.h"
#include "core/media/video/receive/video_sync.h"
#include "core/media/video/video_capture_slot.h"
#include "core/media/video/video_decoder.h"
#include "core/media/video/video_encoder.h"

namespace {

// The default format overlaid with the send format `caps` carries.
HX_MediaFormat SendFormatOf(const HX_ClientCaps& caps) {
  HX_MediaFormat format;
  caps.GetMediaFormat(format);
  return format;
}

uint32_t Limit(int32_t kbps) { return static_cast<uint32_t>(std::max(0, kbps)); }

}  // namespace

HX_MeetingToolsFactory::HX_MeetingToolsFactory() {
  m_audioConnector = std::make_shared<HX_AudioConnector>();
  m_videoSync.reset(HX_VideoSynchFactory::CreateVideoSynch());
  RegisteredAudioCodecFactory(new HX_AudioCodecFactory());
  RegisteredVideoCodecFactory(new HX_VideoCodecFactory());
  RegisteredAudioResamplerFactory(new HX_AudioResamplerFactory());
}

HX_MeetingToolsFactory::~HX_MeetingToolsFactory() {
  m_videoSync.reset();
  m_audioConnector.reset();
  UnregisteredVideoCodecFactory();
  UnregisteredAudioCodecFactory();
}

// ---- registration

void HX_MeetingToolsFactory::RegisteredAudioCodecFactory(HX_AudioCodecFactory* factory) {
  UnregisteredAudioCodecFactory();
  m_audioCodecFactory.reset(factory);
}

void HX_MeetingToolsFactory::RegisteredVideoCodecFactory(HX_VideoCodecFactory* factory) {
  UnregisteredVideoCodecFactory();
  m_videoCodecFactory.reset(factory);
}

void HX_MeetingToolsFactory::RegisteredAudioResamplerFactory(HX_AudioResamplerFactory* factory) {
  UnregisteredAudioResamplerFactory();
  m_resamplerFactory.reset(factory);
  m_audioConnector->SetResamplerFactory(m_resamplerFactory);
}

void HX_MeetingToolsFactory::UnregisteredAudioCodecFactory() { m_audioCodecFactory.reset(); }
void HX_MeetingToolsFactory::UnregisteredVideoCodecFactory() { m_videoCodecFactory.reset(); }
void HX_MeetingToolsFactory::UnregisteredAudioResamplerFactory() { m_resamplerFactory.reset(); }

// ---- shared objects

std::shared_ptr<HX_AudioPlaybackBase> HX_MeetingToolsFactory::CreatePlayer(
    const char* peer, const HX_ClientCaps& caps) {
  HXAutoLock lock(*this);
  return _CreatePlayer(peer, caps);
}

std::shared_ptr<HX_CaptureSlotFile> HX_MeetingToolsFactory::CreateVideoSource(
    const HX_ClientCaps& caps) {
  HXAutoLock lock(*this);
  if (!m_videoSource) m_videoSource = _CreateVideoSource(caps);
  return m_videoSource;
}

std::shared_ptr<HX_VideoCaptureSlotBase> HX_MeetingToolsFactory::CreateCapture(
    const HX_ClientCaps& caps) {
  HXAutoLock lock(*this);
  if (!m_capture) m_capture = _CreateCapture(caps);
  return m_capture;
}

void HX_MeetingToolsFactory::OnRequestAudioPlayback(const char* peer, const HX_ClientCaps& caps,
                                                    std::shared_ptr<HX_AudioPlaybackBase>& player) {
  player = CreatePlayer(peer, caps);
}

void HX_MeetingToolsFactory::OnRequestVideoSource(const HX_ClientCaps& caps,
                                                  std::shared_ptr<HX_CaptureSlotFile>& source) {
  source = CreateVideoSource(caps);
}

void HX_MeetingToolsFactory::OnRequestVideoCapture(
    const HX_ClientCaps& caps, std::shared_ptr<HX_VideoCaptureSlotBase>& capture) {
  capture = CreateCapture(caps);
}

void HX_MeetingToolsFactory::OnReleaseVideoSource(std::shared_ptr<HX_CaptureSlotFile>&) {
  HXAutoLock lock(*this);
  m_videoSource.reset();
}

void HX_MeetingToolsFactory::OnReleaseVideoCapture(std::shared_ptr<HX_VideoCaptureSlotBase>&) {
  HXAutoLock lock(*this);
  m_capture.reset();
}

void HX_MeetingToolsFactory::OnRequestVideoSync(const char*, const HX_ClientCaps&,
                                                std::shared_ptr<CVideoSinc>& sync) {
  HXAutoLock lock(*this);
  sync = m_videoSync;
}

void HX_MeetingToolsFactory::OnRequestAudioConnector(
    const char*, const HX_ClientCaps&, std::shared_ptr<HX_AudioConnector>& connector) {
  HXAutoLock lock(*this);
  connector = m_audioConnector;
}

void HX_MeetingToolsFactory::OnRequestRecordProxySender(
    const char*, std::shared_ptr<HX_RecordPeerProxyBase>& proxy) {
  proxy = std::make_shared<HX_RecordPeerProxyStub>();
}

void HX_MeetingToolsFactory::OnRequestRecordProxyReceiver(
    const char*, std::shared_ptr<HX_RecordPeerProxyBase>& proxy) {
  proxy = std::make_shared<HX_RecordPeerProxyStub>();
}

void HX_MeetingToolsFactory::OnRequestAudioCodecFactory(
    std::shared_ptr<HX_AudioCodecFactory>& factory) {
  factory = m_audioCodecFactory;
}

// ---- default devices

std::shared_ptr<HX_AudioPlaybackBase> HX_MeetingToolsFactory::_CreatePlayer(const char*,
                                                                             const HX_ClientCaps&) {
  return std::make_shared<HXAudioPlaybackStub>();
}

std::shared_ptr<HX_CaptureSlotFile> HX_MeetingToolsFactory::_CreateVideoSource(
    const HX_ClientCaps& caps) {
  HX_MediaFormat format = SendFormatOf(caps);
  // The send format may be a peer's size taken over unchecked (GetFmtFromToMe): beyond the largest
  // picture side it would overflow the size or the allocation, so it counts as no send format.
  if (format.width > HX_MaxPeerPictureSide || format.height > HX_MaxPeerPictureSide) {
    format = HX_MediaFormat();
  }
  const uint64_t bytes = uint64_t{format.width} * format.height * 3 / 2;
  // The send stream connects to the source at once, so one is handed out even for an empty size.
  return std::make_shared<HX_CaptureSlotFile>(static_cast<unsigned long>(bytes));
}

std::shared_ptr<HX_VideoCaptureSlotBase> HX_MeetingToolsFactory::_CreateCapture(
    const HX_ClientCaps&) {
  return std::make_shared<HX_VideoCaptureSlotStub>();
}

// ---- codecs

void HX_MeetingToolsFactory::OnRequestVideoEncoder(const HX_ClientCaps& caps,
                                                   std::shared_ptr<HX_VideoEncoderBase>& encoder) {
  HX_MediaFormat format = SendFormatOf(caps);
  auto made = std::make_shared<HX_VideoEncoder>();
  const HXCapabilites own = GetCapabilites();
  std::shared_ptr<HX_MediaFormatManagerAdapter> adapter;
  OnRequestMediaManagerAdapter(adapter);
  scalable_info::Config config;
  config.svcCaps = 1;
  config.lastLayerOption = static_cast<uint32_t>(own.level);
  config.cameraUpLimit = adapter ? Limit(adapter->GetCnfVideoUpLimit()) : 0;
  config.contentUpLimit = adapter ? Limit(adapter->GetCnfDsUpLimit()) : 0;
  config.bitrateAlgorithm = 0;
  made->Configure(config);
  made->SetCodecFactory(m_videoCodecFactory.get());
  made->Reinit(&format, false);
  encoder = std::move(made);
}

void HX_MeetingToolsFactory::OnRequestVideoDecoder(const char*, const HX_ClientCaps& caps,
                                                   std::shared_ptr<HX_VideoDecoderBase>& decoder) {
  HX_MediaFormat format = SendFormatOf(caps);
  format.hardwareCodec = caps.m_clientType == 3 || caps.m_clientType == 6 ? 0 : 1;
  auto made = std::make_shared<HX_VideoDecoder>();
  made->SetCodecFactory(m_videoCodecFactory.get());
  made->Reinit(format);
  decoder = std::move(made);
}

void HX_MeetingToolsFactory::OnRequestAudioEncoder(const HX_ClientCaps& caps,
                                                   std::shared_ptr<AudioCodecBase>& encoder) {
  OnRequestAudioEncoder(SendFormatOf(caps), encoder);
}

void HX_MeetingToolsFactory::OnRequestAudioEncoder(const HX_MediaFormat& format,
                                                   std::shared_ptr<AudioCodecBase>& encoder) {
  if (!m_audioCodecFactory) {
    encoder.reset();
    return;
  }
  std::shared_ptr<AudioCodecBase> made = m_audioCodecFactory->CreateEncoder(format.audioCodec);
  made->Init(static_cast<int>(format.sampleRate));
  encoder = std::move(made);
}
