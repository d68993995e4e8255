// A tour of the container that carries every protocol body: fill one as a service would, print it,
// turn it into its wire form, read that back and check that nothing changed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "core/base/bin_buff.h"
#include "core/base/container.h"
#include "core/base/variant.h"

namespace {

void PrintHex(const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i) std::printf("%02x%s", bytes[i], (i % 24 == 23 || i + 1 == size) ? "\n" : " ");
}

HX_Container JoinReply() {
  HX_Container caps;
  caps.AddValue("AppName", "container_tour");
  caps.AddValue("AppVersion", "0.1.0");
  caps.AddValue("VideoRcv", int32_t{0x210});
  caps.AddValue("ScreenWidth", int32_t{1920});
  caps.AddValue("ScreenHeight", int32_t{1080});

  HX_Container body;
  body.AddValue("Method", "JoinConference");
  body.AddValue("Result", int32_t{1});
  body.AddValue("Conference", "c4f1a9@meet.example.org#vcs");
  body.AddValue("From", "alice@example.org");
  body.AddValue("SeqID", int32_t{4711});
  body.AddValue("Podium", true);
  body.AddValue("Bandwidth", 1536.5);
  body.AddValue("Session", int64_t{0x7f3a00112233});
  const uint8_t key[16] = {0x3c, 0x91, 0x07, 0xaa, 0x5e, 0x00, 0x42, 0x18,
                           0xd4, 0x6b, 0x2f, 0x90, 0x11, 0xee, 0x73, 0x05};
  body.AddValue("StreamKey", HX_CNT_BINARY_VT, key, sizeof key);
  body.AddValue("Started", std::chrono::time_point_cast<std::chrono::microseconds>(std::chrono::system_clock::now()));
  HX_Variant(std::string("in a meeting")).fillContainer(body, "ExtStatus");
  body.AddValue("ClientCaps", caps);
  return body;
}

}  // namespace

int main() {
  std::cout << "1. A join reply as the conference service would send it:\n";
  const HX_Container body = JoinReply();
  std::cout << body;

  std::cout << "\n2. Its wire form (u32 raw length, then the range-coded entries):\n";
  HX_BinBuff wire;
  if (!wire.Set(body)) {
    std::cerr << "serialising failed\n";
    return 1;
  }
  uint32_t raw_length = 0;
  for (int i = 3; i >= 0; --i) raw_length = raw_length << 8 | wire.Data()[i];
  std::cout << "   raw form " << raw_length << " bytes, wire form " << wire.Size() << " bytes\n";
  PrintHex(wire.Data(), wire.Size());

  std::cout << "\n3. Read back by the receiving side:\n";
  HX_Container received;
  if (!received.Deserialize(wire.Data(), wire.Size())) {
    std::cerr << "deserialising failed\n";
    return 1;
  }
  std::string method;
  size_t size = 0;
  int32_t result = 0;
  received.GetValue("method", method);  // names are matched without regard to case
  received.GetValue("RESULT", HX_CNT_INTEGER_VT, &result, size);
  std::cout << "   Method = " << method << ", Result = " << result << "\n";
  HX_Container caps;
  if (received.GetValue("ClientCaps", caps)) std::cout << "   nested ClientCaps:\n" << caps;

  HX_BinBuff again;
  again.Set(received);
  const bool same = again == wire;
  std::cout << "\n4. Serialised again: " << (same ? "identical wire form, nothing lost" : "MISMATCH") << "\n";

  std::cout << "\n5. A cut message is refused and the old content kept: ";
  const bool refused = !received.Deserialize(wire.Data(), wire.Size() - 1);
  again.Set(received);
  std::cout << (refused && again == wire ? "yes" : "NO") << "\n";
  return same && refused && again == wire ? EXIT_SUCCESS : EXIT_FAILURE;
}
