#pragma once
// One client connection of the fake conferencing server: it reads the client's transport
// handshake request and answers it, runs the secure handshake when both sides agreed on it, then
// reads and checks the client's transport messages and writes the test's.
//
// The public operations are the test's: thread-safe, they queue work for the server thread and
// wake it. Output is a script of steps (messages, raw bytes, pauses, close) carried out in order;
// messages wait until the handshakes are over. The private part runs on the server thread only.

#include <openssl/ssl.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "testing/fake_server/byte_stream.h"
#include "testing/fake_server/handshake_record.h"
#include "testing/fake_server/message_cipher.h"
#include "testing/fake_server/secure_server_side.h"
#include "testing/fake_server/server_journal.h"
#include "testing/fake_server/shaped_writer.h"
#include "testing/fake_server/wake_pipe.h"

namespace hx::testing {

class FakeConnection;

enum class ConnectionPhase {
  kTlsHandshake,        // TLS in front, not yet agreed
  kTransportHandshake,  // waiting for the client's request
  kSecureHandshake,
  kMessages,
  kRefused,  // a handshake refused the client: nothing more is expected
  kClosed,
};

// Called on the server thread for each service message to the service it was registered for.
// It may send through `connection` (Send, Reply); it must not wait for the server thread.
using ServiceHandler = std::function<void(FakeConnection& connection, const ReceivedMessage&)>;
using HandlerLookup = std::function<ServiceHandler(const std::string& service)>;

// The answer to a server check ping ("CHECK_SRV" record): the end-point count and CPU load the
// server reports, after a delay, whole or cut into pieces, or spoilt on purpose.
struct CheckSrvAnswer {
  enum class Kind {
    kAnswer,       // the 33-byte answer
    kBadChecksum,  // the answer with a body byte changed after the checksums
    kShort,        // its first 32 bytes, then the connection is closed
    kSilent,       // nothing; the connection stays open
  };
  Kind kind = Kind::kAnswer;
  uint32_t end_points = 0;
  uint32_t cpu_load = 0;
  std::chrono::milliseconds delay{0};
  // Sizes of the writes the answer is cut into, with `piece_gap` after each but the last; the
  // rest after the last size goes in one more write. Empty: one write.
  std::vector<size_t> pieces;
  std::chrono::milliseconds piece_gap{20};
};

// How the server treats a new connection.
struct ConnectionSettings {
  // The reply to the transport handshake. An empty client id assigns the id the client sent, or
  // "client-N" (N the connection id) when it sent none.
  TransportHandshakeReply handshake_reply;
  std::chrono::milliseconds handshake_reply_delay{0};
  // Bytes sent instead of the reply (garbage, a cut record), when set; the connection then
  // expects nothing more.
  std::optional<std::vector<uint8_t>> raw_handshake_reply;
  // The certificate and key of the secure handshake, run when the reply grants it and the
  // client asked for it.
  SecureIdentity secure_identity;
  OutputShaping shaping;
  bool answer_pings = true;
  // How a check ping arriving instead of a transport handshake is answered.
  CheckSrvAnswer check_srv;
};

class FakeConnection {
 public:
  FakeConnection(int id, int fd, SSL_CTX* tls_context, ConnectionSettings settings,
                 std::shared_ptr<ServerJournal> journal, std::shared_ptr<WakePipe> wake,
                 HandlerLookup find_handler);
  ~FakeConnection();
  FakeConnection(const FakeConnection&) = delete;
  FakeConnection& operator=(const FakeConnection&) = delete;

  int id() const { return id_; }
  ConnectionPhase phase() const;
  // Waits until the connection is in `phase`; false on time-out or when it closed first.
  bool WaitForPhase(ConnectionPhase phase, int timeout_ms) const;
  // The client's handshake request once it arrived.
  std::optional<TransportHandshakeRequest> handshake_request() const;
  // How many check pings ("CHECK_SRV" records) the connection received.
  int check_requests() const;
  // The client id the reply assigned ("" before the reply).
  std::string assigned_client_id() const;
  // How a failed secure handshake ended: the server role's error code (0 when none), and the
  // code the client sent in its error message, when it sent one.
  int secure_error() const;
  std::optional<uint32_t> client_secure_error() const;

  // --- The output script, carried out in order.
  // A message; it waits for the handshakes to end and is enciphered when they agreed on it.
  void Send(MessageFrame message);
  // Several messages in one write, so that they reach the client together.
  void SendTogether(std::vector<MessageFrame> messages);
  // `ReplyTo(request, body)`.
  void Reply(const ReceivedMessage& request, const HX_Container& body);
  // The control message 'd': the server drops the client.
  void SendDisconnect();
  // Bytes as they are (garbage, a cut record), neither waiting for the handshakes nor enciphered.
  void SendRaw(std::vector<uint8_t> bytes);
  void Pause(std::chrono::milliseconds pause);
  // Closes the connection once everything queued before went out.
  void Close();

  // How output is cut from the next buffer on.
  void SetShaping(const OutputShaping& shaping);
  // While off, the server reads nothing, so the client's socket buffers fill up.
  void SetReading(bool reading);
  // Whether a ping is answered (with a 'p' reply); the answer takes its turn in the script.
  void SetAnswerPings(bool answer);

 private:
  friend class FakeServer;

  struct OutputStep {
    enum Kind { kBytes, kMessages, kPause, kClose } kind;
    std::vector<uint8_t> bytes;
    std::vector<MessageFrame> messages;
    std::chrono::milliseconds pause{0};
  };

  // --- Server thread.
  // The poll events this connection waits for; runs due output first.
  short PollEvents(ServerClock::time_point now);
  // When the connection needs its next turn without a socket event: at once when input was
  // left unread, when a pause ends, or max() when it waits for events only.
  ServerClock::time_point NextTurnDue(ServerClock::time_point now) const;
  void Service(short revents, ServerClock::time_point now);
  bool IsClosed() const { return fd_ < 0; }
  // Closes the socket at once (also when the server stops).
  void Shut();

  // Reads what the socket holds, up to a bound per turn (`unread_input_` tells when it stopped
  // there).
  void ReadAvailable();
  // Drops `count` bytes from the front of the input.
  void Consume(size_t count);
  void ProcessInput();
  bool TakeHandshakeRequest();
  // Answers a check ping (the record is whole) as the settings say.
  void TakeCheckRequest(const uint8_t* record, size_t size);
  void StartSecureHandshake(const SecureIdentity& identity);
  // True when the handshake finished, so that what follows is messages.
  bool AdvanceSecureHandshake();
  void TakeMessages();
  void Handle(ReceivedMessage message);
  void PumpOutput(ServerClock::time_point now);
  // The next step that may start now, moved out of the queue; false when there is none.
  bool NextStep(OutputStep& step);
  std::vector<uint8_t> Encode(std::vector<MessageFrame>& messages);

  void SetPhase(ConnectionPhase phase);
  void Queue(OutputStep step);
  void Violation(const std::string& text) { journal_->RecordViolation(id_, text); }

  const int id_;
  const std::shared_ptr<ServerJournal> journal_;
  const std::shared_ptr<WakePipe> wake_;
  const HandlerLookup find_handler_;

  // Shared with the test threads.
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  ConnectionSettings settings_;
  ConnectionPhase phase_;
  std::optional<TransportHandshakeRequest> request_;
  std::string assigned_client_id_;
  int check_requests_ = 0;
  int secure_error_ = 0;
  std::optional<uint32_t> client_secure_error_;
  std::deque<OutputStep> script_;
  bool reading_ = true;

  // Server thread only.
  int fd_;
  const bool tls_;
  std::unique_ptr<ByteStream> stream_;
  std::vector<uint8_t> input_;
  size_t input_start_ = 0;  // bytes before it are consumed
  bool peer_closed_ = false;
  bool unread_input_ = false;
  std::deque<OutputStep> handshake_output_;  // goes out before the script
  ShapedWriter writer_;
  std::unique_ptr<SecureServerSide> secure_;
  MessageCipher cipher_;
  uint32_t next_sequence_ = 1;
  bool data_after_refusal_ = false;
};

}  // namespace hx::testing
