#include "testing/fake_server/message_frame.h"

#include <cstring>

namespace hx::testing {
namespace {

uint16_t HeaderLength(const uint8_t* message) {
  return static_cast<uint16_t>(message[2] | (message[3] << 8));
}

uint32_t BodyLengthMinusOne(const uint8_t* message) {
  return message[5] | (message[6] << 8) | (static_cast<uint32_t>(message[7]) << 16);
}

uint32_t ReadU32(const uint8_t* bytes) {
  return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<uint32_t>(bytes[3]) << 24);
}

void WriteU32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

std::string Describe(const char* what, uint64_t found, uint64_t expected) {
  return std::string(what) + ": found " + std::to_string(found) + ", expected " +
         std::to_string(expected);
}

}  // namespace

std::array<std::string*, 9> MessageNames::InWireOrder() {
  return {&src_cid,  &src_service, &add_string, &dst_cid,   &dst_service,
          &src_user, &dst_user,    &src_server, &dst_server};
}

std::array<const std::string*, 9> MessageNames::InWireOrder() const {
  return {&src_cid,  &src_service, &add_string, &dst_cid,   &dst_service,
          &src_user, &dst_user,    &src_server, &dst_server};
}

std::vector<uint8_t> EncodeMessage(const MessageFrame& frame) {
  if (frame.body.empty() || frame.body.size() > kMaxMessageBodySize) return {};
  uint64_t header_length = kMessageFixedPartSize;
  for (const std::string* name : frame.names.InWireOrder()) {
    if (name->size() > 255) return {};
    header_length += name->size() + 2;
  }
  std::vector<uint8_t> message(header_length + frame.body.size());
  message[0] = frame.flags;
  message[2] = static_cast<uint8_t>(header_length);
  message[3] = static_cast<uint8_t>(header_length >> 8);
  const uint32_t body_length_minus_one = static_cast<uint32_t>(frame.body.size() - 1);
  message[5] = static_cast<uint8_t>(body_length_minus_one);
  message[6] = static_cast<uint8_t>(body_length_minus_one >> 8);
  message[7] = static_cast<uint8_t>(body_length_minus_one >> 16);
  WriteU32(&message[8], frame.sequence);
  WriteU32(&message[12], frame.time_limit);
  size_t at = kMessageFixedPartSize;
  for (const std::string* name : frame.names.InWireOrder()) {
    message[at++] = static_cast<uint8_t>(name->size());
    std::memcpy(&message[at], name->data(), name->size());
    at += name->size() + 1;  // the NUL is already there
  }
  std::memcpy(&message[at], frame.body.data(), frame.body.size());
  // The header checksum covers the body checksum, so that one goes first.
  message[4] = MessageBodyChecksum(message.data());
  message[1] = MessageHeaderChecksum(message.data());
  return message;
}

uint64_t MessageSizeFromFixedPart(const uint8_t* fixed_part) {
  return uint64_t{HeaderLength(fixed_part)} + BodyLengthMinusOne(fixed_part) + 1;
}

uint8_t MessageHeaderChecksum(const uint8_t* message) {
  // Neither the notify bit nor the time limit (bytes 12-15) is covered, so both may change in
  // flight; the offsets of the time-limit bytes still count.
  uint32_t sum = 0xAC + (message[0] & ~kMessageNotifyBit & 0xff);
  const uint16_t header_length = HeaderLength(message);
  for (uint32_t j = 2; j < header_length; ++j) {
    const bool time_limit = j >= 12 && j < 16;
    sum += (time_limit ? 0 : message[j]) + j;
  }
  return static_cast<uint8_t>(sum);
}

uint8_t MessageBodyChecksum(const uint8_t* message) {
  // Every 16th byte from the header's end, bounded by the stored body length - 1 itself (not by
  // H plus it): a body shorter than the header is not sampled at all.
  const uint32_t bound = BodyLengthMinusOne(message);
  uint32_t sum = 0xEE;
  for (uint32_t i = HeaderLength(message); i <= bound; i += 16) sum += message[i] + i;
  return static_cast<uint8_t>(sum);
}

bool DecodeMessage(const uint8_t* message, size_t size, MessageFrame& frame,
                   std::vector<std::string>& problems) {
  if (size < kMessageFixedPartSize || MessageSizeFromFixedPart(message) != size) {
    problems.push_back("message size does not match its fixed part");
    return false;
  }
  frame.flags = message[0];
  frame.sequence = ReadU32(&message[8]);
  frame.time_limit = ReadU32(&message[12]);
  if (!(frame.flags & kMessageAlwaysSetBit)) problems.push_back("flags bit 7 clear");
  if ((frame.flags & kMessageVersionBits) != 1) {
    problems.push_back(Describe("version", frame.flags & kMessageVersionBits, 1));
  }
  if (frame.sequence == 0) problems.push_back("sequence number 0");

  const uint16_t header_length = HeaderLength(message);
  if (message[1] != MessageHeaderChecksum(message)) {
    problems.push_back(Describe("header checksum", message[1], MessageHeaderChecksum(message)));
  }
  if (message[4] != MessageBodyChecksum(message)) {
    problems.push_back(Describe("body checksum", message[4], MessageBodyChecksum(message)));
  }

  size_t at = kMessageFixedPartSize;
  const auto names = frame.names.InWireOrder();
  for (size_t index = 0; index < names.size(); ++index) {
    if (at >= header_length) {
      problems.push_back(Describe("names run past the header length", at + 1, header_length));
      return false;
    }
    const size_t length = message[at];
    const size_t nul = at + 1 + length;
    if (nul >= header_length || message[nul] != 0) {
      problems.push_back("name " + std::to_string(index + 1) + " lacks its NUL");
      return false;
    }
    names[index]->assign(reinterpret_cast<const char*>(&message[at + 1]), length);
    at = nul + 1;
  }
  if (at != header_length) {
    problems.push_back(Describe("header length", header_length, at));
    return false;
  }
  frame.body.assign(message + header_length, message + size);
  return true;
}

}  // namespace hx::testing
