#include "testing/fake_server/fake_connection.h"

#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include "testing/fake_server/client_message_rules.h"
#include "testing/fake_server/message_cutter.h"
#include "testing/fake_server/server_messages.h"

namespace hx::testing {
namespace {

constexpr size_t kReadChunk = 65536;
// Reads per turn, so that a client that never pauses cannot keep the loop from the others.
constexpr int kReadsPerTurn = 16;

}  // namespace

FakeConnection::FakeConnection(int id, int fd, SSL_CTX* tls_context, ConnectionSettings settings,
                               std::shared_ptr<ServerJournal> journal,
                               std::shared_ptr<WakePipe> wake, HandlerLookup find_handler)
    : id_(id),
      journal_(std::move(journal)),
      wake_(std::move(wake)),
      find_handler_(std::move(find_handler)),
      settings_(std::move(settings)),
      phase_(tls_context ? ConnectionPhase::kTlsHandshake : ConnectionPhase::kTransportHandshake),
      fd_(fd),
      tls_(tls_context != nullptr) {
  if (tls_) {
    stream_ = std::make_unique<TlsStream>(tls_context, fd);
  } else {
    stream_ = std::make_unique<PlainStream>(fd);
  }
  writer_.SetShaping(settings_.shaping);
}

FakeConnection::~FakeConnection() { Shut(); }

// --- Test side.

ConnectionPhase FakeConnection::phase() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return phase_;
}

bool FakeConnection::WaitForPhase(ConnectionPhase phase, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                    [&] { return phase_ == phase || phase_ == ConnectionPhase::kClosed; });
  return phase_ == phase;
}

std::optional<TransportHandshakeRequest> FakeConnection::handshake_request() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return request_;
}

int FakeConnection::check_requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return check_requests_;
}

std::string FakeConnection::assigned_client_id() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return assigned_client_id_;
}

int FakeConnection::secure_error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return secure_error_;
}

std::optional<uint32_t> FakeConnection::client_secure_error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return client_secure_error_;
}

void FakeConnection::Queue(OutputStep step) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(step));
  }
  wake_->Wake();
}

void FakeConnection::Send(MessageFrame message) {
  std::vector<MessageFrame> messages;
  messages.push_back(std::move(message));
  SendTogether(std::move(messages));
}

void FakeConnection::SendTogether(std::vector<MessageFrame> messages) {
  Queue({OutputStep::kMessages, {}, std::move(messages)});
}

void FakeConnection::Reply(const ReceivedMessage& request, const HX_Container& body) {
  Send(ReplyTo(request, body));
}

void FakeConnection::SendDisconnect() { Send(ControlMessage('d')); }

void FakeConnection::SendRaw(std::vector<uint8_t> bytes) {
  Queue({OutputStep::kBytes, std::move(bytes), {}});
}

void FakeConnection::Pause(std::chrono::milliseconds pause) {
  Queue({OutputStep::kPause, {}, {}, pause});
}

void FakeConnection::Close() { Queue({OutputStep::kClose, {}, {}}); }

void FakeConnection::SetShaping(const OutputShaping& shaping) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.shaping = shaping;
}

void FakeConnection::SetReading(bool reading) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = reading;
  }
  wake_->Wake();
}

void FakeConnection::SetAnswerPings(bool answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  settings_.answer_pings = answer;
}

void FakeConnection::SetPhase(ConnectionPhase phase) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    phase_ = phase;
  }
  changed_.notify_all();
}

// --- Server thread.

short FakeConnection::PollEvents(ServerClock::time_point now) {
  if (IsClosed()) return 0;
  if (phase() == ConnectionPhase::kTlsHandshake) return stream_->PollEvents(false, false);
  PumpOutput(now);
  if (IsClosed()) return 0;
  bool reading;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading = reading_;
  }
  const bool writing = writer_.Busy() && writer_.Due() <= now;
  return stream_->PollEvents(reading, writing);
}

ServerClock::time_point FakeConnection::NextTurnDue(ServerClock::time_point now) const {
  if (IsClosed()) return ServerClock::time_point::max();
  if (unread_input_) return now;
  if (writer_.Busy() && writer_.Due() > now) return writer_.Due();
  return ServerClock::time_point::max();
}

void FakeConnection::Service(short revents, ServerClock::time_point now) {
  if (IsClosed()) return;
  if (phase() == ConnectionPhase::kTlsHandshake) {
    bool failed = false;
    if (!stream_->Open(failed)) {
      if (failed) Shut();
      return;
    }
    SetPhase(ConnectionPhase::kTransportHandshake);
  }
  bool reading;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading = reading_;
  }
  unread_input_ = false;
  if (reading) {
    ReadAvailable();
  } else if (revents & (POLLHUP | POLLERR)) {
    peer_closed_ = true;
  }
  ProcessInput();
  if (!IsClosed()) PumpOutput(now);
  if (peer_closed_) Shut();
}

void FakeConnection::Shut() {
  if (fd_ < 0) return;
  stream_.reset();
  close(fd_);
  fd_ = -1;
  SetPhase(ConnectionPhase::kClosed);
}

void FakeConnection::ReadAvailable() {
  // TLS may keep decrypted bytes that no poll event announces, so a turn that stops at the bound
  // asks for the next turn at once.
  unread_input_ = true;
  for (int reads = 0; reads < kReadsPerTurn && !peer_closed_; ++reads) {
    const size_t old_size = input_.size();
    input_.resize(old_size + kReadChunk);
    const long n = stream_->Read(input_.data() + old_size, kReadChunk);
    input_.resize(old_size + (n > 0 ? static_cast<size_t>(n) : 0));
    if (n == ByteStream::kClosed) peer_closed_ = true;
    if (n <= 0) {
      unread_input_ = false;
      break;
    }
  }
}

void FakeConnection::Consume(size_t count) {
  input_start_ += count;
  if (input_start_ == input_.size()) {
    input_.clear();
    input_start_ = 0;
  } else if (input_start_ > input_.size() / 2) {
    input_.erase(input_.begin(), input_.begin() + static_cast<long>(input_start_));
    input_start_ = 0;
  }
}

void FakeConnection::ProcessInput() {
  switch (phase()) {
    case ConnectionPhase::kTransportHandshake:
      if (!TakeHandshakeRequest()) return;
      ProcessInput();  // anything that followed the request belongs to the next phase
      return;
    case ConnectionPhase::kSecureHandshake:
      if (AdvanceSecureHandshake()) TakeMessages();
      return;
    case ConnectionPhase::kMessages:
      TakeMessages();
      return;
    case ConnectionPhase::kRefused:
      if (input_.size() > input_start_ && !data_after_refusal_) {
        Violation("data after a handshake refused the client");
        data_after_refusal_ = true;
      }
      Consume(input_.size() - input_start_);
      return;
    default:
      return;
  }
}

bool FakeConnection::TakeHandshakeRequest() {
  const uint8_t* record = input_.data() + input_start_;
  const size_t available = input_.size() - input_start_;
  if (available < kZeroHandshakeHeadSize) return false;
  const size_t size = kZeroHandshakeHeadSize + ZeroHandshakeBodyLength(record);
  if (available < size) return false;
  if (std::memcmp(record, kCheckSrvPrimaryField, sizeof kCheckSrvPrimaryField) == 0) {
    std::vector<uint8_t> copy(record, record + size);
    Consume(size);
    TakeCheckRequest(copy.data(), copy.size());
    return false;
  }

  TransportHandshakeRequest request;
  std::vector<std::string> problems;
  const bool readable = DecodeTransportHandshakeRequest(record, size, request, problems);
  Consume(size);
  for (const std::string& problem : problems) Violation(problem);
  if (!readable) {
    Shut();
    return false;
  }
  if (tls_ && request.secure_requested) Violation("secure handshake asked for over TLS");

  TransportHandshakeReply reply;
  std::optional<std::vector<uint8_t>> raw_reply;
  std::chrono::milliseconds delay;
  SecureIdentity identity;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    request_ = request;
    reply = settings_.handshake_reply;
    if (reply.client_id.empty()) {
      reply.client_id =
          request.client_id.empty() ? "client-" + std::to_string(id_) : request.client_id;
    }
    assigned_client_id_ = reply.client_id;
    raw_reply = settings_.raw_handshake_reply;
    delay = settings_.handshake_reply_delay;
    identity = settings_.secure_identity;
  }
  changed_.notify_all();

  if (delay.count() > 0) handshake_output_.push_back({OutputStep::kPause, {}, {}, delay});
  handshake_output_.push_back(
      {OutputStep::kBytes, raw_reply ? *raw_reply : EncodeTransportHandshakeReply(reply), {}});

  if (raw_reply || reply.result != 0) {
    SetPhase(ConnectionPhase::kRefused);
  } else if (request.secure_requested && reply.secure) {
    SetPhase(ConnectionPhase::kSecureHandshake);
    StartSecureHandshake(identity);
  } else {
    SetPhase(ConnectionPhase::kMessages);
  }
  return true;
}

void FakeConnection::TakeCheckRequest(const uint8_t* record, size_t size) {
  // What a client sends: version 1, a zeroed body of 13 bytes, both checksums right.
  if (size != kCheckSrvRecordSize) Violation("check ping of " + std::to_string(size) + " bytes");
  if ((record[16] & 0x1f) != 1) Violation("check ping with a version other than 1");
  for (size_t i = kZeroHandshakeHeadSize; i < size; ++i) {
    if (record[i] != 0) {
      Violation("check ping with a body that is not zero");
      break;
    }
  }
  const uint32_t word = record[16] | (record[17] << 8) | (record[18] << 16) |
                        (static_cast<uint32_t>(record[19]) << 24);
  if (((word >> 5) & 0xff) != ZeroHandshakeHeadChecksum(record) ||
      ((word >> 13) & 0x3f) != ZeroHandshakeBodyChecksum(record)) {
    Violation("check ping with a wrong checksum");
  }

  CheckSrvAnswer answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++check_requests_;
    answer = settings_.check_srv;
  }
  changed_.notify_all();
  SetPhase(ConnectionPhase::kRefused);  // nothing more is expected on this connection
  if (answer.kind == CheckSrvAnswer::Kind::kSilent) return;

  std::vector<uint8_t> bytes = EncodeCheckSrvAnswer(answer.end_points, answer.cpu_load);
  // The first body byte counts in the body checksum (a change of 1 cannot vanish modulo 64).
  if (answer.kind == CheckSrvAnswer::Kind::kBadChecksum) bytes[kZeroHandshakeHeadSize] ^= 0x01;
  if (answer.kind == CheckSrvAnswer::Kind::kShort) bytes.resize(kCheckSrvRecordSize - 1);
  if (answer.delay.count() > 0) handshake_output_.push_back({OutputStep::kPause, {}, {}, answer.delay});
  size_t at = 0;
  for (size_t piece : answer.pieces) {
    if (at >= bytes.size()) break;
    const size_t end = std::min(bytes.size(), at + piece);
    handshake_output_.push_back(
        {OutputStep::kBytes, std::vector<uint8_t>(bytes.begin() + at, bytes.begin() + end), {}});
    handshake_output_.push_back({OutputStep::kPause, {}, {}, answer.piece_gap});
    at = end;
  }
  if (at < bytes.size()) {
    handshake_output_.push_back(
        {OutputStep::kBytes, std::vector<uint8_t>(bytes.begin() + at, bytes.end()), {}});
  }
  if (answer.kind == CheckSrvAnswer::Kind::kShort) {
    handshake_output_.push_back({OutputStep::kClose, {}, {}, {}});
  }
}

void FakeConnection::StartSecureHandshake(const SecureIdentity& identity) {
  secure_ = std::make_unique<SecureServerSide>();
  if (!secure_->Start(identity)) {
    ADD_FAILURE() << "fake server: the secure handshake cannot start: no usable certificate or key";
    Shut();
    return;
  }
  // The server speaks first: its certificate message and offer follow the reply.
  AdvanceSecureHandshake();
}

bool FakeConnection::AdvanceSecureHandshake() {
  size_t consumed = 0;
  std::vector<std::vector<uint8_t>> packets;
  const SecureServerSide::Status status = secure_->Advance(
      input_.data() + input_start_, input_.size() - input_start_, consumed, packets);
  Consume(consumed);
  for (auto& packet : packets)
    handshake_output_.push_back({OutputStep::kBytes, std::move(packet), {}});
  if (status == SecureServerSide::kRunning) return false;
  if (status == SecureServerSide::kDone) {
    if (!cipher_.SetKeys(secure_->read_key(), secure_->write_key())) {
      Violation("secure handshake agreed on keys of " + std::to_string(secure_->read_key().size()) +
                " bytes, not AES");
      Shut();
      return false;
    }
    secure_.reset();
    SetPhase(ConnectionPhase::kMessages);
    return true;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    secure_error_ = secure_->error_code();
    client_secure_error_ = secure_->client_error();
  }
  // A client that refuses the server's certificate says so with an error message; anything else
  // that stops the handshake is the client's fault.
  if (!secure_->client_error()) {
    Violation("secure handshake failed with error " + std::to_string(secure_->error_code()));
  }
  secure_.reset();
  handshake_output_.push_back({OutputStep::kClose, {}, {}});
  SetPhase(ConnectionPhase::kRefused);
  return false;
}

void FakeConnection::TakeMessages() {
  while (!IsClosed()) {
    CutResult cut = CutMessage(input_.data() + input_start_, input_.size() - input_start_, cipher_);
    if (cut.status == CutResult::kNeedMore) return;
    if (cut.status == CutResult::kBroken) {
      Violation(cut.problem);
      Shut();
      return;
    }
    Consume(cut.consumed);

    ReceivedMessage message;
    message.connection = id_;
    std::vector<std::string> problems;
    const bool readable =
        DecodeMessage(cut.message.data(), cut.message.size(), message.frame, problems);
    if (readable) CheckClientMessage(message, problems);
    for (const std::string& problem : problems) Violation(problem);
    if (readable) Handle(std::move(message));
  }
}

void FakeConnection::Handle(ReceivedMessage message) {
  if (journal_->KeepsMessages()) journal_->RecordMessage(message);
  if (message.control) {
    bool answer;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      answer = settings_.answer_pings;
    }
    if (message.control_code() == 'p' && answer) {
      Send(ControlMessage('p', kReplyFlags, message.frame.sequence));
    }
    return;
  }
  if (ServiceHandler handler = find_handler_(message.service())) handler(*this, message);
}

void FakeConnection::PumpOutput(ServerClock::time_point now) {
  while (!IsClosed()) {
    if (writer_.Busy()) {
      if (!writer_.Write(*stream_, now)) {
        peer_closed_ = true;
        return;
      }
      if (writer_.Busy()) return;
    }
    OutputStep step;
    if (!NextStep(step)) return;
    switch (step.kind) {
      case OutputStep::kBytes:
        writer_.StartBytes(std::move(step.bytes), now);
        break;
      case OutputStep::kMessages:
        writer_.StartBytes(Encode(step.messages), now);
        break;
      case OutputStep::kPause:
        writer_.StartPause(step.pause, now);
        break;
      case OutputStep::kClose:
        Shut();
        return;
    }
  }
}

bool FakeConnection::NextStep(OutputStep& step) {
  if (!handshake_output_.empty()) {
    step = std::move(handshake_output_.front());
    handshake_output_.pop_front();
    return true;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (script_.empty()) return false;
  if (script_.front().kind == OutputStep::kMessages && phase_ != ConnectionPhase::kMessages) {
    return false;
  }
  step = std::move(script_.front());
  script_.pop_front();
  writer_.SetShaping(settings_.shaping);
  return true;
}

std::vector<uint8_t> FakeConnection::Encode(std::vector<MessageFrame>& messages) {
  std::vector<uint8_t> bytes;
  for (MessageFrame& message : messages) {
    if (message.sequence == 0) message.sequence = next_sequence_++;
    std::vector<uint8_t> encoded = EncodeMessage(message);
    if (encoded.empty()) {
      ADD_FAILURE() << "fake server: a message to \"" << message.names.dst_service
                    << "\" cannot be encoded (empty or oversized body, or a name over 255 bytes)";
      continue;
    }
    if (cipher_.IsOn()) encoded = cipher_.Encipher(encoded);
    bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  }
  return bytes;
}

}  // namespace hx::testing
