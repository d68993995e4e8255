#include "testing/fake_server/server_messages.h"

#include <cstdlib>

namespace hx::testing {
namespace {

std::vector<uint8_t> SerializedBody(const HX_Container& body) {
  uint8_t* buffer = nullptr;
  size_t size = 0;
  std::vector<uint8_t> bytes;
  if (body.SerializeAlloc(buffer, size)) bytes.assign(buffer, buffer + size);
  std::free(buffer);
  return bytes;
}

}  // namespace

MessageFrame ServiceMessage(const std::string& src_service, const std::string& dst_service,
                            const HX_Container& body) {
  MessageFrame frame;
  frame.flags = kRequestFlags;
  frame.sequence = 0;
  frame.time_limit = 20000;
  frame.names.src_service = src_service;
  frame.names.dst_service = dst_service;
  frame.body = SerializedBody(body);
  return frame;
}

MessageFrame ReplyTo(const ReceivedMessage& request, const HX_Container& body) {
  const MessageNames& asked = request.frame.names;
  MessageFrame frame;
  frame.flags = kReplyFlags;
  frame.sequence = request.frame.sequence;
  frame.time_limit = request.frame.time_limit;
  frame.names.src_cid = asked.dst_cid;
  frame.names.src_service = asked.dst_service;
  frame.names.dst_cid = asked.src_cid;
  frame.names.dst_service = asked.src_service;
  frame.names.src_user = asked.dst_user;
  frame.names.dst_user = asked.src_user;
  frame.names.dst_server = asked.src_server;
  frame.body = SerializedBody(body);
  return frame;
}

MessageFrame ControlMessage(char code, uint8_t flags, uint32_t sequence) {
  MessageFrame frame;
  frame.flags = flags;
  frame.sequence = sequence;
  frame.time_limit = 5000;
  frame.names.add_string = std::string(1, code);
  frame.body = {0};
  return frame;
}

}  // namespace hx::testing
