#pragma once
// A fake TCP media relay on 127.0.0.1, for the stream tests: what the media server does with a
// client's TCP streams, on a code path of its own (its own frame heads, checksums and handshake
// parsing; the zero-handshake records come from the hostile peers' byte writer), so that a mistake
// in the client's framing cannot hide in the relay.
//
// Every accepted connection first sends an "_HX_STREAMS_" request. The relay records it and, as
// scripted, answers with its own track mask, refuses, answers without a mask, spoils the answer's
// checksum, closes, or stays silent. Afterwards a sender connection (role 0: conference, sender
// id, receiver id) is paired with the receiver connections (role 1) of the same conference that
// name that sender, and every stream frame the sender sends is forwarded whole to them, by its
// 8-byte head only: the payload may be enciphered with the peers' key, which the relay lacks.
// Toward receivers the relay can also send pings, frames of any track and raw bytes. It can stop
// reading (the clients' send buffers then fill) and cut its output into 1-byte segments.
//
// Threads: one thread of its own runs every socket; every public call may come from any thread.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hx::testing {

class TcpMediaRelay {
 public:
  using Bytes = std::vector<uint8_t>;

  enum class Answer { accept, refuse, noMask, badChecksum, close, silent };

  struct Request {
    int connection = 0;
    uint8_t role = 0;  // 0 sender, 1 receiver
    std::string conference, streamId, peerId, name;
    uint8_t count = 0;
    Bytes mask;  // 32 bytes, empty without one
  };

  // A frame a sender connection sent, as it came.
  struct Frame {
    int connection = 0;
    uint8_t track = 0;
    uint32_t tick = 0;
    uint8_t checksum = 0;
    Bytes payload;
  };

  TcpMediaRelay();
  ~TcpMediaRelay();
  TcpMediaRelay(const TcpMediaRelay&) = delete;
  TcpMediaRelay& operator=(const TcpMediaRelay&) = delete;

  // Binds a port of the system's choice and starts serving; false when that failed.
  bool start();
  uint16_t port() const { return m_port; }

  // Script, for the connections that send their request from now on.
  void setAnswer(Answer answer);
  // Receive buffer of the connections accepted from now on (0: the system's).
  void setRecvBuffer(int bytes);
  // Whether the relay reads what the clients send (requests are read regardless).
  void setReading(bool on);
  // Whether every byte the relay sends goes out in a write of its own.
  void setSegmented(bool on);

  // Queued to every receiver connection that has its answer.
  void sendToReceivers(const Bytes& bytes);
  void sendFrameToReceivers(uint8_t track, const Bytes& payload);
  // Track 255, length 0.
  void sendPing();
  // A server command (track 254): code, mode 0, result 0, data length, data. The relay sends 11
  // (a bit-rate restriction) and 12 (the whole restriction record).
  void sendServerCommand(uint8_t code, const Bytes& data);
  // Relay statistics (track 255): the overall queue (u16) at 0, the entry count at 10, then
  // entries of 11 bytes: track, its queue (u16), 8 bytes of 0.
  struct TrackLoad {
    uint8_t track;
    uint16_t queue;
  };
  void sendStatistics(uint16_t queue, const std::vector<TrackLoad>& tracks);
  static Bytes StatisticsPayload(uint16_t queue, const std::vector<TrackLoad>& tracks);
  static Bytes ServerCommandPayload(uint8_t code, const Bytes& data);
  // Closes every connection.
  void closeAll();

  std::vector<Request> requests() const;
  std::vector<Frame> frames() const;
  // Connections accepted so far, and those still open.
  int accepted() const { return m_accepted.load(); }
  int open() const;
  // Receiver connections that are established and paired with a sender.
  int pairedReceivers() const;

  // The relay's own framing, for tests that build frames by hand.
  static uint8_t Checksum(const uint8_t* payload, size_t length);
  static Bytes MakeFrame(uint8_t track, const Bytes& payload, uint32_t tick = 0);

 private:
  struct Connection;

  void run();
  void acceptOne();
  void readFrom(Connection& connection);
  void takeRequest(Connection& connection);
  void forwardFrames(Connection& connection);
  void writeTo(Connection& connection);
  void queue(Connection& connection, const Bytes& bytes);
  void wake();
  void closeConnection(Connection& connection);

  mutable std::mutex m_mutex;
  int m_listener = -1;
  int m_wakeRead = -1;
  int m_wakeWrite = -1;
  uint16_t m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_accepted{0};
  int m_nextId = 1;
  Answer m_answer = Answer::accept;
  int m_recvBuffer = 0;
  bool m_reading = true;
  bool m_segmented = false;
  std::map<int, std::unique_ptr<Connection>> m_connections;
  std::vector<Request> m_requests;
  std::vector<Frame> m_frames;
  std::thread m_thread;
};

}  // namespace hx::testing
