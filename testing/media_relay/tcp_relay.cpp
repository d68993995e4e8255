#include "testing/media_relay/tcp_relay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

#include "testing/hostile_peers/zero_handshake_bytes.h"

namespace hx::testing {

namespace {

constexpr size_t kRecordHead = 20;
constexpr size_t kFrameHead = 8;
constexpr const char* kPrimary = "_HX_STREAMS_";

// The relay's own tracks: audio, video, data, command, sender control.
const std::vector<unsigned> kRelayTracks{1, 2, 5, 254, 255};

void SetNonBlocking(int handle) { fcntl(handle, F_SETFL, fcntl(handle, F_GETFL) | O_NONBLOCK); }

// One length-prefixed, NUL-terminated string of a request body at `at`; false when it overruns.
bool ReadString(const hostile::Bytes& body, size_t& at, std::string& out) {
  if (at >= body.size()) return false;
  const size_t length = body[at];
  if (at + 1 + length + 1 > body.size() || body[at + 1 + length] != 0) return false;
  out.assign(reinterpret_cast<const char*>(body.data() + at + 1), length);
  at += length + 2;
  return true;
}

}  // namespace

struct TcpMediaRelay::Connection {
  enum class State { request, established, silent };
  int id = 0;
  int fd = -1;
  State state = State::request;
  Bytes in;
  Bytes out;
  Request request;
};

TcpMediaRelay::TcpMediaRelay() = default;

TcpMediaRelay::~TcpMediaRelay() {
  m_stop.store(true);
  wake();
  if (m_thread.joinable()) m_thread.join();
  for (auto& [id, connection] : m_connections) close(connection->fd);
  if (m_listener != -1) close(m_listener);
  if (m_wakeRead != -1) close(m_wakeRead);
  if (m_wakeWrite != -1) close(m_wakeWrite);
}

bool TcpMediaRelay::start() {
  int pipe_ends[2];
  if (pipe(pipe_ends) != 0) return false;
  m_wakeRead = pipe_ends[0];
  m_wakeWrite = pipe_ends[1];
  SetNonBlocking(m_wakeRead);
  SetNonBlocking(m_wakeWrite);
  m_listener = socket(AF_INET, SOCK_STREAM, 0);
  if (m_listener == -1) return false;
  const int one = 1;
  setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(m_listener, 64) != 0 ||
      getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  m_port = ntohs(address.sin_port);
  SetNonBlocking(m_listener);
  m_thread = std::thread([this] { run(); });
  return true;
}

void TcpMediaRelay::setAnswer(Answer answer) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_answer = answer;
}

void TcpMediaRelay::setRecvBuffer(int bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_recvBuffer = bytes;
  // An accepted socket takes the listener's buffer sizes; a window negotiated at the handshake
  // cannot grow beyond what was set then.
  if (bytes > 0) setsockopt(m_listener, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void TcpMediaRelay::setReading(bool on) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reading = on;
  }
  wake();
}

void TcpMediaRelay::setSegmented(bool on) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_segmented = on;
}

void TcpMediaRelay::sendToReceivers(const Bytes& bytes) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& [id, connection] : m_connections) {
      if (connection->state == Connection::State::established && connection->request.role == 1) {
        queue(*connection, bytes);
      }
    }
  }
  wake();
}

void TcpMediaRelay::sendFrameToReceivers(uint8_t track, const Bytes& payload) {
  sendToReceivers(MakeFrame(track, payload));
}

void TcpMediaRelay::sendPing() { sendFrameToReceivers(255, {}); }

TcpMediaRelay::Bytes TcpMediaRelay::ServerCommandPayload(uint8_t code, const Bytes& data) {
  Bytes payload{code, 0, 0, static_cast<uint8_t>(data.size())};
  payload.insert(payload.end(), data.begin(), data.end());
  return payload;
}

void TcpMediaRelay::sendServerCommand(uint8_t code, const Bytes& data) {
  sendFrameToReceivers(254, ServerCommandPayload(code, data));
}

TcpMediaRelay::Bytes TcpMediaRelay::StatisticsPayload(uint16_t queue,
                                                      const std::vector<TrackLoad>& tracks) {
  Bytes payload(11, 0);
  payload[0] = static_cast<uint8_t>(queue & 0xFF);
  payload[1] = static_cast<uint8_t>(queue >> 8);
  payload[10] = static_cast<uint8_t>(tracks.size());
  for (const TrackLoad& load : tracks) {
    Bytes entry(11, 0);
    entry[0] = load.track;
    entry[1] = static_cast<uint8_t>(load.queue & 0xFF);
    entry[2] = static_cast<uint8_t>(load.queue >> 8);
    payload.insert(payload.end(), entry.begin(), entry.end());
  }
  return payload;
}

void TcpMediaRelay::sendStatistics(uint16_t queue, const std::vector<TrackLoad>& tracks) {
  sendFrameToReceivers(255, StatisticsPayload(queue, tracks));
}

void TcpMediaRelay::closeAll() {
  std::lock_guard<std::mutex> lock(m_mutex);
  for (auto& [id, connection] : m_connections) close(connection->fd);
  m_connections.clear();
}

std::vector<TcpMediaRelay::Request> TcpMediaRelay::requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

std::vector<TcpMediaRelay::Frame> TcpMediaRelay::frames() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_frames;
}

int TcpMediaRelay::open() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return static_cast<int>(m_connections.size());
}

int TcpMediaRelay::pairedReceivers() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  int paired = 0;
  for (const auto& [id, receiver] : m_connections) {
    if (receiver->state != Connection::State::established || receiver->request.role != 1) continue;
    for (const auto& [other, sender] : m_connections) {
      if (sender->state == Connection::State::established && sender->request.role == 0 &&
          sender->request.conference == receiver->request.conference &&
          sender->request.streamId == receiver->request.peerId) {
        ++paired;
        break;
      }
    }
  }
  return paired;
}

uint8_t TcpMediaRelay::Checksum(const uint8_t* payload, size_t length) {
  unsigned sum = 0xAC;
  for (size_t i = 0; i < length; i += 234) sum += payload[i];
  return static_cast<uint8_t>(sum & 0xFF);
}

TcpMediaRelay::Bytes TcpMediaRelay::MakeFrame(uint8_t track, const Bytes& payload, uint32_t tick) {
  Bytes frame(kFrameHead);
  frame[0] = static_cast<uint8_t>(payload.size() & 0xFF);
  frame[1] = static_cast<uint8_t>((payload.size() >> 8) & 0xFF);
  for (int i = 0; i < 4; ++i) frame[2 + i] = static_cast<uint8_t>(tick >> (8 * i));
  frame[6] = track;
  frame[7] = Checksum(payload.data(), payload.size());
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

void TcpMediaRelay::wake() {
  const char byte = 1;
  if (m_wakeWrite != -1) (void)write(m_wakeWrite, &byte, 1);
}

void TcpMediaRelay::queue(Connection& connection, const Bytes& bytes) {
  connection.out.insert(connection.out.end(), bytes.begin(), bytes.end());
}

void TcpMediaRelay::run() {
  while (!m_stop.load()) {
    std::vector<pollfd> items{{m_wakeRead, POLLIN, 0}, {m_listener, POLLIN, 0}};
    std::vector<int> ids;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      for (auto& [id, connection] : m_connections) {
        short events = 0;
        if (connection->state == Connection::State::request || m_reading) events |= POLLIN;
        if (!connection->out.empty()) events |= POLLOUT;
        items.push_back({connection->fd, events, 0});
        ids.push_back(id);
      }
    }
    if (poll(items.data(), items.size(), 200) < 0 && errno != EINTR) return;
    if ((items[0].revents & POLLIN) != 0) {
      char sink[64];
      while (read(m_wakeRead, sink, sizeof sink) > 0) {
      }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if ((items[1].revents & POLLIN) != 0) acceptOne();
    for (size_t i = 0; i < ids.size(); ++i) {
      auto it = m_connections.find(ids[i]);
      if (it == m_connections.end() || it->second->fd != items[i + 2].fd) continue;
      Connection& connection = *it->second;
      const short revents = items[i + 2].revents;
      if ((revents & POLLOUT) != 0) writeTo(connection);
      if ((revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
          ((items[i + 2].events & POLLIN) != 0)) {
        readFrom(connection);
      }
    }
    // Connections closed in this round.
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      it = it->second->fd == -1 ? m_connections.erase(it) : std::next(it);
    }
  }
}

void TcpMediaRelay::acceptOne() {
  const int fd = accept(m_listener, nullptr, nullptr);
  if (fd == -1) return;
  SetNonBlocking(fd);
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  auto connection = std::make_unique<Connection>();
  connection->id = m_nextId++;
  connection->fd = fd;
  m_connections[connection->id] = std::move(connection);
  m_accepted.fetch_add(1);
}

void TcpMediaRelay::readFrom(Connection& connection) {
  // One read per round, so that a change of the script takes effect at once.
  uint8_t buffer[16384];
  const ssize_t n = recv(connection.fd, buffer, sizeof buffer, 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    closeConnection(connection);
    return;
  }
  if (n < 0) return;
  connection.in.insert(connection.in.end(), buffer, buffer + n);
  if (connection.state == Connection::State::request) takeRequest(connection);
  if (connection.fd == -1) return;
  if (connection.state == Connection::State::established) forwardFrames(connection);
}

void TcpMediaRelay::takeRequest(Connection& connection) {
  if (connection.in.size() < kRecordHead) return;
  const uint32_t word = hostile::Word(connection.in);
  const size_t total = kRecordHead + hostile::LengthField(word) + 1;
  if (connection.in.size() < total) return;
  const std::optional<hostile::Record> record = hostile::ParseRecord(connection.in);
  connection.in.erase(connection.in.begin(), connection.in.begin() + total);
  Request request;
  request.connection = connection.id;
  bool valid = record && record->primary == kPrimary && record->headOk && record->bodyOk;
  if (valid) {
    const hostile::Bytes& body = record->body;
    size_t at = 1;
    valid = !body.empty() && ReadString(body, at, request.conference) &&
            ReadString(body, at, request.streamId) && ReadString(body, at, request.peerId) &&
            ReadString(body, at, request.name) && at < body.size();
    if (valid) {
      request.role = body[0] & 1;
      request.count = body[at++];
      if (request.count != 255 && at + 32 <= body.size()) {
        request.mask.assign(body.begin() + at, body.begin() + at + 32);
      }
    }
  }
  if (!valid) {
    closeConnection(connection);
    return;
  }
  connection.request = request;
  m_requests.push_back(request);
  const std::optional<hostile::Bytes> mask = hostile::TrackMask(kRelayTracks);
  const auto count = static_cast<uint8_t>(kRelayTracks.size());
  switch (m_answer) {
    case Answer::accept:
      queue(connection, hostile::MakeRecord(kPrimary, 1, hostile::StreamResponseBody(1, count, mask)));
      connection.state = Connection::State::established;
      break;
    case Answer::refuse:
      queue(connection, hostile::MakeRecord(kPrimary, 1, hostile::StreamResponseBody(0, count, mask)));
      connection.state = Connection::State::silent;
      break;
    case Answer::noMask:
      // A count that claims a mask, and no mask behind it.
      queue(connection, hostile::MakeRecord(kPrimary, 1, hostile::StreamResponseBody(1, count, {})));
      connection.state = Connection::State::silent;
      break;
    case Answer::badChecksum: {
      hostile::Bytes answer =
          hostile::MakeRecord(kPrimary, 1, hostile::StreamResponseBody(1, count, mask));
      hostile::SetWord(answer, hostile::Word(answer) ^ (1u << 5));
      queue(connection, answer);
      connection.state = Connection::State::silent;
      break;
    }
    case Answer::close:
      closeConnection(connection);
      break;
    case Answer::silent:
      connection.state = Connection::State::silent;
      break;
  }
}

void TcpMediaRelay::forwardFrames(Connection& connection) {
  size_t at = 0;
  while (connection.in.size() - at >= kFrameHead) {
    const uint8_t* head = connection.in.data() + at;
    const size_t length = static_cast<size_t>(head[0]) | (static_cast<size_t>(head[1]) << 8);
    if (connection.in.size() - at < kFrameHead + length) break;
    const Bytes frame(head, head + kFrameHead + length);
    if (connection.request.role == 0) {
      Frame seen;
      seen.connection = connection.id;
      seen.tick = static_cast<uint32_t>(head[2]) | (static_cast<uint32_t>(head[3]) << 8) |
                  (static_cast<uint32_t>(head[4]) << 16) | (static_cast<uint32_t>(head[5]) << 24);
      seen.track = head[6];
      seen.checksum = head[7];
      seen.payload.assign(head + kFrameHead, head + kFrameHead + length);
      m_frames.push_back(std::move(seen));
      for (auto& [id, receiver] : m_connections) {
        if (receiver->state == Connection::State::established && receiver->request.role == 1 &&
            receiver->request.conference == connection.request.conference &&
            receiver->request.peerId == connection.request.streamId) {
          queue(*receiver, frame);
        }
      }
    }
    at += kFrameHead + length;
  }
  connection.in.erase(connection.in.begin(), connection.in.begin() + at);
}

void TcpMediaRelay::writeTo(Connection& connection) {
  const size_t chunk = m_segmented ? 1 : connection.out.size();
  const ssize_t n = send(connection.fd, connection.out.data(), chunk, MSG_NOSIGNAL);
  if (n > 0) {
    connection.out.erase(connection.out.begin(), connection.out.begin() + n);
    // A pause after each byte, so that the client reads them one at a time.
    if (m_segmented) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    closeConnection(connection);
  }
}

void TcpMediaRelay::closeConnection(Connection& connection) {
  if (connection.fd == -1) return;
  close(connection.fd);
  connection.fd = -1;
}

}  // namespace hx::testing
