#include "core/streams/receiver_base.h"

#include <climits>

#include "core/client/meeting_tools.h"
#include "core/conference/model/conference.h"
#include "core/media/audio/audio_codec_factory.h"
#include "core/media/audio/audio_connector.h"
#include "core/media/audio/audio_device.h"
#include "core/media/audio/audio_source.h"
#include "core/media/audio/record_peer_proxy.h"
#include "core/media/video/receive/video_render.h"
#include "core/media/video/receive/video_sync.h"
#include "core/media/video/video_decoder.h"
#include "core/streams/conference_statistics.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/streams/sender_base.h"
#include "core/streams/stream_command.h"
#include "core/wire/client_caps.h"

HX_ReceiverBase::HX_ReceiverBase(HX_TickSource clock) : HX_MediaStreamBase(std::move(clock)) {}

HX_ReceiverBase::HX_ReceiverBase(const std::string& senderId, const std::string& receiverId,
                                 HX_TickSource clock)
    : HX_MediaStreamBase(std::move(clock)) {
  setSenderId(senderId);
  setReceiverId(receiverId);
}

HX_ReceiverBase::~HX_ReceiverBase() {
  shutdownJobs();
  ReleaseHardware();
}

bool HX_ReceiverBase::SetStreamCapabilites(HX_MeetingToolsFactory* tools, HX_Conference* conference,
                                           const std::string& senderId,
                                           const std::string& receiverId) {
  setStreamCapabilites(tools, conference, senderId, receiverId);
  return true;
}

HX_ReceiverStreamNetHandler* HX_ReceiverBase::receiveHandler() const {
  return static_cast<HX_ReceiverStreamNetHandler*>(netHandler());
}

void HX_ReceiverBase::onStreamUnavailable(HX_NetTrialConnection*,
                                          hx::NetHandshakeConnectResult result) {
  unavailableSignal(2, result, GetConferenceId(), GetSenderId());
}

void HX_ReceiverBase::notifyStreamShuttedDown() {
  if (conference() != nullptr) conference()->onReceiverShuttedDown(GetSenderId());
}

// ---- hardware

bool HX_ReceiverBase::AcquireHardware() {
  uint32_t expected = 0;
  if (!m_hardwareHeld.compare_exchange_strong(expected, 1)) return true;
  const std::string name = GetSenderId();
  const std::string receiverId = GetReceiverId();
  HX_ClientCaps caps;
  requestMeetingCapsSignal(name.c_str(), receiverId.c_str(), caps);
  HX_MediaFormat format;
  caps.GetMediaFormat(format);
  m_audioBlockSize.store(static_cast<int32_t>(format.audioBufferSize));

  std::shared_ptr<HX_AudioPlaybackBase> playback;
  std::shared_ptr<HXVideoRenderBase> renderer;
  std::shared_ptr<HX_VideoDecoderBase> decoder;
  std::shared_ptr<CVideoSinc> sync;
  std::shared_ptr<HX_AudioCodecFactory> factory;
  std::shared_ptr<HX_AudioConnector> connector;
  std::shared_ptr<HX_RecordPeerProxyBase> proxy;
  requestPlaybackSignal(name.c_str(), caps, playback);
  requestRendererSignal(name.c_str(), caps, renderer);
  requestVideoDecoderSignal(name.c_str(), caps, decoder);
  requestVideoSyncSignal(name.c_str(), caps, sync);
  requestAudioCodecFactorySignal(factory);
  requestAudioConnectorSignal(name.c_str(), caps, connector);
  requestRecordProxySignal(name.c_str(), proxy);
  if (connector) connector->SelectRendererDevice(playback);

  auto videoSource = std::make_unique<CVideoSource>();
  videoSource->FrameReleasedSignal.Connect(this, &HX_ReceiverBase::OnVideoFrameProcessed);
  videoSource->DecoderFormatSignal.Connect(this, &HX_ReceiverBase::OnVideoDecoderChangeFormat);
  videoSource->AudioDelaySignal.Connect(this, &HX_ReceiverBase::OnAudioRequestTotalBuffDurr);
  if (decoder) {
    decoder->DecodedPictureSignal.Connect(this, &HX_ReceiverBase::OnVideoFrameDecompressed);
    decoder->RequestKeyFrameSignal.Connect(videoSource.get(), &CVideoSource::OnNeedKeyFrame);
  }
  auto audioSource = std::make_unique<HX_AudioSource>(factory, proxy);
  audioSource->Init(&format, name.c_str());
  {
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    m_playback = playback;
    m_renderer = renderer;
    m_decoder = decoder;
    m_videoSync = sync;
    m_codecFactory = factory;
    m_connector = connector;
    m_recordProxy = proxy;
    m_videoSource = std::move(videoSource);
    m_audioSource = std::move(audioSource);
  }
  // The draw thread starts calling back once the source is in the sync: everything it reaches is in
  // place by now.
  if (sync) sync->AddVideoSource(m_videoSource.get());
  if (connector && connector->GetSink() != nullptr) {
    connector->GetSink()->AddSource(m_audioSource.get());
  }

  SetFltrEnabled(m_filter.load());
  resetConfStat();
  receiverStartedSignal(name.c_str(), caps);
  OnRequestKeyFrame();
  return true;
}

bool HX_ReceiverBase::ReleaseHardware() {
  uint32_t expected = 1;
  if (!m_hardwareHeld.compare_exchange_strong(expected, 0)) return true;
  const std::string name = GetSenderId();
  SetFltrEnabled(0);
  receiverStoppedSignal(name.c_str());
  std::shared_ptr<CVideoSinc> sync;
  std::shared_ptr<HX_AudioConnector> connector;
  std::shared_ptr<HX_VideoDecoderBase> decoder;
  {
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    sync = m_videoSync;
    connector = m_connector;
    decoder = m_decoder;
  }
  // The sync's removal waits for a drawing round in progress (it draws under the lock taken here),
  // so no decoder or renderer call runs once it returns; the mixing sink's removal is under the
  // sink's lock as well.
  if (sync && m_videoSource) sync->RemoveVideoSource(m_videoSource.get());
  if (connector && connector->GetSink() != nullptr && m_audioSource) {
    connector->GetSink()->RemoveSource(m_audioSource.get());
  }
  if (decoder) {
    decoder->DecodedPictureSignal.DisconnectAll();
    decoder->RequestKeyFrameSignal.DisconnectAll();
  }
  std::unique_ptr<CVideoSource> videoSource;
  {
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    m_codecFactory.reset();
    m_audioSource.reset();
    m_decoder.reset();
    videoSource = std::move(m_videoSource);
  }
  m_audioLevel.store(0);
  if (videoSource) {
    videoSource->FrameReleasedSignal.Disconnect(this, &HX_ReceiverBase::OnVideoFrameProcessed);
    videoSource->DecoderFormatSignal.Disconnect(this, &HX_ReceiverBase::OnVideoDecoderChangeFormat);
    videoSource->AudioDelaySignal.Disconnect(this, &HX_ReceiverBase::OnAudioRequestTotalBuffDurr);
    videoSource.reset();
  }
  {
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    m_renderer.reset();
    m_videoSync.reset();
    m_connector.reset();
    m_recordProxy.reset();
    m_playback.reset();
  }
  m_hardwareHeld.exchange(0);
  hardwareReleasedSignal(name.c_str());
  return true;
}

// ---- entry points

void HX_ReceiverBase::AudioFrameReceived(const uint8_t* frame, size_t size) {
  if (!m_audioSource || size > static_cast<size_t>(INT_MAX)) return;
  // The decoder only reads its input.
  m_audioSource->AddData(reinterpret_cast<char*>(const_cast<uint8_t*>(frame)),
                         static_cast<int>(size));
  m_audioLevel.store(static_cast<int32_t>(m_audioSource->GetLevel()));
}

void HX_ReceiverBase::OnVideoFrameAssembled(const uint8_t* frame, size_t size, int interval,
                                            const HX_RecvNhpVideoHeader* header, bool keyFrame,
                                            bool& keyFrameNeeded) {
  if (m_videoSource)
    m_videoSource->AddData(frame, size, interval, header, keyFrame, keyFrameNeeded);
}

bool HX_ReceiverBase::ProcessRecvDataPacket(const uint8_t* bytes, uint16_t size) {
  // A payload shorter than its 2-byte value is ignored rather than read past its end.
  if (bytes == nullptr || size < 2) return true;
  const uint16_t value = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
  if (value <= 255) dataReceivedSignal(0, bytes + 2, static_cast<size_t>(size) - 2);
  return true;
}

bool HX_ReceiverBase::ProcessCommand(const HX_MiscCommand& command) {
  const bool announcement = command.code == HX_Cmd_RcvMFormat && command.mode == HX_CmdMode_Info;
  const bool accepted = command.code == HX_Cmd_ChangeSndMFormat &&
                        command.mode == HX_CmdMode_Reply && command.result == 0;
  if (!announcement && !accepted) return false;
  HX_MediaFormat format;
  // A record too short to read changes nothing.
  if (!format.Load(command.data, command.DataLength())) return true;
  AudioChangeFormat(format);
  VideoChangeFormat(format);
  return true;
}

void HX_ReceiverBase::afterFrameReceived(int) {
  if (const std::shared_ptr<HX_SenderBase> sender = conferenceSender()) {
    sender->ReceivedCommandProcess();
  }
}

std::shared_ptr<HX_SenderBase> HX_ReceiverBase::conferenceSender() const {
  return conference() != nullptr ? conference()->Sender() : nullptr;
}

// ---- filters, formats, requests

void HX_ReceiverBase::SetFltrEnabled(uint32_t bits) {
  m_filter.store(bits);
  std::shared_ptr<HXVideoRenderBase> renderer;
  {
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    renderer = m_renderer;
  }
  // Only video just switched on needs a key frame to start from.
  const bool video = (bits & kFilterVideo) != 0;
  if (renderer && renderer->SetVideoEnabled(video) && video) OnRequestKeyFrame();
}

bool HX_ReceiverBase::OnRequestKeyFrame() {
  const std::shared_ptr<HX_SenderBase> sender = conferenceSender();
  return sender && sender->RequestKeyFrame() != 0;
}

void HX_ReceiverBase::getMediaFormat(HX_MediaFormat& out) {
  HX_ClientCaps caps;
  const std::string senderId = GetSenderId();
  const std::string receiverId = GetReceiverId();
  requestMeetingCapsSignal(senderId.c_str(), receiverId.c_str(), caps);
  caps.GetMediaFormat(out);
}

void HX_ReceiverBase::VideoChangeFormat(const HX_MediaFormat& format) {
  std::shared_ptr<CVideoSinc> sync;
  std::shared_ptr<HX_VideoDecoderBase> decoder;
  CVideoSource* source = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    sync = m_videoSync;
    decoder = m_decoder;
    source = m_videoSource.get();
  }
  if (!sync) return;
  HX_MediaFormat copy = format;
  const auto plausible = [](uint32_t side) { return side >= kMinSide && side <= kMaxSide; };
  if (copy.videoCodec == 0 || !plausible(copy.height) || !plausible(copy.width)) {
    copy.height = 0;
    copy.width = 0;
  }
  if (!sync->ChangeFormatVideoSource(source, copy)) return;
  if (decoder) decoder->ChangeFormat(copy);
  if (HX_ReceiverStreamNetHandler* handler = receiveHandler()) handler->onVideoChangeFormat(copy);
}

void HX_ReceiverBase::AudioChangeFormat(const HX_MediaFormat& format) {
  std::shared_ptr<HX_AudioConnector> connector;
  {
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    connector = m_connector;
  }
  if (connector && connector->GetSink() != nullptr && m_audioSource) {
    connector->GetSink()->ChangeFormatSource(m_audioSource.get(), format);
  }
}

// ---- video and audio delegates (draw thread)

void HX_ReceiverBase::OnVideoFrameProcessed(const unsigned char* frame, unsigned long size,
                                            bool skip) {
  if (m_decoder) m_decoder->OnReady2Decompress(frame, size, skip);
}

void HX_ReceiverBase::OnVideoDecoderChangeFormat(const HX_MediaFormat& format) {
  if (m_decoder) m_decoder->ChangeFormat(format);
}

void HX_ReceiverBase::OnAudioRequestTotalBuffDurr(int& duration, int& second) {
  duration = m_audioSource ? static_cast<int>(m_audioSource->GetCurrBuffDurr()) : 0;
  second = 0;
}

void HX_ReceiverBase::OnVideoFrameDecompressed(const unsigned char* picture, unsigned long size,
                                               unsigned width, unsigned height,
                                               unsigned timestamp) {
  if (m_renderer && m_renderer->IsVideoEnabled()) {
    m_renderer->OnPaint(picture, size, width, height, timestamp);
  }
  if (m_recordProxy) m_recordProxy->PutVideo(picture, size);
}

// ---- statistics

bool HX_ReceiverBase::getStreamConfStat(stream::TConferenceStatistics& out) {
  out.clear();
  const Totals totals = GetTotals();
  out.durationMs = static_cast<int32_t>(static_cast<uint32_t>(totals.lastTick) -
                                        static_cast<uint32_t>(totals.firstTick));
  out.bytesRecv = static_cast<uint32_t>(totals.bytes);
  int jitter = 0;
  int lost = 0;
  if (HX_ReceiverStreamNetHandler* handler = receiveHandler()) {
    handler->getRecvHandlerStatistics(jitter, lost);
  }
  out.jitter = static_cast<uint32_t>(jitter);
  out.lostPackets = static_cast<uint32_t>(lost);
  return true;
}
