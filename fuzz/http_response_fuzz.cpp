// The response parser of the proxy tunnel, fed a proxy's answer in pieces whose sizes come from
// the input itself: whatever the cut, the parser consumes only what it was given, and a
// complete or failed response stays so.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "core/net/proxy/http/http_response.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte seeds the piece sizes; the rest is the answer.
  uint32_t seed = data[0];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  hx::http::Response whole;
  size_t whole_length = text.size();
  const bool whole_done = whole.parse(text.data(), whole_length);
  Check(whole_length <= text.size());

  hx::http::Response pieces;
  std::string pending;
  bool done = false;
  size_t at = 0;
  while (at < text.size() && !done) {
    seed = seed * 1103515245u + 12345u;
    const size_t piece = 1 + (seed >> 16) % 64;
    pending.append(text, at, piece);
    at += piece;
    size_t length = pending.size();
    done = pieces.parse(pending.data(), length);
    Check(length <= pending.size());
    pending.erase(0, length);
  }
  if (done) {
    Check(pieces.complete() || pieces.failed());
    Check(pieces.body().size() <= hx::http::Response::kMaxBodySize);
    // Done is done: further bytes change nothing.
    size_t more = pending.size();
    Check(pieces.parse(pending.data(), more));
    Check(more == 0);
  }
  // Cutting never changes the outcome of a complete response.
  if (whole_done && whole.complete() && done && pieces.complete()) {
    Check(whole.status() == pieces.status());
    Check(whole.body() == pieces.body());
  }
  return 0;
}
