#pragma once
// The wire end of a hostile peer: plain blocking loopback sockets with time limits on every wait,
// so that a client that hangs fails its test instead of hanging it. A peer sends what a table row
// says (whole, cut, a byte at a time), stays silent, closes or resets, and reads what the client
// sent or whether it closed.
//
// Threads: each object belongs to the thread that uses it.

#include <cstdint>
#include <vector>

#include "testing/hostile_peers/zero_handshake_bytes.h"

namespace hx::hostile {

// A listener on 127.0.0.1 at a port of the system's choice.
class LoopbackListener {
 public:
  LoopbackListener();
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;
  uint16_t port() const { return m_port; }
  // The next connection, or -1 after `limit_ms`.
  int Accept(int limit_ms = 5000);

 private:
  int m_handle = -1;
  uint16_t m_port = 0;
};

// A blocking connection to 127.0.0.1:port; -1 on failure.
int ConnectLoopback(uint16_t port);
// Makes a native descriptor non-blocking (what the client's loop expects of an accepted one).
void SetNonBlocking(int handle);

bool SendAll(int handle, const uint8_t* bytes, size_t length);
inline bool SendAll(int handle, const Bytes& bytes) {
  return SendAll(handle, bytes.data(), bytes.size());
}
// One send per byte, with a short pause between them so that each arrives on its own.
bool SendBytewise(int handle, const Bytes& bytes);
// Closes with a reset (RST) instead of an orderly end.
void ResetClose(int handle);

// Reads exactly `count` bytes; fewer when the connection ends or `limit_ms` passes.
Bytes ReadExactly(int handle, size_t count, int limit_ms = 5000);
// Reads one zero-handshake record (head, then the body its length field names).
std::optional<Record> ReadRecord(int handle, int limit_ms = 5000);
// Waits until the client ends the connection (end of stream or reset), discarding what comes.
// False when it is still open after `limit_ms`.
bool WaitClosed(int handle, int limit_ms = 5000);
// True when nothing at all arrives and the connection stays open for `ms`.
bool StaysSilentAndOpen(int handle, int ms);

}  // namespace hx::hostile
