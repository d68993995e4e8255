#include "core/streams/udp_direct_hello.h"

#include <endian.h>
#include <strings.h>

#include <cstring>

#include "core/base/container.h"
#include "core/base/net_message.h"
#include "core/net/address/addr_factory.h"

namespace hx::streams::udp {
namespace {

constexpr char kConferenceName[] = "ConferenceName";
constexpr char kParticipantName[] = "participantName";
constexpr char kConnectedParticipantName[] = "connectedParticipantName";
constexpr char kHandshakeVersionKey[] = "HandshakeVersion";
constexpr char kSendTime[] = "SendTime";
constexpr char kLocalIntEp[] = "LocalIntEp";
constexpr char kRemoteExtEp[] = "RemoteExtEp";
constexpr char kCtrlNum[] = "CtrlNum";
constexpr char kRetBackTime[] = "RetBackTime";

// The leading text of `data` is `text` (case ignored) followed by its NUL.
bool hasHeader(const void* data, size_t size, const char* text, size_t headerSize) {
  if (data == nullptr || size < headerSize) return false;
  const char* bytes = static_cast<const char*>(data);
  return bytes[headerSize - 1] == '\0' && strncasecmp(bytes, text, headerSize - 1) == 0;
}

// The body behind a recognised header, deserialised; false when the length field lies or the
// container does not deserialise.
bool readBody(const void* data, size_t size, size_t headerSize, HX_Container& body) {
  if (size < headerSize + kBodyLengthSize) return false;
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  uint32_t length_le;
  std::memcpy(&length_le, bytes + headerSize, sizeof(length_le));
  const uint64_t length = le32toh(length_le);
  if (length > size - headerSize - kBodyLengthSize) return false;
  return body.Deserialize(bytes + headerSize + kBodyLengthSize, length);
}

// A 64-bit entry stored most significant byte first; 0 when missing.
uint64_t getNetworkOrder64(const HX_Container& body, const char* name) {
  int64_t stored = 0;
  size_t unused = 0;
  if (!body.GetValue(name, HX_CNT_INT64_VT, &stored, unused)) return 0;
  return be64toh(static_cast<uint64_t>(stored));
}

void addNetworkOrder64(HX_Container& body, const char* name, uint64_t value) {
  body.AddValue(name, static_cast<int64_t>(htobe64(value)));
}

// Empty when absent, longer than kMaxAddressEntrySize or not an address form.
HXSockAddr getAddress(const HX_Container& body, const char* name) {
  HXSockAddr address;
  size_t size = 0;
  const void* value = body.GetValueRef(name, HX_CNT_BINARY_VT, size);
  if (value == nullptr || size > kMaxAddressEntrySize) return address;
  size_t length = size;
  if (!HXAddrFactory::deserialize(address, static_cast<const uint8_t*>(value), length)) {
    address.clear();
  }
  return address;
}

void addAddress(HX_Container& body, const char* name, const HXSockAddr& address) {
  uint8_t form[kMaxAddressEntrySize];
  size_t length = sizeof(form);
  if (HXAddrFactory::serialize(address, form, length) && length > 0) {
    body.AddValue(name, HX_CNT_BINARY_VT, form, length);
  }
}

}  // namespace

bool isUdpDCHelloHeader(const void* data, size_t size) {
  return hasHeader(data, size, kHelloText, kHelloHeaderSize);
}

bool isUdpDCOkReplyHeader(const void* data, size_t size) {
  return hasHeader(data, size, kOkReplyText, kOkReplyHeaderSize);
}

bool isTrialUdpDCHeader(const void* data, size_t size) {
  return isUdpDCHelloHeader(data, size) || isUdpDCOkReplyHeader(data, size);
}

bool readCommonReqFields(const HX_Container& body, HelloRequestData& out) {
  size_t unused = 0;
  if (!body.GetValue(kCtrlNum, HX_CNT_INTEGER_VT, &out.controlNumber, unused)) return false;
  out.conferenceName.clear();
  out.participantName.clear();
  out.connectedParticipantName.clear();
  body.GetValue(kConferenceName, out.conferenceName);
  body.GetValue(kParticipantName, out.participantName);
  body.GetValue(kConnectedParticipantName, out.connectedParticipantName);

  int32_t stored = 0;
  out.version = 0;
  if (body.GetValue(kHandshakeVersionKey, HX_CNT_INTEGER_VT, &stored, unused)) {
    out.version = static_cast<int32_t>(be32toh(static_cast<uint32_t>(stored)));
    if (out.version > kHandshakeVersion) out.version = kHandshakeVersion;
  }
  out.sendTime = 0;
  out.localIntEp.clear();
  out.remoteExtEp.clear();
  if (out.version <= 0) return true;
  out.sendTime = getNetworkOrder64(body, kSendTime);
  out.localIntEp = getAddress(body, kLocalIntEp);
  out.remoteExtEp = getAddress(body, kRemoteExtEp);
  return true;
}

void addCommonReqFields(const HelloRequestData& fields, HX_Container& body) {
  body.AddValue(kConferenceName, fields.conferenceName.c_str());
  body.AddValue(kParticipantName, fields.participantName.c_str());
  body.AddValue(kConnectedParticipantName, fields.connectedParticipantName.c_str());
  body.AddValue(kHandshakeVersionKey, static_cast<int32_t>(htobe32(kHandshakeVersion)));
  addNetworkOrder64(body, kSendTime, fields.sendTime);
  addAddress(body, kLocalIntEp, fields.localIntEp);
  addAddress(body, kRemoteExtEp, fields.remoteExtEp);
}

bool readHelloRequest(const void* data, size_t size, HelloRequestData& out) {
  HX_Container body;
  if (!isUdpDCHelloHeader(data, size) || !readBody(data, size, kHelloHeaderSize, body) ||
      !readCommonReqFields(body, out)) {
    return false;
  }
  return !out.conferenceName.empty() && !out.participantName.empty() &&
         !out.connectedParticipantName.empty();
}

bool readOkReply(const void* data, size_t size, ReplyData& out) {
  HX_Container body;
  if (!isUdpDCOkReplyHeader(data, size) || !readBody(data, size, kOkReplyHeaderSize, body) ||
      !readCommonReqFields(body, out)) {
    return false;
  }
  out.retBackTime = out.version > 0 ? getNetworkOrder64(body, kRetBackTime) : 0;
  return true;
}

void addCtrlNum(HX_Container& body, int32_t controlNumber) {
  body.AddValue(kCtrlNum, controlNumber);
}

void addRetBackTime(HX_Container& body, uint64_t retBackTime) {
  addNetworkOrder64(body, kRetBackTime, retBackTime);
}

bool fillMsg(HXNetMessage& message, const HX_Container& body, const char* header,
             size_t headerSize) {
  // Serialising needs room for the worst case; the body is written once, in place behind the
  // header, and the length field is filled in afterwards.
  const size_t room = body.GetAllocSize();
  message.setSize(0);
  message.ensureSize(headerSize + kBodyLengthSize + room);
  uint8_t* bytes = message.buffer();
  std::memcpy(bytes, header, headerSize - 1);
  bytes[headerSize - 1] = '\0';
  size_t length = room;
  if (!body.Serialize(bytes + headerSize + kBodyLengthSize, length)) return false;
  const uint32_t length_le = htole32(static_cast<uint32_t>(length));
  std::memcpy(bytes + headerSize, &length_le, sizeof(length_le));
  message.setSize(headerSize + kBodyLengthSize + length);
  return true;
}

}  // namespace hx::streams::udp
