#include "testing/sim_net/nhp_two_end.h"

#include <algorithm>

namespace hx::testing {

// Takes the commands an end's queues produce and queues them for sending as command packets.
struct NhpTwoEnd::CommandProc : HX_CmndProc {
  bool AddCommand(const HX_MiscCommand& command, bool to_send) override {
    if (!to_send) return false;
    ++produced[command.code];
    if (dropResendRequests && command.code == HX_Cmd_RequestPacket) return true;
    const int priority =
        command.mode == HX_CmdMode_Reply || command.code == HX_Cmd_RequestKeyFrame ? 1 : 3;
    return send != nullptr &&
           send->AddFrame(254, command.CommandSize(), command.Bytes(), nullptr, priority);
  }
  HX_SendFrameQueueNhp* send = nullptr;
  bool dropResendRequests = false;
  std::map<int, uint64_t> produced;
};

NhpTwoEnd::NhpTwoEnd(const NhpTwoEndConfig& config) : config_(config), buffer_(1 << 20) {
  clock_.now = config.startTick;
  nextVideo_ = nextAudio_ = nextBand_ = config.startTick;
  MakeEnd(a_);
  MakeEnd(b_);
  b_.proc->dropResendRequests = config.dropResendRequests;
}

NhpTwoEnd::~NhpTwoEnd() = default;

const std::map<int, uint64_t>& NhpTwoEnd::CommandsFromB() const { return b_.proc->produced; }

const std::map<int, uint64_t>& NhpTwoEnd::CommandsFromA() const { return a_.proc->produced; }

void NhpTwoEnd::MakeEnd(End& end) {
  const uint32_t redundancy = config_.direct ? 0 : config_.redundancy;
  const uint32_t spacing = config_.direct ? 0 : config_.spacing;
  end.send = std::make_unique<HX_SendFrameQueueNhp>(nullptr, config_.payloadSize, redundancy,
                                                    spacing, clock_.Source());
  end.control = std::make_unique<HX_ControlQueueNhp>(config_.direct, 1400, clock_.Source());
  end.control->SetSendQueue(end.send.get());
  end.receive = std::make_unique<HX_ReceiveFrameQueueNhp>(
      config_.direct, config_.direct ? 0 : config_.videoMode, config_.direct, clock_.Source());
  end.proc = std::make_shared<CommandProc>();
  end.proc->send = end.send.get();
  end.control->setCmndProc(end.proc);
  end.receive->setCmndProc(end.proc);
}

void NhpTwoEnd::Source() {
  const int64_t now = clock_.now;
  if (now >= nextBand_) {
    band_ = a_.control->GetVideoBandwidth(config_.requestedKbps);
    maxBand_ = std::max(maxBand_, band_);
    nextBand_ += 300;
  }
  if (config_.audio && now >= nextAudio_) {
    std::vector<uint8_t> frame(4 + 60);
    const uint32_t ts = static_cast<uint32_t>(now);
    for (int i = 0; i < 4; ++i) frame[i] = static_cast<uint8_t>(ts >> (8 * i));
    for (size_t i = 4; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(ts + i);
    a_.send->AddFrame(1, frame.size(), frame.data(), nullptr, 2);
    ++sentAudio_;
    nextAudio_ += 20;
  }
  if (now >= nextVideo_) {
    const int interval = 1000 / config_.fps;
    const bool key = keyWanted_;
    keyWanted_ = false;
    // Bytes for one frame at the band (kbit/s of 1024 bits); key frames three times as large.
    size_t size = static_cast<size_t>(std::max(band_, 20)) * 128 * interval / 1000;
    if (key) size *= 3;
    std::vector<uint8_t> frame(6 + size);
    const uint32_t ts = static_cast<uint32_t>(now);
    frame[0] = counter_++;
    frame[1] = key ? 0 : 1;
    for (int i = 0; i < 4; ++i) frame[2 + i] = static_cast<uint8_t>(ts >> (8 * i));
    for (size_t i = 6; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(ts * 31 + i * 7);
    const size_t before = a_.send->QueuedPackets();
    a_.send->AddFrame(2, frame.size(), frame.data(), nullptr, 3);
    videoPackets_ += a_.send->QueuedPackets() - before;
    if (key) keyFrames_.push_back(now);
    sentVideo_[ts] = std::move(frame);
    nextVideo_ += interval;
  }
}

void NhpTwoEnd::Pump(End& end, SimChannel& out) {
  const uint8_t* data;
  size_t size;
  int type, flag;
  while (end.send->GetFrame(data, size, type, flag)) {
    out.Send(data, size, clock_.now);
    end.control->Add(static_cast<uint64_t>(clock_.now), size, HX_NhpTrackOfType(type), 0, 0);
    end.send->MarkFirstAsSend();
  }
}

void NhpTwoEnd::Dispatch(End& end, const HX_MiscCommand& command) {
  switch (command.code) {
    case HX_Cmd_TimeDelay:
      end.receive->SetReceivedCommand(command);
      break;
    case HX_Cmd_Stat:
      end.control->SetReceivedCommand(command);
      break;
    case HX_Cmd_RequestPacket:
      if (end.control->SetReceivedCommand(command) != 0) ++resendsGranted_;
      break;
    case HX_Cmd_RequestKeyFrame:
      if (&end == &a_) {
        keyWanted_ = true;
        keyRequests_.push_back(clock_.now);
      }
      break;
    default:
      break;
  }
}

void NhpTwoEnd::Receive(End& end, const uint8_t* packet, size_t size, bool is_b) {
  if (packet != nullptr) end.receive->Add(packet, size);
  size_t length;
  int type;
  while (end.receive->Get(buffer_.data(), buffer_.size(), length, type)) {
    if (type == HX_Nhp_Command) {
      Dispatch(end, HX_MiscCommand(buffer_.data(), length));
    } else if (is_b && type == HX_Nhp_Video && length >= 6) {
      const uint32_t ts = buffer_[2] | (buffer_[3] << 8) | (buffer_[4] << 16) |
                          (static_cast<uint32_t>(buffer_[5]) << 24);
      receivedVideo_.push_back(
          {ts, std::vector<uint8_t>(buffer_.begin(), buffer_.begin() + length)});
    } else if (is_b && type == HX_Nhp_Audio) {
      ++receivedAudio_;
    }
  }
}

void NhpTwoEnd::Run(int64_t ms) {
  const int64_t end_tick = clock_.now + ms;
  for (; clock_.now < end_tick; ++clock_.now) {
    Source();
    channel_.forward.Deliver(clock_.now,
                             [&](const uint8_t* p, size_t n) { Receive(b_, p, n, true); });
    channel_.reverse.Deliver(clock_.now,
                             [&](const uint8_t* p, size_t n) { Receive(a_, p, n, false); });
    // Frames come out on time even when no packet arrives.
    Receive(b_, nullptr, 0, true);
    Receive(a_, nullptr, 0, false);
    // What the ends produced this millisecond leaves in it: no step of latency is added.
    Pump(a_, channel_.forward);
    Pump(b_, channel_.reverse);
  }
}

}  // namespace hx::testing
