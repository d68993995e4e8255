// Relay bytes after a completed stream handshake, fed to the TCP receive handler's packet manager
// through a scripted socket, with and without a stream key. The first byte picks the key and the
// segment size; the rest arrives cut into segments. What the handler dispatches goes to a
// recording receive port that reads every byte it is given (so that a read past a frame shows
// under the sanitizers) and checks the lengths. The stream's end must end the connection.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/media/video/recv_video_header.h"
#include "core/streams/stream_command.h"
#include "core/streams/stream_frame_head.h"
#include "core/streams/tcp_stream_handlers.h"
#include "core/streams/tcp_stream_ports.h"
#include "core/transport/scripted_socket_test_util.h"
#include "core/wire/media_format.h"

namespace {

class TouchingPort : public HX_TcpReceiveStreamPort {
 public:
  void AudioFrameReceived(const uint8_t* frame, size_t size) override { touch(frame, size); }
  void OnVideoFrameAssembled(const uint8_t* frame, size_t size, int,
                             const HX_RecvNhpVideoHeader*, bool, bool&) override {
    touch(frame, size);
  }
  bool ProcessRecvDataPacket(const uint8_t* bytes, uint16_t size) override {
    touch(bytes, size);
    return true;
  }
  bool ProcessCommand(const HX_MiscCommand& command) override {
    if (command.DataLength() > HX_MiscCommandMaxData) std::abort();
    return (command.code & 1) != 0;
  }
  void afterFrameReceived(int count) override {
    if (count != 1) std::abort();
  }
  HX_MediaFormat GetPeerMediaFormat() const override { return HX_MediaFormat(); }
  void SenderAddCommand(const HX_MiscCommand& command) override {
    touch(command.Bytes(), command.CommandSize());
  }
  void SenderRequestKeyFrame() override {}
  void SenderParseCommandMisc(const HX_StreamFrameHead* head) override {
    if (head->Length() == 0) std::abort();
    touch(head->Payload(), head->Length());
  }

  unsigned sum = 0;

 private:
  void touch(const uint8_t* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) sum += bytes[i];
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 300000) return 0;
  const bool keyed = (data[0] & 1) != 0;
  const size_t segment = 1 + (data[0] >> 1) * 97;
  TouchingPort port;
  HX_ReceiverTCP handler;
  handler.setStreamPort(&port);
  handler.startConnection(keyed ? "00112233445566778899aabbccddeeff" : "");
  hx::testing::ScriptedSocket socket;
  socket.ArriveInSegments(std::vector<uint8_t>(data + 1, data + size), segment);
  socket.EndStream();
  // Every segment is read by one notification; the end of the stream then breaks the connection.
  for (size_t round = 0; round < size + 2; ++round) {
    const int32_t result = handler.packetManager().OnReadyRecvImp(&socket, &socket);
    if (result == HXZADataManager::done) return 0;
    if (result != HXZADataManager::keepGoing) std::abort();
  }
  std::abort();
}
