#pragma once
// A fake peer client for the direct TCP exchanges between two clients: the "_HX_PING_" ping and
// the "_HX_STREAMS_" stream handshake. It is written apart from the client's code (records through
// the fake server's own zero-handshake coder, bodies and track masks laid out here by hand), so
// that it catches the client's mistakes instead of sharing them.
//
// FakeDirectPeer listens on 127.0.0.1 and serves each accepted connection with the next step of
// its script, on a thread of its own; FakePeerConnection is one blocking connection, also usable
// by a test directly as the connecting side (Connect). Steps are plain functions, so a test can
// answer, send other names, leave out the container, close after the request, break a checksum,
// send garbage or stay silent, and check what the client sent.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace hx::testing {

using PeerBytes = std::vector<uint8_t>;

// What a ping record carries. `version_key` empty: no version entry.
struct PeerPingFields {
  std::string conference;
  std::string from;
  std::string to;
  std::string version_key;
  int32_t version = 1;
  bool with_container = true;
};

// A whole "_HX_PING_" record: the serialised container and one 0 byte, the length field holding
// the container's size; without container a body of the 0 byte alone.
PeerBytes PeerPingRecord(const PeerPingFields& fields);
// Reads a whole ping record; nullopt when it is not one (the checksums are checked too).
// `with_container` tells whether a container came; keys other than the four are reported in
// `other_keys`.
std::optional<PeerPingFields> PeerReadPing(const PeerBytes& record,
                                           std::vector<std::string>* other_keys = nullptr);

// A stream handshake request: role 0 for a sender, 1 for a receiver; `tracks` empty means all
// tracks (count 255, no mask).
PeerBytes PeerStreamRequest(uint8_t role, const std::string& conference, const std::string& id,
                            const std::string& peer, const std::string& name,
                            const std::vector<uint8_t>& tracks);
PeerBytes PeerStreamResponse(const std::vector<uint8_t>& tracks);
// The tracks named by a response or request mask at `mask` (32 bytes).
std::vector<uint8_t> PeerMaskTracks(const uint8_t* mask);

// Breaks the body checksum of a whole record (the head checksum stays right).
void PeerBreakBodyChecksum(PeerBytes& record);
// Breaks the head checksum.
void PeerBreakHeadChecksum(PeerBytes& record);

class FakePeerConnection {
 public:
  explicit FakePeerConnection(int fd) : m_fd(fd) {}
  ~FakePeerConnection();
  FakePeerConnection(const FakePeerConnection&) = delete;
  FakePeerConnection& operator=(const FakePeerConnection&) = delete;

  // A blocking connection to 127.0.0.1:port; fd -1 when it failed.
  static FakePeerConnection Connect(uint16_t port);
  FakePeerConnection(FakePeerConnection&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

  bool valid() const { return m_fd >= 0; }
  bool Send(const PeerBytes& bytes);
  // Exactly `count` bytes, waiting up to `timeout_ms`; fewer when the stream ended or time ran out.
  PeerBytes Read(size_t count, int timeout_ms = 5000);
  // One whole zero-handshake record (head, then the body it announces); empty on failure.
  PeerBytes ReadRecord(int timeout_ms = 5000);
  // True when the other side closed (a read finds the end of the stream) within `timeout_ms`.
  bool WaitClosed(int timeout_ms = 5000);
  void Close();

 private:
  int m_fd;
};

class FakeDirectPeer {
 public:
  using Step = std::function<void(FakePeerConnection&)>;

  FakeDirectPeer();
  // Waits for the step in progress to end.
  ~FakeDirectPeer();

  uint16_t port() const { return m_port; }
  // Queues the step for the next accepted connection; a connection without a step is closed.
  void AddStep(Step step);
  // Number of connections that finished their steps.
  int served() const { return m_served.load(); }

  // Prepared steps.
  // Reads a ping request, keeps it in `seen`, answers with `answer` (names swapped from the
  // request where `answer` leaves them empty and `swap` is set), then waits for the close.
  static Step AnswerPing(PeerPingFields answer, bool swap, std::vector<PeerPingFields>* seen,
                         std::mutex* mutex);
  // Reads one record and closes without answering.
  static Step CloseAfterRequest(std::vector<PeerBytes>* seen, std::mutex* mutex);
  // Reads one record and sends `bytes` back as they are, then waits for the close.
  static Step ReplyWith(PeerBytes bytes);

 private:
  void Serve();

  int m_listener = -1;
  uint16_t m_port = 0;
  std::mutex m_mutex;
  std::vector<Step> m_steps;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_served{0};
  std::thread m_thread;
};

}  // namespace hx::testing
