#pragma once
// A socket for tests and fuzz harnesses that talks to a script instead of the network: the bytes
// it receives are queued as segments, and a read never crosses into the next segment, so a test
// decides exactly how the stream is cut. What the code under test sends is recorded.

#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "core/net/socket/abstract_socket.h"
#include "core/net/socket/socket_helper_null.h"

namespace hx::testing {

class ScriptedSocket : public HXZASocket {
 public:
  // `tls`: the socket reports a TLS context, as one whose connection runs over TLS.
  explicit ScriptedSocket(bool tls = false)
      : HXZASocket(new HXZASocketNullHelper(), -1, AF_INET, SOCK_STREAM, IPPROTO_TCP), m_tls(tls) {}

  // Queues `bytes` as one segment (nothing for an empty one).
  void Arrive(const uint8_t* bytes, size_t size) {
    if (size > 0) m_segments.emplace_back(bytes, bytes + size);
  }
  void Arrive(const std::vector<uint8_t>& bytes) { Arrive(bytes.data(), bytes.size()); }
  // Queues `bytes` cut into segments of `segment` bytes (the last may be shorter).
  void ArriveInSegments(const std::vector<uint8_t>& bytes, size_t segment) {
    for (size_t at = 0; at < bytes.size(); at += segment) {
      Arrive(bytes.data() + at, std::min(segment, bytes.size() - at));
    }
  }
  // Once the queued segments are read, the stream has ended (instead of waiting for more).
  void EndStream() { m_ended = true; }
  size_t Unread() const {
    size_t total = 0;
    for (const auto& segment : m_segments) total += segment.size();
    return total - m_consumed;
  }

  // Each Send takes at most this many bytes (the rest "does not fit the socket buffer").
  void LimitSend(size_t limit) { m_sendLimit = limit; }
  const std::vector<uint8_t>& Sent() const { return m_sent; }
  void ClearSent() { m_sent.clear(); }
  bool ReadyToSendRequested() const { return m_sendAsync; }

  size_t Recv(void* buffer, size_t length, int flags) override {
    if (m_segments.empty()) {
      SetRecvStatus(m_ended ? HXZRecvStatus::endOfStream : HXZRecvStatus::wouldBlock);
      return 0;
    }
    const std::vector<uint8_t>& segment = m_segments.front();
    const size_t count = std::min(length, segment.size() - m_consumed);
    std::memcpy(buffer, segment.data() + m_consumed, count);
    SetRecvStatus(HXZRecvStatus::data);
    if ((flags & MSG_PEEK) == 0) {
      m_consumed += count;
      if (m_consumed == segment.size()) {
        m_segments.pop_front();
        m_consumed = 0;
      }
    }
    return count;
  }
  size_t Send(const void* buffer, size_t length, int) override {
    const size_t count = std::min(length, m_sendLimit);
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    m_sent.insert(m_sent.end(), bytes, bytes + count);
    return count;
  }
  bool SendAsync(bool on) override {
    m_sendAsync = on;
    return true;
  }
  HXZTLSContext* GetTlsContext() override {
    // Only compared with null by the code under test.
    return m_tls ? reinterpret_cast<HXZTLSContext*>(&m_tlsStandIn) : nullptr;
  }

  bool Connect(std::shared_ptr<HXZAEndpointHolder>) override { return true; }
  bool Bind(std::shared_ptr<HXZAEndpointHolder>) override { return true; }
  bool Close(bool) override { return true; }
  size_t SendTo(const void*, size_t, const HXSockAddr&, int) override { return 0; }

 private:
  std::deque<std::vector<uint8_t>> m_segments;
  size_t m_consumed = 0;  // bytes of the front segment already read
  bool m_ended = false;
  std::vector<uint8_t> m_sent;
  size_t m_sendLimit = SIZE_MAX;
  bool m_sendAsync = false;
  bool m_tls;
  int m_tlsStandIn = 0;
};

}  // namespace hx::testing
