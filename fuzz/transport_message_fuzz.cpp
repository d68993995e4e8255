// Adopts and validates transport messages as the transport reader hands them over, then walks
// every reader and editor of an adopted message. Each input runs twice: as received, and with its
// checksums made right, so that mutated headers also reach the code behind the checksum check.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/wire/client_message.h"

namespace {

volatile size_t g_sink;  // keeps the reads below from being optimised away

void Touch(const char* text) {
  if (text != nullptr) g_sink = g_sink + std::strlen(text);
}

void Exercise(HX_ClientMessage& message) {
  for (int index = 0; index <= 10; ++index) Touch(message.GetName(index));
  const uint8_t* body = nullptr;
  const uint32_t body_length = message.Body(&body);
  if (body_length > 0) g_sink = g_sink + (body[0] ^ body[body_length - 1]);
  (void)message.Type();
  (void)message.IsFromServer();
  (void)message.TimeLimit();

  // Edits reuse the message's own texts and body, as a server echoing a request would.
  const std::string service = message.SrcService() != nullptr ? message.SrcService() : "";
  message.SetDstUser(service.c_str());
  message.SetSrcCID((service + service).c_str());
  if (message.IsRequest() && !message.IsNotify()) {
    message.Body(&body);
    if (!message.FormReply(nullptr, 1, body, message.Body(), message.AddString())) std::abort();
  }
  message.PartialInc(message.Size() / 2 + 1);
  if (message.Size() > 0) g_sink = g_sink + message.Data()[message.Size() - 1];
}

void AdoptCopy(const uint8_t* data, size_t length, bool fix_checksums) {
  auto* buffer = static_cast<uint8_t*>(std::malloc(length));
  std::memcpy(buffer, data, length);
  if (fix_checksums) HX_CalcMessageCksums(reinterpret_cast<HX_FixedPartMessage*>(buffer));
  HX_ClientMessage message(buffer);
  if (!message.IsValid()) {
    std::free(buffer);  // a refused buffer stays ours
    return;
  }
  Exercise(message);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(HX_FixedPartMessage)) return 0;
  const auto* fixed = reinterpret_cast<const HX_FixedPartMessage*>(data);
  // The reader hands over exactly the bytes the fixed part announces (and never fewer than it).
  const uint64_t announced = std::max<uint64_t>(fixed->MessageLength(), sizeof(HX_FixedPartMessage));
  if (size < announced) return 0;
  AdoptCopy(data, announced, false);
  AdoptCopy(data, announced, true);
  return 0;
}
