#include "testing/fake_peer/direct_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "core/base/container.h"
#include "testing/fake_server/handshake_record.h"

namespace hx::testing {
namespace {

constexpr char kPingField[] = "_HX_PING_";
constexpr char kStreamsField[] = "_HX_STREAMS_";

void PutName(PeerBytes& body, const std::string& text) {
  body.push_back(static_cast<uint8_t>(text.size()));
  body.insert(body.end(), text.begin(), text.end());
  body.push_back(0);
}

void PutTracks(PeerBytes& body, const std::vector<uint8_t>& tracks) {
  if (tracks.empty()) {
    body.push_back(255);
    return;
  }
  uint8_t mask[32] = {};
  for (uint8_t track : tracks) mask[track / 8] |= static_cast<uint8_t>(1u << (track % 8));
  body.push_back(static_cast<uint8_t>(tracks.size()));
  body.insert(body.end(), mask, mask + 32);
}

void SetWord(PeerBytes& record, uint32_t word) {
  for (int i = 0; i < 4; ++i) record[16 + i] = static_cast<uint8_t>(word >> (8 * i));
}

uint32_t GetWord(const PeerBytes& record) {
  return record[16] | (record[17] << 8) | (record[18] << 16) |
         (static_cast<uint32_t>(record[19]) << 24);
}

}  // namespace

PeerBytes PeerPingRecord(const PeerPingFields& fields) {
  PeerBytes body;
  if (fields.with_container) {
    HX_Container container;
    container.AddValue("Conference", fields.conference.c_str());
    container.AddValue("From", fields.from.c_str());
    container.AddValue("To", fields.to.c_str());
    if (!fields.version_key.empty()) container.AddValue(fields.version_key, fields.version);
    uint8_t* buffer = nullptr;
    size_t size = 0;
    if (container.SerializeAlloc(buffer, size)) body.assign(buffer, buffer + size);
    std::free(buffer);
  }
  body.push_back(0);
  return EncodeZeroHandshake(kPingField, 1, body);
}

std::optional<PeerPingFields> PeerReadPing(const PeerBytes& record,
                                           std::vector<std::string>* other_keys) {
  if (record.size() < kZeroHandshakeHeadSize + 1) return std::nullopt;
  if (std::strncmp(reinterpret_cast<const char*>(record.data()), kPingField, 16) != 0) {
    return std::nullopt;
  }
  const uint32_t body = ZeroHandshakeBodyLength(record.data());
  if (record.size() != kZeroHandshakeHeadSize + body) return std::nullopt;
  const uint32_t word = GetWord(record);
  if (((word >> 5) & 0xff) != ZeroHandshakeHeadChecksum(record.data()) ||
      ((word >> 13) & 0x3f) != ZeroHandshakeBodyChecksum(record.data()) || record.back() != 0) {
    return std::nullopt;
  }
  PeerPingFields fields;
  fields.with_container = body > 1;
  fields.version_key.clear();
  if (!fields.with_container) return fields;
  HX_Container container;
  if (!container.Deserialize(record.data() + kZeroHandshakeHeadSize, body - 1)) {
    return std::nullopt;
  }
  container.Reset();
  while (container.Next()) {
    const std::string name = container.GetName();
    if (name == "Conference") {
      container.GetValue(fields.conference);
    } else if (name == "From") {
      container.GetValue(fields.from);
    } else if (name == "To") {
      container.GetValue(fields.to);
    } else if (name == "ReqBodyVersion" || name == "AnsBodyVersion") {
      fields.version_key = name;
      container.GetValue(fields.version);
    } else if (other_keys != nullptr) {
      other_keys->push_back(name);
    }
  }
  return fields;
}

PeerBytes PeerStreamRequest(uint8_t role, const std::string& conference, const std::string& id,
                            const std::string& peer, const std::string& name,
                            const std::vector<uint8_t>& tracks) {
  PeerBytes body{role};
  PutName(body, conference);
  PutName(body, id);
  PutName(body, peer);
  PutName(body, name);
  PutTracks(body, tracks);
  return EncodeZeroHandshake(kStreamsField, 1, body);
}

PeerBytes PeerStreamResponse(const std::vector<uint8_t>& tracks) {
  PeerBytes body{1};
  PutTracks(body, tracks);
  return EncodeZeroHandshake(kStreamsField, 1, body);
}

std::vector<uint8_t> PeerMaskTracks(const uint8_t* mask) {
  std::vector<uint8_t> tracks;
  for (unsigned track = 1; track < 256; ++track) {
    if ((mask[track / 8] >> (track % 8)) & 1) tracks.push_back(static_cast<uint8_t>(track));
  }
  return tracks;
}

void PeerBreakBodyChecksum(PeerBytes& record) {
  uint32_t word = GetWord(record);
  const uint32_t wrong = (((word >> 13) & 0x3f) + 1) & 0x3f;
  word = (word & ~(0x3fu << 13)) | (wrong << 13);
  SetWord(record, word & ~(0xffu << 5));
  // The head checksum covers the body checksum: store it anew so only the body check fails.
  word = (word & ~(0xffu << 5)) | (uint32_t{ZeroHandshakeHeadChecksum(record.data())} << 5);
  SetWord(record, word);
}

void PeerBreakHeadChecksum(PeerBytes& record) { record[16] ^= 0x20; }

FakePeerConnection::~FakePeerConnection() { Close(); }

FakePeerConnection FakePeerConnection::Connect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return FakePeerConnection(-1);
  }
  return FakePeerConnection(fd);
}

bool FakePeerConnection::Send(const PeerBytes& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

PeerBytes FakePeerConnection::Read(size_t count, int timeout_ms) {
  PeerBytes data(count);
  size_t got = 0;
  while (got < count) {
    pollfd item{m_fd, POLLIN, 0};
    if (poll(&item, 1, timeout_ms) != 1) break;
    const ssize_t n = recv(m_fd, data.data() + got, count - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  data.resize(got);
  return data;
}

PeerBytes FakePeerConnection::ReadRecord(int timeout_ms) {
  PeerBytes record = Read(kZeroHandshakeHeadSize, timeout_ms);
  if (record.size() < kZeroHandshakeHeadSize) return {};
  const PeerBytes body = Read(ZeroHandshakeBodyLength(record.data()), timeout_ms);
  if (body.size() != ZeroHandshakeBodyLength(record.data())) return {};
  record.insert(record.end(), body.begin(), body.end());
  return record;
}

bool FakePeerConnection::WaitClosed(int timeout_ms) {
  for (;;) {
    pollfd item{m_fd, POLLIN, 0};
    if (poll(&item, 1, timeout_ms) != 1) return false;
    uint8_t byte;
    const ssize_t n = recv(m_fd, &byte, 1, 0);
    if (n <= 0) return true;
  }
}

void FakePeerConnection::Close() {
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
}

FakeDirectPeer::FakeDirectPeer() {
  m_listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      listen(m_listener, 16) == 0 &&
      getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    m_port = ntohs(address.sin_port);
  }
  m_thread = std::thread([this] { Serve(); });
}

FakeDirectPeer::~FakeDirectPeer() {
  m_stop.store(true);
  m_thread.join();
  close(m_listener);
}

void FakeDirectPeer::AddStep(Step step) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_steps.push_back(std::move(step));
}

void FakeDirectPeer::Serve() {
  size_t next = 0;
  while (!m_stop.load()) {
    pollfd item{m_listener, POLLIN, 0};
    if (poll(&item, 1, 50) != 1) continue;
    FakePeerConnection connection(accept(m_listener, nullptr, nullptr));
    if (!connection.valid()) continue;
    Step step;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (next < m_steps.size()) step = m_steps[next++];
    }
    if (step) step(connection);
    m_served.fetch_add(1);
  }
}

FakeDirectPeer::Step FakeDirectPeer::AnswerPing(PeerPingFields answer, bool swap,
                                                std::vector<PeerPingFields>* seen,
                                                std::mutex* mutex) {
  return [answer, swap, seen, mutex](FakePeerConnection& connection) {
    const std::optional<PeerPingFields> request = PeerReadPing(connection.ReadRecord());
    if (!request) return;
    if (seen != nullptr) {
      std::lock_guard<std::mutex> lock(*mutex);
      seen->push_back(*request);
    }
    PeerPingFields reply = answer;
    if (swap) {
      if (reply.conference.empty()) reply.conference = request->conference;
      if (reply.from.empty()) reply.from = request->to;
      if (reply.to.empty()) reply.to = request->from;
    }
    connection.Send(PeerPingRecord(reply));
    connection.WaitClosed();
  };
}

FakeDirectPeer::Step FakeDirectPeer::CloseAfterRequest(std::vector<PeerBytes>* seen,
                                                       std::mutex* mutex) {
  return [seen, mutex](FakePeerConnection& connection) {
    PeerBytes record = connection.ReadRecord();
    if (seen != nullptr) {
      std::lock_guard<std::mutex> lock(*mutex);
      seen->push_back(std::move(record));
    }
    connection.Close();
  };
}

FakeDirectPeer::Step FakeDirectPeer::ReplyWith(PeerBytes bytes) {
  return [bytes](FakePeerConnection& connection) {
    connection.ReadRecord();
    connection.Send(bytes);
    connection.WaitClosed();
  };
}

}  // namespace hx::testing
