// Feeds arbitrary bytes to the readers of the direct UDP hello and OK reply. Besides memory
// safety it checks what a successful read promises: the header was recognised, a hello has all
// three names, a version of 0 or less carries no time or addresses, and the fields read write
// back into a body that reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/base/container.h"
#include "core/base/net_message.h"
#include "core/streams/udp_direct_hello.h"

namespace {

using namespace hx::streams::udp;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckVersionRules(const HelloRequestData& read) {
  Check(read.version <= kHandshakeVersion);
  if (read.version <= 0) {
    Check(read.sendTime == 0 && read.localIntEp.empty() && read.remoteExtEp.empty());
  }
}

// The fields of a version-1 hello write back and read again unchanged.
void CheckRewrite(const HelloRequestData& read) {
  if (read.version <= 0) return;
  HX_Container body;
  addCommonReqFields(read, body);
  addCtrlNum(body, read.controlNumber);
  HXNetMessage message;
  Check(fillMsg(message, body, kHelloText, kHelloHeaderSize));
  HelloRequestData again;
  Check(readHelloRequest(message.buffer(), message.size(), again));
  Check(again.conferenceName == read.conferenceName &&
        again.participantName == read.participantName);
  Check(again.controlNumber == read.controlNumber && again.sendTime == read.sendTime);
  // An address without a protocol (read from the plain address form) has no form to write.
  Check(again.localIntEp.cmp(read.localIntEp, true) == 0 ||
        read.localIntEp.proto() == ip::Proto::unknown);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  HelloRequestData hello;
  if (readHelloRequest(data, size, hello)) {
    Check(isUdpDCHelloHeader(data, size) && size >= kHelloHeaderSize + kBodyLengthSize);
    Check(!hello.conferenceName.empty() && !hello.participantName.empty() &&
          !hello.connectedParticipantName.empty());
    CheckVersionRules(hello);
    CheckRewrite(hello);
  }
  ReplyData reply;
  if (readOkReply(data, size, reply)) {
    Check(isUdpDCOkReplyHeader(data, size) && size >= kOkReplyHeaderSize + kBodyLengthSize);
    CheckVersionRules(reply);
    if (reply.version <= 0) Check(reply.retBackTime == 0);
  }
  return 0;
}
