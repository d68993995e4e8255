#include "testing/sim_net/sim_tcp_link.h"

#include <algorithm>
#include <cstring>

#include "core/streams/stream_command.h"
#include "core/streams/stream_frame_head.h"

namespace hx::testing {

SimTcpLink::SimTcpLink(const SimTcpLinkConfig& config)
    : config_(config), queue_([this] { return clock_.now; }) {
  clock_.now = config.startTick;
  queue_.Control().SetHardwareEncoder(config.hardwareEncoder);
  queue_.Reset(static_cast<uint32_t>(config.initialKbps));
  band_ = queue_.CalcVideoBandwidth(config.initialKbps);
  nextVideo_ = nextAudio_ = clock_.now;
  nextBand_ = clock_.now + 300;
  nextStat_ = clock_.now + 1000;
}

void SimTcpLink::Run(int64_t ms) {
  for (int64_t i = 0; i < ms; ++i) {
    ++clock_.now;
    Source();
    Link();
    Relay();
    if (clock_.now >= nextBand_) {
      nextBand_ += 300;
      band_ = queue_.CalcVideoBandwidth(config_.requestedKbps);
      bands_.push_back(
          {clock_.now, band_, queue_.Control().SendBitrate(), queue_.Control().State()});
    }
  }
}

void SimTcpLink::Source() {
  const int64_t now = clock_.now;
  if (now >= nextAudio_) {
    nextAudio_ += 20;
    uint8_t audio[4 + 80] = {};
    std::memcpy(audio, &now, 4);
    queue_.AddFrame(1, sizeof(audio), audio, nullptr, 2);
  }
  if (now >= nextVideo_) {
    nextVideo_ += 1000 / config_.fps;
    // The encoder meets its band on average: bytes per frame = kbit/s × 1024 / 8 / fps.
    const size_t bytes = std::max<size_t>(
        HX_VideoFramePrefixSize + 1, static_cast<size_t>(std::max(band_, 1)) * 128 / config_.fps);
    buffer_.assign(bytes, static_cast<uint8_t>(counter_ * 31));
    buffer_[0] = counter_++;
    buffer_[1] = counter_ % 50 == 1 ? 0 : 1;
    HX_SendNhpVideoHeader header;
    header.frameCounter = buffer_[0];
    header.frameType = buffer_[1];
    header.timestamp = static_cast<uint32_t>(now);
    header.frameInterval = static_cast<uint32_t>(1000 / config_.fps);
    queue_.AddFrame(2, buffer_.size(), buffer_.data(), &header, 3);
  }
}

void SimTcpLink::Link() {
  credit_ += config_.linkKbps * 128.0 / 1000.0;  // bytes per ms
  while (credit_ >= 1) {
    HX_CommitFrameBase* frame = queue_.GetFrame();
    if (frame == nullptr) {
      credit_ = 0;  // an idle link banks nothing
      return;
    }
    const uint64_t part = frame->CurrentPartSize();
    if (partDone_ == 0) part_.assign(frame->Buffer(), frame->Buffer() + part);
    const uint64_t n = std::min<uint64_t>(part - partDone_, static_cast<uint64_t>(credit_));
    partDone_ += n;
    credit_ -= static_cast<double>(n);
    bytesSent_ += n;
    if (partDone_ < part) return;
    partDone_ = 0;
    queue_.NextPart(part);
    RelayPart(part_.data(), part_.size());
  }
}

void SimTcpLink::RelayPart(const uint8_t* bytes, size_t size) {
  const HX_StreamFrameHead* head = HX_RecvFrameQueueTCPv2::AssemblePacket(bytes, size);
  if (head == nullptr || head->Length() + HX_StreamFrameHead::kSize != size ||
      !head->CheckPayload(head->Payload())) {
    ++badFrames_;
    return;
  }
  ++relayFrames_[head->Track()];
  relayQueue_[head->Track()] += size;
}

void SimTcpLink::Relay() {
  relayCredit_ += config_.relayKbps * 128.0 / 1000.0;
  for (auto& [track, held] : relayQueue_) {
    const uint64_t n = std::min<uint64_t>(held, static_cast<uint64_t>(relayCredit_));
    held -= n;
    relayCredit_ -= static_cast<double>(n);
  }
  if (relayCredit_ > 100000) relayCredit_ = 100000;
  if (clock_.now < nextStat_) return;
  nextStat_ += 1000;
  if (!config_.relayStatistics) return;
  // The relay record: u16 total queue, 8 bytes, count, then 11-byte entries (track, u16 queue, 8
  // bytes). Queue values here are the bytes held / 100, as a relay might count them.
  uint8_t record[11 + 11 * 10] = {};
  uint64_t total = 0;
  size_t count = 0;
  for (const auto& [track, held] : relayQueue_) {
    total += held;
    if (count == 10) continue;
    uint8_t* e = record + 11 + 11 * count++;
    const uint16_t q = static_cast<uint16_t>(std::min<uint64_t>(held / 100, 0xFFFF));
    e[0] = static_cast<uint8_t>(track);
    e[1] = static_cast<uint8_t>(q);
    e[2] = static_cast<uint8_t>(q >> 8);
  }
  const uint16_t q = static_cast<uint16_t>(std::min<uint64_t>(total / 100, 0xFFFF));
  record[0] = static_cast<uint8_t>(q);
  record[1] = static_cast<uint8_t>(q >> 8);
  record[10] = static_cast<uint8_t>(count);
  const size_t data = 11 + 11 * count;
  // The sender-control frame as it arrives on the stream: head, then the command's wire bytes.
  std::vector<uint8_t> frame(HX_StreamFrameHead::kSize + 4 + data);
  uint8_t* payload = frame.data() + HX_StreamFrameHead::kSize;
  payload[0] = HX_Cmd_BrokerStat;
  payload[1] = HX_CmdMode_Info;
  payload[2] = 0;
  payload[3] = static_cast<uint8_t>(data);
  std::memcpy(payload + 4, record, data);
  auto* head = reinterpret_cast<HX_StreamFrameHead*>(frame.data());
  head->Set(payload, static_cast<uint16_t>(4 + data), static_cast<uint32_t>(clock_.now), 255);
  queue_.ProcessBrokerStatistics(HX_MiscCommand(head));
  ++relayStats_;
}

}  // namespace hx::testing
