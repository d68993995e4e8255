#include "core/streams/sender_base.h"

#include <algorithm>
#include <ctime>
#include <random>

#include "core/base/stored_task.h"
#include "core/client/debug_tuning.h"
#include "core/client/meeting_tools.h"
#include "core/conference/model/conference.h"
#include "core/media/audio/audio_codec.h"
#include "core/media/audio/audio_connector.h"
#include "core/media/audio/audio_device.h"
#include "core/media/audio/fifo_buffer.h"
#include "core/media/audio/record_peer_proxy.h"
#include "core/media/format/media_format_adapter.h"
#include "core/media/video/capture_slot_file.h"
#include "core/media/video/video_capture_slot.h"
#include "core/media/video/video_encoder.h"
#include "core/net/loop/zserver.h"
#include "core/streams/conference_statistics.h"
#include "core/streams/media_stream_net_handler.h"
#include "core/wire/client_caps.h"

namespace {

// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kFileTimeEpoch = 116444736000000000ULL;
// The FIFO holds one second of 16-bit mono; a rate beyond any codec's is not allocated.
constexpr uint64_t kMaxFifoRate = 192000;

uint32_t FifoCapacity(uint32_t sampleRate) {
  return static_cast<uint32_t>(2 * std::min<uint64_t>(sampleRate, kMaxFifoRate));
}

// An audio block the encoder can take: it fits the output buffer behind the tick slot and the FIFO.
bool AudioBlockFits(uint64_t block, uint32_t fifoCapacity) {
  return block >= 1 && block <= HX_SenderBase::kAudioOutputSize - HX_SenderBase::kAudioTickSlot &&
         block <= fifoCapacity;
}

uint64_t KeyFramePeriod(HX_Conference_Type type, uint32_t random) {
  if (type == 0 || type == 1) return 30000 + (random & 0x1fff);
  if (type == 6) return 6000 + (random & 0x7ff);
  return 10000 + (random & 0xfff);
}

}  // namespace

HX_SenderBase::HX_SenderBase(HX_TickSource clock)
    : HX_MediaStreamBase(clock),
      m_clock(std::move(clock)),
      m_audioOutput(new unsigned char[kAudioOutputSize]()) {}

HX_SenderBase::~HX_SenderBase() {
  shutdownJobs();
  ReleaseHardware();
}

bool HX_SenderBase::SetStreamCapabilites(HX_MeetingToolsFactory* tools,
                                         std::shared_ptr<HX_MediaFormatManagerAdapter> adapter,
                                         HX_Conference* conference, const std::string& senderId,
                                         const std::string& receiverId) {
  setStreamCapabilites(tools, conference, senderId, receiverId);
  std::lock_guard<std::mutex> lock(m_hardwareLock);
  m_setupAdapter = std::move(adapter);
  return true;
}

HX_SenderBase::Hardware HX_SenderBase::hardware() const {
  std::lock_guard<std::mutex> lock(m_hardwareLock);
  return m_hw;
}

std::shared_ptr<HX_MediaFormatManagerAdapter> HX_SenderBase::adapter() const {
  std::lock_guard<std::mutex> lock(m_hardwareLock);
  return m_hw.adapter ? m_hw.adapter : m_setupAdapter;
}

HX_SenderStreamNetHandler* HX_SenderBase::sendHandler() const {
  return static_cast<HX_SenderStreamNetHandler*>(netHandler());
}

void HX_SenderBase::onStreamUnavailable(HX_NetTrialConnection*,
                                        hx::NetHandshakeConnectResult result) {
  unavailableSignal(1, result, GetConferenceId(), GetReceiverId());
}

void HX_SenderBase::notifyStreamShuttedDown() {
  if (conference() != nullptr) conference()->onSenderShuttedDown();
}

// ---- hardware

bool HX_SenderBase::AcquireHardware() {
  uint32_t expected = 0;
  if (!m_hardwareHeld.compare_exchange_strong(expected, 1)) return true;
  m_sendBitrate.store(0);
  std::mt19937 random(static_cast<uint32_t>(time(nullptr)));
  m_keyRequestPending = false;
  const HX_Conference_Type type = conference() != nullptr ? conference()->getType() : -1;
  m_keyFramePeriod = KeyFramePeriod(type, random());
  m_lastKeyFrameTick = 0;
  m_skipCount = 0;
  m_keyPendingWhileBlocked = false;

  const std::string senderId = GetSenderId();
  const std::string receiverId = GetReceiverId();
  HX_ClientCaps caps;
  requestMeetingCapsSignal(senderId.c_str(), receiverId.c_str(), caps);
  uint32_t sampleRate = 0;
  uint32_t block = 0;
  {
    HXAutoLock lock(m_formatLock);
    caps.GetMediaFormat(m_currentFormat);
    sampleRate = m_currentFormat.sampleRate;
    block = m_currentFormat.audioBufferSize;
  }
  {
    HXAutoLock lock(m_audioEncoderLock);
    m_audioFifo = std::make_unique<HX_FifoBuffer>(FifoCapacity(sampleRate));
    // A block the encoder cannot take leaves audio off rather than overrunning a buffer.
    const bool fits = AudioBlockFits(block, m_audioFifo->GetCapacity());
    m_audioBlockSize.store(fits ? static_cast<int32_t>(block) : 0);
    m_audioInput.assign(fits ? block : 0, 0);
  }

  Hardware hw;
  {
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    hw.adapter = m_setupAdapter;
  }
  requestVideoSourceSignal(caps, hw.videoSource);
  requestVideoEncoderSignal(caps, hw.videoEncoder);
  requestMicrophoneSignal(caps, hw.microphone);
  requestAudioEncoderSignal(caps, hw.audioEncoder);
  requestMediaAdapterSignal(hw.adapter);
  requestCaptureSlotSignal(caps, hw.captureSlot);
  requestRecordProxySignal(senderId.c_str(), hw.recordProxy);
  if (hw.captureSlot) hw.captureSlot->SetMediaAdapter(hw.adapter);
  requestAudioConnectorSignal("", caps, hw.connector);
  if (hw.connector) {
    hw.connector->SetSenderSamplerate(sampleRate);
    hw.connector->SelectCapturerDevice(hw.microphone);
  }
  {
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    m_hw = hw;
  }
  ConnectDelegates(hw);

  if (hw.connector) hw.connector->EnableLogging(__debugTuning.loadDebugAudio());
  resetConfStat();
  m_startTime.store(0);
  m_videoFramesSent.store(0);
  senderStartedSignal(caps);
  if (hw.captureSlot) hw.captureSlot->StartProcessingThread();
  if (conference() != nullptr) {
    HXAutoLock lock(conference()->getLock());
    conference()->onSenderStart();
  }
  return true;
}

void HX_SenderBase::ConnectDelegates(const Hardware& hw) {
  pauseVideoSignal.Connect(this, &HX_SenderBase::OnPauseVideoCapture);
  if (hw.captureSlot)
    hw.captureSlot->FrameReadySignal.Connect(this, &HX_SenderBase::OnCapturePutImage);
  if (hw.videoSource) {
    hw.videoSource->RawFrameSignal.Connect(this, &HX_SenderBase::OnCaptureReady2Compress);
  }
  if (hw.videoEncoder) {
    hw.videoEncoder->CompressedFrameSignal.Connect(this, &HX_SenderBase::OnVideoCompressed);
  }
  if (hw.connector) hw.connector->sampleProcessed.Connect(this, &HX_SenderBase::OnReady2Compress);
  if (hw.microphone) {
    hw.microphone->sampleReady.Connect(this, &HX_SenderBase::OnAudioConnectorSampleReady);
  }
}

void HX_SenderBase::DisconnectDelegates(const Hardware& hw) {
  pauseVideoSignal.Disconnect(this, &HX_SenderBase::OnPauseVideoCapture);
  if (hw.captureSlot) {
    hw.captureSlot->FrameReadySignal.Disconnect(this, &HX_SenderBase::OnCapturePutImage);
  }
  if (hw.videoSource) {
    hw.videoSource->RawFrameSignal.Disconnect(this, &HX_SenderBase::OnCaptureReady2Compress);
  }
  if (hw.videoEncoder) {
    hw.videoEncoder->CompressedFrameSignal.Disconnect(this, &HX_SenderBase::OnVideoCompressed);
  }
  if (hw.connector) {
    hw.connector->sampleProcessed.Disconnect(this, &HX_SenderBase::OnReady2Compress);
  }
  if (hw.microphone) {
    hw.microphone->sampleReady.Disconnect(this, &HX_SenderBase::OnAudioConnectorSampleReady);
  }
}

bool HX_SenderBase::ReleaseHardware() {
  CancelJobs();
  uint32_t expected = 1;
  if (!m_hardwareHeld.compare_exchange_strong(expected, 0)) return true;
  senderStoppedSignal();
  Hardware hw = hardware();
  // The producers stop first: a delegate disconnected under an emission ends the process. The video
  // source and the encoder emit on the capture thread, the connector on the microphone's.
  if (hw.captureSlot) hw.captureSlot->StopProcessingThread();
  if (hw.adapter) hw.adapter->Reset();
  if (hw.microphone) hw.microphone->DeviceClose();
  DisconnectDelegates(hw);
  if (hw.connector) hw.connector->ResetCapturerDevice();

  releaseVideoSourceSignal(hw.videoSource);
  releaseCaptureSlotSignal(hw.captureSlot);
  releaseRecordProxySignal(hw.recordProxy);
  {
    HXAutoLock encoderLock(m_audioEncoderLock);
    std::lock_guard<std::mutex> lock(m_hardwareLock);
    m_hw = Hardware();
    m_audioInput.clear();
    m_audioInput.shrink_to_fit();
    m_audioFifo.reset();
    m_audioBlockSize.store(0);
  }
  hw = Hardware();
  hardwareReleasedSignal();
  return true;
}

// ---- connection and jobs

void HX_SenderBase::onStartDataTransfer() {
  // Called under the stream lock: jobs of an earlier connection are dropped without waiting.
  for (std::atomic<uint32_t>* job : {&m_statJob, &m_pingJob}) {
    const uint32_t old = job->exchange(0);
    if (old != 0) HXZServer::UnScheduleJob(old, false, true);
  }
  m_statJob.store(HXZServer::ScheduleUrgentJob(HXCallback::Save(this, &HX_SenderBase::onSenderStat),
                                               kStatPeriodMs, "Sender stat"));
  HX_SenderStreamNetHandler* handler = sendHandler();
  if (handler == nullptr) return;
  handler->setBitrateLimit(0);
  const uint32_t period = handler->getPingPeriod();
  m_pingPeriod.store(period);
  if (period != 0) {
    m_lastSendTick.store(Now());
    m_pingJob.store(HXZServer::ScheduleUrgentJob(
        HXCallback::Save(this, &HX_SenderBase::onSenderPing), period / 2, "Sender ping"));
  }
  OnRequestKeyFrame();
}

void HX_SenderBase::onNetConnectionDone() { CancelJobs(); }

void HX_SenderBase::CancelJobs() {
  // A job cancelling itself is not waited for (the scheduler queues the removal).
  const uint32_t ping = m_pingJob.exchange(0);
  if (ping != 0) HXZServer::UnScheduleJob(ping, true, true);
  const uint32_t stat = m_statJob.exchange(0);
  if (stat != 0) HXZServer::UnScheduleJob(stat, true, true);
}

void HX_SenderBase::onSenderStat() {
  bool alive = false;
  uint32_t video = 0;
  uint32_t audio = 0;
  uint32_t data = 0;
  {
    HXAutoLock lock(getStreamLock());
    HX_SenderStreamNetHandler* handler = sendHandler();
    alive = handler != nullptr && handler->checkConnectionAlive();
    if (alive) {
      video = GetBitrate(kVideo);
      audio = GetBitrate(kAudio);
      data = GetBitrate(kData);
    }
  }
  if (alive) {
    CalcStreamValues(video, audio, data);
    const uint32_t id = m_statJob.load();
    if (id != 0) HXZServer::ReScheduleJob(id, kStatPeriodMs, false, false);
    return;
  }
  CancelJobs();
  if (!reconnectServer()) onStreamUnavailable(nullptr, hx::NetHandshakeNoConnection);
}

void HX_SenderBase::onSenderPing() {
  const uint32_t period = m_pingPeriod.load();
  {
    HXAutoLock lock(getStreamLock());
    const uint64_t now = Now();
    const uint64_t last = m_lastSendTick.load();
    if (last == 0) {
      m_lastSendTick.store(now - period / 2);
    } else if (now + 25 >= last + period) {
      m_lastSendTick.store(now);
      if (HX_SenderStreamNetHandler* handler = sendHandler()) handler->PingStream();
    }
  }
  const uint32_t id = m_pingJob.load();
  if (id != 0) HXZServer::ReScheduleJob(id, period / 2, false, false);
}

// ---- video

bool HX_SenderBase::IsGenerateKeyFrame(bool keyRequested, uint64_t tick, bool force) {
  if (keyRequested) m_keyRequestPending = true;
  const uint64_t d = tick - m_lastKeyFrameTick;
  const bool key = m_lastKeyFrameTick == 0 || d >= m_keyFramePeriod ||
                   (d >= kMinKeyRequestIntervalMs && (force || m_keyRequestPending)) ||
                   (d < kMinKeyRequestIntervalMs && force);
  if (key) {
    m_lastKeyFrameTick = tick;
    m_keyRequestPending = false;
  }
  return key;
}

bool HX_SenderBase::GetBlockVideoCapture(bool& keyFrame, uint64_t tick) {
  uint32_t oldest = 0;
  uint64_t since = 0;
  int count = 0;
  if (HX_SenderStreamNetHandler* handler = sendHandler()) {
    handler->GetQueueVideoStatistics(oldest, since, count);
  }
  if (count == 0) {
    oldest = 0;
    since = 0;
  }
  const uint64_t now = Now();
  const bool blocked = since != 0 && now >= since && now - since >= kBlockedDropMs;
  if (blocked || m_skipCount > 0) {
    if (!blocked) --m_skipCount;
    if (keyFrame) m_keyPendingWhileBlocked = true;
    return true;
  }
  int n = 0;
  if (oldest != 0) {
    // The queued frame's timestamp is the capture tick cut to 32 bits: the age is taken in 32 bits
    // too, or every check after 2^32 ms of process time would find it ancient.
    const uint32_t age = static_cast<uint32_t>(tick) - oldest;
    const float seconds = static_cast<float>(std::min<uint32_t>(age, 5000)) / 1000.0f;
    n = static_cast<int>((seconds + 0.5f) * 2.0f) - 1;
  }
  m_skipCount = std::max(n, count / 10);
  if (m_keyPendingWhileBlocked) {
    keyFrame = true;
    m_keyPendingWhileBlocked = false;
  }
  return false;
}

void HX_SenderBase::OnCapturePutImage(const void*, const unsigned char* picture, unsigned long size,
                                      HX_MediaFormat& format, unsigned long tick,
                                      bool keyRequested) {
  bool changed = false;
  {
    HXAutoLock lock(m_formatLock);
    changed = format.videoCodec != m_currentFormat.videoCodec ||
              format.height != m_currentFormat.height || format.width != m_currentFormat.width;
  }
  bool key = IsGenerateKeyFrame(keyRequested, tick, changed);
  if (GetBlockVideoCapture(key, tick)) return;
  HX_MediaFormat announced;
  {
    HXAutoLock lock(m_formatLock);
    m_currentFormat.height = format.height;
    m_currentFormat.width = format.width;
    m_currentFormat.videoCodec = format.videoCodec;
    m_currentFormat.frameRate = format.frameRate;
    m_currentFormat.stereo = format.stereo;
    m_currentFormat.svcMode = format.svcMode;
    m_currentFormat.hardwareCodec = format.hardwareCodec;
    announced = m_currentFormat;
  }
  // Sent outside the format lock: the net handler takes the stream lock.
  if (key) SendInfoMediaFormat(announced);
  const Hardware hw = hardware();
  if (hw.videoEncoder)
    hw.videoEncoder->Reinit(&format, hw.adapter && hw.adapter->GetScreenCapture());
  if (hw.recordProxy) hw.recordProxy->PutVideo(picture, size);
  if (hw.videoSource) hw.videoSource->AddFrame(picture, size, tick, key);
}

void HX_SenderBase::OnCaptureReady2Compress(const unsigned char* picture, unsigned long size,
                                            const HX_SendNhpVideoHeader& header, bool& key) {
  const std::shared_ptr<HX_VideoEncoderBase> encoder = GetVideoEncoder();
  if (encoder) encoder->OnReady2Compress(picture, size, &header, key);
}

void HX_SenderBase::OnVideoCompressed(const unsigned char* frame, unsigned long size,
                                      HX_SendNhpVideoHeader* header) {
  SendVideoStream(frame, size, header);
}

bool HX_SenderBase::SendVideoStream(const unsigned char* frame, unsigned long size,
                                    const HX_SendNhpVideoHeader* header) {
  if ((getStateFlags() & (kConnected | kShuttingDown)) != kConnected) return false;
  HX_SenderStreamNetHandler* handler = sendHandler();
  if (handler == nullptr || !handler->AddFrame(kVideo, size, frame, header, 3)) return false;
  MarkSent();
  m_videoFramesSent.fetch_add(1);
  return true;
}

// ---- audio

bool HX_SenderBase::AudioChangeFormat(const HX_MediaFormat& format) {
  HXAutoLock lock(m_audioEncoderLock);
  // The block size may come from a format a peer forced on the adapter: it is checked before
  // anything changes, against the output buffer and the FIFO, which keeps its size.
  if (!m_audioFifo || !AudioBlockFits(format.audioBufferSize, m_audioFifo->GetCapacity())) {
    return false;
  }
  std::shared_ptr<AudioCodecBase> encoder;
  requestAudioEncoderForFormatSignal(format, encoder);
  std::shared_ptr<HX_AudioConnector> connector;
  std::shared_ptr<HXAudioRecordBase> microphone;
  {
    std::lock_guard<std::mutex> hwLock(m_hardwareLock);
    m_hw.audioEncoder = encoder;
    connector = m_hw.connector;
    microphone = m_hw.microphone;
  }
  if (connector) {
    connector->SetSenderSamplerate(format.sampleRate);
    connector->ResetCapturerDevice();
    connector->SelectCapturerDevice(microphone);
  }
  m_audioBlockSize.store(static_cast<int32_t>(format.audioBufferSize));
  m_audioInput.assign(format.audioBufferSize, 0);
  return true;
}

void HX_SenderBase::OnAudioConnectorSampleReady(unsigned char* samples, unsigned long size,
                                                float level, int value) {
  const Hardware hw = hardware();
  if (hw.adapter) {
    const HX_MediaFormat wanted = hw.adapter->GetMediaFormat();
    bool differs = false;
    {
      HXAutoLock lock(m_formatLock);
      differs = wanted.audioCodec != m_currentFormat.audioCodec ||
                wanted.sampleRate != m_currentFormat.sampleRate;
    }
    if (differs && AudioChangeFormat(wanted)) {
      HX_MediaFormat announced;
      {
        HXAutoLock lock(m_formatLock);
        m_currentFormat.SetAudio(wanted.sampleRate, wanted.audioCodec,
                                 HX_MediaFormat::kDefaultDuration);
        announced = m_currentFormat;
      }
      SendInfoMediaFormat(announced);
    }
  }
  if (hw.connector) hw.connector->OnAudioSampleReady(samples, size, level, value);
}

void HX_SenderBase::OnReady2Compress(const unsigned char* samples, unsigned long size) {
  if (m_audioBlockSize.load() <= 0) return;
  const Hardware hw = hardware();
  uint32_t sampleRate = 0;
  {
    HXAutoLock lock(m_formatLock);
    sampleRate = m_currentFormat.sampleRate;
  }
  if (hw.recordProxy) hw.recordProxy->PutAudio(samples, size, sampleRate);
  HXAutoLock lock(m_audioEncoderLock);
  if (!m_audioFifo) return;
  m_audioFifo->AddData(samples, size);
  for (;;) {
    const int32_t block = m_audioBlockSize.load();
    if (block <= 0 || m_audioInput.size() < static_cast<size_t>(block)) return;
    if (!m_audioFifo->GetData(m_audioInput.data(), static_cast<unsigned long>(block), true)) return;
    std::shared_ptr<AudioCodecBase> encoder;
    {
      std::lock_guard<std::mutex> hwLock(m_hardwareLock);
      encoder = m_hw.audioEncoder;
    }
    if (!encoder) continue;
    const int room = std::min<int>(block, kAudioOutputSize - kAudioTickSlot);
    const int n =
        encoder->Convert(m_audioInput.data(), block, m_audioOutput.get() + kAudioTickSlot, room);
    if (n > 0) SendAudioStream(m_audioOutput.get(), static_cast<unsigned long>(n) + kAudioTickSlot);
  }
}

bool HX_SenderBase::SendAudioStream(const unsigned char* frame, unsigned long size) {
  HX_SenderStreamNetHandler* handler = sendHandler();
  if (handler == nullptr || !handler->AddFrame(kAudio, size, frame, nullptr, 2)) return false;
  MarkSent();
  return true;
}

// ---- commands

int HX_SenderBase::RequestKeyFrame() {
  HX_MiscCommand command;
  command.RequestKeyFrame();
  return sendCommand(command, 1) ? 1 : 0;
}

bool HX_SenderBase::sendCommand(const HX_MiscCommand& command, int priority) {
  HX_SenderStreamNetHandler* handler = sendHandler();
  if (handler == nullptr ||
      !handler->AddFrame(kCommand, command.CommandSize(), command.Bytes(), nullptr, priority)) {
    return false;
  }
  MarkSent();
  return true;
}

bool HX_SenderBase::SendInfoMediaFormat(const HX_MediaFormat& format) {
  HX_MiscCommand command;
  command.InfoRcvMFormat(format);
  return sendCommand(command, 3);
}

bool HX_SenderBase::OnRequestKeyFrame() {
  const std::shared_ptr<HX_VideoCaptureSlotBase> slot = GetVideoCapture();
  if (!slot) return false;
  slot->OnForceKeyFrame();
  return true;
}

bool HX_SenderBase::AddCommand(const HX_MiscCommand& command, bool toSend) {
  HXAutoLock lock(getStreamLock());
  addCommandInt(command, toSend);
  if (toSend) receivedCommandProcessNL();
  return true;
}

bool HX_SenderBase::ReceivedCommandProcess() {
  HXAutoLock lock(getStreamLock());
  return receivedCommandProcessNL();
}

bool HX_SenderBase::receivedCommandProcessNL() {
  if ((getStateFlags() & (kConnected | kShuttingDown)) != kConnected) return false;
  return HX_CommandManager::ReceivedCommandProcess();
}

bool HX_SenderBase::ProcessChangeSndMediaFormat(const HX_MediaFormat& format) {
  if (const auto ad = adapter()) ad->ForceSndMediaFormat(format);
  return true;
}

bool HX_SenderBase::ProcessCommandReplay(const HX_MiscCommand& command) {
  return sendCommand(command, 1);
}

bool HX_SenderBase::ProcessControlBandCommand(const HX_MiscCommand& command) {
  HX_SenderStreamNetHandler* handler = sendHandler();
  return handler != nullptr && handler->ProcessControlBandCommand(command);
}

bool HX_SenderBase::ProcessForceKeyFrame() { return OnRequestKeyFrame(); }

bool HX_SenderBase::ProcessRestrictBitrate(const conference::ServerBitrateControl& control) {
  if (const auto ad = adapter()) HXStreamBitrate::ProcessRestrictBitrate(*ad, control);
  return true;
}

// ---- bit rates

void HX_SenderBase::CalcStreamValues(uint32_t video, uint32_t audio, uint32_t data) {
  m_sendBitrate.store(video + audio + data);
  const std::shared_ptr<HX_MediaFormatManagerAdapter> limits = adapter();
  if (!limits) return;
  const std::shared_ptr<HX_VideoCaptureSlotBase> slot = GetVideoCapture();
  unsigned capture = 0;
  if (slot) slot->GetCaptureFPS(capture);
  if (capture == 0) capture = kDefaultFpsLimit;
  const int32_t external = limits->GetExtFpsLimit();
  const int64_t candidates[] = {
      capture, external >= 1 ? int64_t{external} * 100 : int64_t{limits->GetCnfFpsLimit()},
      limits->GetSrvFpsLimit()};
  int64_t fpsLimit = 0;
  for (int64_t c : candidates) {
    if (c > 0 && (fpsLimit == 0 || c < fpsLimit)) fpsLimit = c;
  }
  if (fpsLimit == 0) fpsLimit = kDefaultFpsLimit;
  const uint32_t lastFps = static_cast<uint32_t>(limits->GetLastFps());

  const uint32_t upload =
      UploadLimit(limits->GetCnfUpLimit(), limits->GetSrvUpLimit(), limits->GetPeerUpLimit());
  uint32_t bandwidth = 0;
  uint32_t base = 0;
  uint32_t maximum = 0;
  const int32_t externalRate = limits->GetExtBitrateLimit();
  if (externalRate != 0) {
    bandwidth = base = maximum = static_cast<uint32_t>(externalRate);
  } else {
    const int32_t media =
        limits->GetScreenCapture() ? limits->GetCnfDsUpLimit() : limits->GetCnfVideoUpLimit();
    maximum = static_cast<uint32_t>(std::min(limits->GetCnfBaseMaxUpLimit(), media));
    base = static_cast<uint32_t>(limits->GetCnfBaseUpLimit());
    HX_SenderStreamNetHandler* handler = sendHandler();
    bandwidth = handler != nullptr ? handler->GetVideoBandwidth(upload) : upload;
  }
  const HX_MediaFormat format = GetCurrentMediaFormat();
  CalcBitrate(format, bandwidth, base, maximum, audio, video, data,
              static_cast<uint32_t>(std::min<int64_t>(fpsLimit, UINT32_MAX)), lastFps, false,
              limits->GetUseHQAuto(), limits->GetConfType());
}

void HX_SenderBase::OnChangeStreamBitrate(uint32_t rate, uint32_t second, uint32_t third,
                                          uint32_t fps, uint32_t audioBitsPerSecond) {
  HX_MeetingToolsFactory* tools = meetingTools();
  if (conference() != nullptr) {
    std::map<std::string, unsigned> rates;
    if (conference()->requestReceiversBitrate(rates) && tools != nullptr) {
      tools->OnUpdateReciversBitrateInfo(rates);
    }
  }
  if (tools != nullptr) tools->OnUpdateSenderBitrateInfo(m_sendBitrate.load());
  const Hardware hw = hardware();
  const auto ad = hw.adapter ? hw.adapter : adapter();
  if (ad) {
    ad->SetBitrate(rate);
    ad->SetFps(fps);
  }
  if (hw.captureSlot && hw.videoEncoder) {
    hw.captureSlot->OnChangeCodecBitrate(rate, second, fps);
    hw.captureSlot->OnChangeCodecBaseResolution(hw.videoEncoder->GetResolutionBaseLayer());
    unsigned reduced = fps;
    hw.captureSlot->GetReduceFPS(reduced);
    hw.videoEncoder->SetBitrate(static_cast<int>(rate), static_cast<int>(second),
                                static_cast<int>(third), static_cast<int>(reduced));
  }
  {
    HXAutoLock lock(m_audioEncoderLock);
    std::shared_ptr<AudioCodecBase> encoder;
    {
      std::lock_guard<std::mutex> hwLock(m_hardwareLock);
      encoder = m_hw.audioEncoder;
    }
    if (encoder) encoder->SetBitrate(static_cast<int>(audioBitsPerSecond));
  }
  if (tools != nullptr) tools->OnSendBitrateChanged(rate, second, fps);
}

// ---- roles, capture and queries

void HX_SenderBase::SetRoleVideoCapture(bool on) {
  if (const auto slot = GetVideoCapture()) slot->OnRoleVideoCapture(on);
}

void HX_SenderBase::SetRoleAudioCapturer(bool on) {
  if (const auto connector = hardware().connector) connector->SetAudioCapturerRole(on ? 1 : 0);
}

void HX_SenderBase::OnBlockVideoCapture(bool block) {
  if (const auto slot = GetVideoCapture()) slot->OnBlockVideoCapture(block);
}

void HX_SenderBase::OnPauseVideoCapture(bool pause) {
  if (const auto slot = GetVideoCapture()) slot->OnPauseVideoCapture(pause);
}

std::shared_ptr<HX_VideoEncoderBase> HX_SenderBase::GetVideoEncoder() const {
  std::lock_guard<std::mutex> lock(m_hardwareLock);
  return m_hw.videoEncoder;
}

std::shared_ptr<HX_VideoCaptureSlotBase> HX_SenderBase::GetVideoCapture() const {
  std::lock_guard<std::mutex> lock(m_hardwareLock);
  return m_hw.captureSlot;
}

HX_MediaFormat HX_SenderBase::GetCurrentMediaFormat() const {
  HXAutoLock lock(m_formatLock);
  return m_currentFormat;
}

void HX_SenderBase::GetQueueVideoStatistics(uint32_t& oldest, uint64_t& since, int& count) {
  oldest = 0;
  since = 0;
  count = 0;
  if (HX_SenderStreamNetHandler* handler = sendHandler()) {
    handler->GetQueueVideoStatistics(oldest, since, count);
  }
}

uint32_t HX_SenderBase::GetVideoBandwidth(uint32_t uploadLimit) {
  HX_SenderStreamNetHandler* handler = sendHandler();
  return handler != nullptr ? handler->GetVideoBandwidth(uploadLimit) : 0;
}

// ---- statistics

void HX_SenderBase::setStreamConfStat(uint64_t tick, stream::trackId track, uint64_t bytes) {
  int64_t unset = 0;
  m_startTime.compare_exchange_strong(unset, static_cast<int64_t>(time(nullptr)));
  HX_MediaStreamBase::setStreamConfStat(tick, track, bytes);
}

bool HX_SenderBase::getStreamConfStat(stream::TConferenceStatistics& out) {
  out.clear();
  const Totals totals = GetTotals();
  const int32_t duration = static_cast<int32_t>(static_cast<uint32_t>(totals.lastTick) -
                                                static_cast<uint32_t>(totals.firstTick));
  out.durationMs = duration;
  out.bytesSent = static_cast<uint32_t>(totals.bytes);
  {
    HXAutoLock lock(m_formatLock);
    out.videoWidth = m_currentFormat.width;
    out.videoHeight = m_currentFormat.height;
  }
  // No time has passed: no rate (rather than a division by zero).
  out.frameRate =
      duration == 0 ? 0.0 : static_cast<double>(m_videoFramesSent.load()) / (duration / 1000.0);
  const int64_t start = m_startTime.load();
  out.startTime = static_cast<uint64_t>(start * 10000000) + kFileTimeEpoch;
  out.endTime = static_cast<uint64_t>((start + duration / 1000) * 10000000) + kFileTimeEpoch;
  return true;
}
