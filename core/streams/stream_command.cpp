#include "core/streams/stream_command.h"

#include <algorithm>
#include <cstring>

#include "core/streams/stream_frame_head.h"
#include "core/wire/media_format.h"

namespace {

uint8_t ClampLength(size_t length) {
  return static_cast<uint8_t>(std::min(length, HX_MiscCommandMaxData));
}

// The field-by-field copy of both record types: the clamped length and that many data bytes.
template <typename To, typename From>
void CopyRecord(To& to, const From& from) {
  to.code = from.code;
  to.mode = from.mode;
  to.result = from.result;
  to.length = ClampLength(from.length);
  std::memcpy(to.data, from.data, to.length);
}

// The whole out record: nothing of the caller's earlier command shows past the length.
void FillWhole(HX_MiscCommand& out, const HX_MiscData& from) {
  out = from;
  std::memset(out.data + out.DataLength(), 0, HX_MiscCommandMaxData - out.DataLength());
}

}  // namespace

HX_MiscCommand::HX_MiscCommand(const HX_MiscCommand& other) { CopyRecord(*this, other); }

HX_MiscCommand::HX_MiscCommand(const HX_MiscData& other) { CopyRecord(*this, other); }

HX_MiscCommand::HX_MiscCommand(const void* bytes, size_t size) {
  if (bytes == nullptr || size < HX_MiscCommandHeadSize) return;
  const size_t n = std::min(size, HX_MiscCommandRecordSize);
  const auto* in = static_cast<const uint8_t*>(bytes);
  code = in[0];
  mode = in[1];
  result = in[2];
  // A peer's length byte may say up to 255 and more than it sent: keep what is really there.
  length = static_cast<uint8_t>(std::min<size_t>({in[3], HX_MiscCommandMaxData, n - 4}));
  std::memcpy(data, in + HX_MiscCommandHeadSize, length);
}

HX_MiscCommand::HX_MiscCommand(const HX_StreamFrameHead* head) {
  if (head == nullptr) return;
  const size_t payload = head->Length();
  if (payload < HX_MiscCommandHeadSize || payload > HX_MiscCommandRecordSize) return;
  *this = HX_MiscCommand(head->Payload(), payload);
}

HX_MiscCommand& HX_MiscCommand::operator=(const HX_MiscCommand& other) {
  if (this != &other) CopyRecord(*this, other);
  return *this;
}

HX_MiscCommand& HX_MiscCommand::operator=(const HX_MiscData& other) {
  CopyRecord(*this, other);
  return *this;
}

size_t HX_MiscCommand::CommandSize() const { return HX_MiscCommandHeadSize + DataLength(); }

size_t HX_MiscCommand::DataLength() const {
  return std::min<size_t>(length, HX_MiscCommandMaxData);
}

uint32_t HX_MiscCommand::DataU32(size_t offset) const {
  if (offset > DataLength() || DataLength() - offset < 4) return 0;
  return static_cast<uint32_t>(data[offset]) | (static_cast<uint32_t>(data[offset + 1]) << 8) |
         (static_cast<uint32_t>(data[offset + 2]) << 16) |
         (static_cast<uint32_t>(data[offset + 3]) << 24);
}

void HX_MiscCommand::SetU32(uint8_t code_value, uint8_t mode_value, uint32_t value) {
  code = code_value;
  mode = mode_value;
  length = 4;
  for (int i = 0; i < 4; ++i) data[i] = static_cast<uint8_t>(value >> (8 * i));
}

void HX_MiscCommand::SetBytes(uint8_t code_value, uint8_t mode_value, const void* bytes, size_t n) {
  code = code_value;
  mode = mode_value;
  length = bytes == nullptr ? 0 : ClampLength(n);
  if (length > 0) std::memcpy(data, bytes, length);
}

void HX_MiscCommand::SetFormat(uint8_t code_value, uint8_t mode_value,
                               const HX_MediaFormat& format) {
  static_assert(sizeof(HX_MediaFormat) == HX_MediaFormat::kRecordSize);
  SetBytes(code_value, mode_value, &format, HX_MediaFormat::kRecordSize);
}

void HX_MiscCommand::RequestKeyFrame() {
  code = HX_Cmd_RequestKeyFrame;
  mode = HX_CmdMode_Info;
}

void HX_MiscCommand::RestrictBitrate(uint32_t value) {
  SetU32(HX_Cmd_RestrictBitrate, HX_CmdMode_Request, value);
}

void HX_MiscCommand::SetFpsVsQ(uint32_t value) {
  SetU32(HX_Cmd_SetFpsVsQ, HX_CmdMode_Request, value);
}

void HX_MiscCommand::ChangeSndMFormat(const HX_MediaFormat& format) {
  SetFormat(HX_Cmd_ChangeSndMFormat, HX_CmdMode_Request, format);
}

void HX_MiscCommand::ChangeRcvMFormat(const HX_MediaFormat& format) {
  SetFormat(HX_Cmd_RcvMFormat, HX_CmdMode_Request, format);
}

void HX_MiscCommand::InfoRcvMFormat(const HX_MediaFormat& format) {
  SetFormat(HX_Cmd_RcvMFormat, HX_CmdMode_Info, format);
}

void HX_MiscCommand::Stat(const void* bytes, size_t n) {
  SetBytes(HX_Cmd_Stat, HX_CmdMode_Info, bytes, n);
}

void HX_MiscCommand::RequestPacket(const void* bytes, size_t n) {
  SetBytes(HX_Cmd_RequestPacket, HX_CmdMode_Info, bytes, n);
}

void HX_MiscCommand::TimeDelay(uint32_t value) {
  SetU32(HX_Cmd_TimeDelay, HX_CmdMode_Request, value);
}

void HX_MiscCommand::Ping() {
  code = HX_Cmd_Ping;
  mode = HX_CmdMode_Info;
}

void HX_MiscCommand::BrokerStat(const void* bytes, size_t n) {
  SetBytes(HX_Cmd_BrokerStat, HX_CmdMode_Info, bytes, n);
}

void HX_MiscCommand::Reply(uint8_t result_value) {
  mode = HX_CmdMode_Reply;
  result = result_value;
}

HX_MiscData::HX_MiscData(const HX_MiscData& other) { CopyRecord(*this, other); }

HX_MiscData::HX_MiscData(const HX_MiscCommand& other) { CopyRecord(*this, other); }

HX_MiscData::HX_MiscData(HX_MiscData&& other) noexcept { CopyRecord(*this, other); }

HX_MiscData& HX_MiscData::operator=(const HX_MiscData& other) {
  if (this != &other) CopyRecord(*this, other);
  return *this;
}

HX_MiscData& HX_MiscData::operator=(HX_MiscData&& other) noexcept {
  if (this != &other) CopyRecord(*this, other);
  return *this;
}

void HX_MiscData::Clear() { *this = HX_MiscData(); }

void HX_CmndProc::addCommandInt(const HX_MiscCommand& command, bool to_send) {
  (to_send ? m_toSend : m_received).emplace_back(command);
}

bool HX_CmndProc::ReadRcvCommand(HX_MiscCommand& out, bool remove) {
  if (m_received.empty()) return false;
  FillWhole(out, m_received.front());
  if (remove) m_received.pop_front();
  return true;
}

bool HX_CmndProc::PopSndCommand(HX_MiscCommand& out) {
  if (m_toSend.empty()) return false;
  FillWhole(out, m_toSend.front());
  m_toSend.pop_front();
  return true;
}

bool HX_MiscCommandProcess::CommandToSend(const HX_MiscCommand& command) {
  if (!m_cmndProc) return false;
  return m_cmndProc->AddCommand(command, true);
}
