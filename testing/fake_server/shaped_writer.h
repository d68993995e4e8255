#pragma once
// Writes a fake-server connection's output one buffer at a time, cut into pieces with a pause
// between them when a test asks for it (so that each piece reaches the client in a TCP segment
// of its own), and waits out scripted pauses. Server thread only.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "testing/fake_server/byte_stream.h"

namespace hx::testing {

using ServerClock = std::chrono::steady_clock;

struct OutputShaping {
  size_t piece_size = 0;                    // 0: each buffer in one write
  std::chrono::milliseconds piece_gap{20};  // pause after each piece but the last
};

class ShapedWriter {
 public:
  void SetShaping(const OutputShaping& shaping) { shaping_ = shaping; }

  // True while a buffer or a pause is under way; start the next one only when false.
  bool Busy() const { return busy_; }
  void StartBytes(std::vector<uint8_t> bytes, ServerClock::time_point now);
  void StartPause(std::chrono::milliseconds pause, ServerClock::time_point now);

  // When the writer can go on; in the past while it only waits for the socket.
  ServerClock::time_point Due() const { return not_before_; }

  // Writes whatever is due now until the socket blocks or the buffer is out; false when the
  // stream is closed.
  bool Write(ByteStream& stream, ServerClock::time_point now);

 private:
  OutputShaping shaping_;
  bool busy_ = false;
  std::vector<uint8_t> bytes_;
  size_t written_ = 0;
  size_t piece_start_ = 0;
  ServerClock::time_point not_before_{};
};

}  // namespace hx::testing
