#include "testing/fake_server/shaped_writer.h"

#include <algorithm>

namespace hx::testing {

void ShapedWriter::StartBytes(std::vector<uint8_t> bytes, ServerClock::time_point now) {
  bytes_ = std::move(bytes);
  written_ = piece_start_ = 0;
  not_before_ = now;
  busy_ = !bytes_.empty();
}

void ShapedWriter::StartPause(std::chrono::milliseconds pause, ServerClock::time_point now) {
  bytes_.clear();
  written_ = piece_start_ = 0;
  not_before_ = now + pause;
  busy_ = true;
}

bool ShapedWriter::Write(ByteStream& stream, ServerClock::time_point now) {
  while (busy_ && now >= not_before_) {
    if (written_ == bytes_.size()) {  // a pause that is over, or a buffer that went out
      busy_ = false;
      break;
    }
    const size_t piece_end = shaping_.piece_size == 0
                                 ? bytes_.size()
                                 : std::min(bytes_.size(), piece_start_ + shaping_.piece_size);
    const long n = stream.Write(bytes_.data() + written_, piece_end - written_);
    if (n == ByteStream::kClosed) return false;
    if (n == ByteStream::kWouldBlock) break;
    written_ += static_cast<size_t>(n);
    if (written_ == piece_end && written_ < bytes_.size()) {
      piece_start_ = written_;
      not_before_ = now + shaping_.piece_gap;
    }
  }
  return true;
}

}  // namespace hx::testing
