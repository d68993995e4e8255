#include "core/wire/transport_message.h"

#include <cstdlib>
#include <cstring>

#include "core/wire/wire_text.h"

std::string tr_endpointName;

namespace {

constexpr int kNameCount = 9;
constexpr size_t kMaxNameLength = hx::wire::kMaxWireTextLength;
constexpr uint32_t kFixedPartSize = sizeof(HX_FixedPartMessage);
constexpr uint64_t kMaxHeaderLength = 0xFFFF;
constexpr uint8_t kBuiltVersion = 1;

// Where name `index` (1-9) lies: the offset of its length byte. Every name must end with its NUL
// inside the header length, so a damaged header fails here instead of reading past it.
bool FindName(const HX_FixedPartMessage& message, int index, uint32_t* length_offset) {
  if (index < 1 || index > kNameCount) return false;
  const uint8_t* bytes = message.Bytes();
  const uint32_t header_length = message.HeaderLength();
  uint32_t position = kFixedPartSize - 1;  // each step starts on the byte before a length byte
  for (int count = 1;; ++count) {
    uint64_t nul = 0;
    if (!hx::wire::FindWireTextEnd(bytes, header_length, uint64_t{position} + 1, &nul)) return false;
    if (count == index) {
      *length_offset = position + 1;
      return true;
    }
    position = static_cast<uint32_t>(nul);
  }
}

}  // namespace

HX_TransportMessage::~HX_TransportMessage() { std::free(m_message); }

bool HX_TransportMessage::Set(unsigned request, uint32_t sequence, const char* srcCID,
                              const char* srcService, const char* addString, const char* dstCID,
                              const char* dstService, uint32_t timeLimit, const void* body,
                              uint32_t bodyLength, const char* dstUser, const char* srcUser,
                              const char* dstServer, const char* srcServer) {
  if (body == nullptr || bodyLength == 0 || bodyLength > HX_FixedPartMessage::kMaxBodyLength) return false;

  const char* const names[kNameCount] = {srcCID,  srcService, addString, dstCID,   dstService,
                                         srcUser, dstUser,    srcServer, dstServer};
  size_t lengths[kNameCount];
  uint64_t header_length = kFixedPartSize;
  for (int i = 0; i < kNameCount; ++i) {
    lengths[i] = names[i] == nullptr ? 0 : strnlen(names[i], kMaxNameLength + 1);
    if (lengths[i] > kMaxNameLength) return false;
    header_length += lengths[i] + 2;
  }

  auto* message = static_cast<HX_FixedPartMessage*>(std::malloc(header_length + bodyLength));
  if (message == nullptr) return false;
  message->flags = static_cast<uint8_t>((request << 6) | HX_FixedPartMessage::kAlwaysSetFlag | kBuiltVersion);
  message->headerCksum = 0;
  message->SetHeaderLength(static_cast<uint16_t>(header_length));
  message->bodyCksum = 0;
  message->SetBodyLength(bodyLength);
  message->SetSequence(sequence);
  message->SetTimeLimit(timeLimit);
  uint8_t* out = message->Bytes() + kFixedPartSize;
  for (int i = 0; i < kNameCount; ++i) out = hx::wire::WriteWireText(out, names[i], lengths[i]);
  // The names and the body may lie inside the current buffer (FormReply, echoes): everything is
  // copied before that buffer is freed.
  std::memcpy(out, body, bodyLength);
  HX_CalcMessageCksums(message);
  TakeBuffer(message, false);
  return true;
}

bool HX_TransportMessage::Set(HX_FixedPartMessage* message) {
  if (message == nullptr) return false;
  if (message->HeaderLength() < kFixedPartSize) return false;
  if ((message->flags & HX_FixedPartMessage::kAlwaysSetFlag) == 0) return false;
  if ((message->flags & HX_FixedPartMessage::kVersionMask) == 0) return false;
  if (message->Sequence() == 0) return false;
  if (!HX_CheckMessageCksums(message)) return false;
  TakeBuffer(message, true);
  return true;
}

void HX_TransportMessage::TakeBuffer(HX_FixedPartMessage* message, bool received) {
  if (m_message != message) std::free(m_message);
  m_message = message;
  m_valid = true;
  m_received = received;
}

bool HX_TransportMessage::FormReply(const HX_TransportMessage* request, uint32_t timeLimit,
                                    const void* body, uint32_t bodyLength, const char* addString) {
  const HX_TransportMessage& source = request != nullptr ? *request : *this;
  if (!source.m_valid || !source.m_received) return false;
  const uint8_t kind = source.m_message->flags & (HX_FixedPartMessage::kNotifyFlag | HX_FixedPartMessage::kRequestFlag);
  if (kind != HX_FixedPartMessage::kRequestFlag) return false;
  return Set(0, source.Sequence(), source.DstCID(), source.DstService(), addString, source.SrcCID(),
             source.SrcService(), timeLimit, body, bodyLength, source.SrcUser(), source.DstUser(),
             source.SrcServer(), tr_endpointName.c_str());
}

const char* HX_TransportMessage::GetName(int index, const HX_FixedPartMessage* buffer) const {
  if (buffer == nullptr) {
    if (!m_valid) return nullptr;
    buffer = m_message;
  }
  uint32_t length_offset = 0;
  if (!FindName(*buffer, index, &length_offset)) return nullptr;
  return reinterpret_cast<const char*>(buffer->Bytes() + length_offset + 1);
}

bool HX_TransportMessage::SetName(int index, const char* text) {
  uint32_t length_offset = 0;
  if (text == nullptr || !m_valid || !FindName(*m_message, index, &length_offset)) return false;
  const size_t new_length = strnlen(text, kMaxNameLength + 1);
  if (new_length > kMaxNameLength) return false;
  const uint8_t* old_bytes = m_message->Bytes();
  const size_t old_length = old_bytes[length_offset];
  if (old_length == 0 && new_length == 0) return true;

  // A received header may already be near the 16-bit limit of the header length.
  const uint64_t header_length = uint64_t{m_message->HeaderLength()} + new_length - old_length;
  if (header_length > kMaxHeaderLength) return false;
  const uint64_t old_total = m_message->MessageLength();
  const uint64_t tail_offset = uint64_t{length_offset} + old_length + 2;  // after the old NUL

  auto* message = static_cast<HX_FixedPartMessage*>(std::malloc(old_total + new_length - old_length));
  if (message == nullptr) return false;
  uint8_t* out = message->Bytes();
  std::memcpy(out, old_bytes, length_offset);
  out = hx::wire::WriteWireText(out + length_offset, text, new_length);
  std::memcpy(out, old_bytes + tail_offset, old_total - tail_offset);
  message->SetHeaderLength(static_cast<uint16_t>(header_length));
  message->headerCksum = 0;
  message->bodyCksum = 0;
  HX_CalcMessageCksums(message);
  TakeBuffer(message, m_received);
  return true;
}

uint8_t HX_TransportMessage::Version() const {
  return m_valid ? m_message->flags & HX_FixedPartMessage::kVersionMask : 0;
}

bool HX_TransportMessage::IsRequest() const {
  return m_valid && (m_message->flags & HX_FixedPartMessage::kRequestFlag) != 0;
}

bool HX_TransportMessage::IsReply() const {
  return m_valid && (m_message->flags & HX_FixedPartMessage::kRequestFlag) == 0;
}

bool HX_TransportMessage::IsNotify() const {
  return m_valid && (m_message->flags & HX_FixedPartMessage::kNotifyFlag) != 0;
}

int HX_TransportMessage::Type() const {
  if (!m_valid) return 0;
  if (IsNotify()) return 3;
  return IsRequest() ? 1 : 2;
}

uint32_t HX_TransportMessage::Sequence() const { return m_valid ? m_message->Sequence() : 0; }

uint32_t HX_TransportMessage::TimeLimit() const { return m_valid ? m_message->TimeLimit() : 0; }

uint32_t HX_TransportMessage::Body(const uint8_t** body) const {
  if (!m_valid) {
    if (body != nullptr) *body = nullptr;
    return 0;
  }
  if (body != nullptr) *body = m_message->Bytes() + m_message->HeaderLength();
  return m_message->BodyLength();
}

bool HX_TransportMessage::IsFromServer() const {
  if (!m_valid) return false;
  const char* user = SrcUser();
  return user == nullptr || user[0] == '\0';
}

void HX_TransportMessage::Reset() {
  std::free(m_message);
  m_message = nullptr;
  m_valid = false;
  m_received = false;
}

HX_FixedPartMessage* HX_TransportMessage::ReleaseMessage() {
  HX_FixedPartMessage* message = m_message;
  m_message = nullptr;
  m_valid = false;
  m_received = false;
  return message;
}
