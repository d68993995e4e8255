#include "testing/fake_server/client_message_rules.h"

namespace hx::testing {
namespace {

constexpr uint32_t kControlTimeLimit = 5000;
constexpr char kServiceAddString[] = "52";

void RequireEmpty(const std::string& name, const char* what, std::vector<std::string>& problems) {
  if (!name.empty()) problems.push_back(std::string(what) + " \"" + name + "\" is not empty");
}

// A control message: a one-character code, one NUL byte of body, time limit 5000, no other name.
void CheckControl(const MessageFrame& frame, std::vector<std::string>& problems) {
  const MessageNames& names = frame.names;
  if (names.add_string.size() != 1) problems.push_back("control code is not one character");
  if (frame.body.size() != 1 || frame.body[0] != 0) {
    problems.push_back("control message body is not a single NUL");
  }
  if (frame.time_limit != kControlTimeLimit) {
    problems.push_back("control message time limit " + std::to_string(frame.time_limit));
  }
  RequireEmpty(names.src_cid, "control SrcCID", problems);
  RequireEmpty(names.src_service, "control SrcService", problems);
  RequireEmpty(names.dst_cid, "control DstCID", problems);
  RequireEmpty(names.dst_service, "control DstService", problems);
  RequireEmpty(names.src_user, "control SrcUser", problems);
  RequireEmpty(names.dst_user, "control DstUser", problems);
  RequireEmpty(names.src_server, "control SrcServer", problems);
  RequireEmpty(names.dst_server, "control DstServer", problems);
}

// A service message: a container body, "52" as additional string, both services named, and no
// destination connection id, source user or source server.
void CheckService(ReceivedMessage& message, std::vector<std::string>& problems) {
  const MessageFrame& frame = message.frame;
  const MessageNames& names = frame.names;
  if (!message.body.Deserialize(frame.body.data(), frame.body.size())) {
    problems.push_back("body of a message to \"" + names.dst_service + "\" does not deserialise");
  } else if (!message.body.GetValue("Method", message.method)) {
    message.method.clear();
  }
  if (names.add_string != kServiceAddString) {
    problems.push_back("AddString \"" + names.add_string + "\", expected \"52\"");
  }
  if (names.src_service.empty()) problems.push_back("SrcService is empty");
  if (names.dst_service.empty()) problems.push_back("DstService is empty");
  RequireEmpty(names.dst_cid, "DstCID", problems);
  RequireEmpty(names.src_user, "SrcUser", problems);
  RequireEmpty(names.src_server, "SrcServer", problems);
}

}  // namespace

void CheckClientMessage(ReceivedMessage& message, std::vector<std::string>& problems) {
  const MessageFrame& frame = message.frame;
  if ((frame.flags & (kMessageRequestBit | kMessageNotifyBit)) != kMessageRequestBit) {
    problems.push_back("message is not a plain request (flags " + std::to_string(frame.flags) +
                       ")");
  }
  // The body length field holds the length minus one: 0 means a one-byte body.
  message.control = frame.body.size() == 1;
  if (message.control) {
    CheckControl(frame, problems);
  } else {
    CheckService(message, problems);
  }
}

}  // namespace hx::testing
